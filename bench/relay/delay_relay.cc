// The delaying TCP relay (see delay_relay.h): Boost.Asio on one I/O thread.
// Each connection is a Session of two Directions (client to target, target
// to client); a Direction reads as data comes, stamps each chunk with its
// release time and writes every chunk that is due in one gather write, so a
// burst of requests keeps its spacing and its order.
#include "delay_relay.h"

#include <pthread.h>
#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <cstdlib>
#include <deque>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace relay {

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// Bytes one direction holds before it stops reading until the writes catch
// up (the peer then sees TCP's own flow control, as on a real link).
constexpr size_t c_maxQueued = 16u << 20;
// Bytes asked for per read; chunks that are due at once leave in one write.
constexpr size_t c_readSize = 64u << 10;
// Chunks gathered into one write at most.
constexpr size_t c_maxGather = 64;

asio::ip::address NumericAddress(const std::string& text) {
  boost::system::error_code ec;
  const asio::ip::address address = asio::ip::make_address(text, ec);
  if (ec) throw std::runtime_error("relay: not a numeric address: " + text);
  return address;
}

}  // namespace

bool ParseAddress(const std::string& text, std::string& address, unsigned short& port,
                  bool allowZero) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
  const std::string digits = text.substr(colon + 1);
  if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 5) {
    return false;
  }
  const unsigned long value = std::strtoul(digits.c_str(), nullptr, 10);
  if (value > 65535 || (value == 0 && !allowZero)) return false;
  address = text.substr(0, colon);
  port = static_cast<unsigned short>(value);
  return true;
}

class DelayRelay::Impl {
 public:
  Impl(const std::string& listenAddress, unsigned short listenPort, std::chrono::microseconds delay)
      : m_delay(delay), m_acceptor(m_io) {
    const tcp::endpoint endpoint(NumericAddress(listenAddress), listenPort);
    try {
      m_acceptor.open(endpoint.protocol());
      m_acceptor.set_option(tcp::acceptor::reuse_address(true));
      m_acceptor.bind(endpoint);
      m_acceptor.listen();
    } catch (const boost::system::system_error& e) {
      throw std::runtime_error("relay: cannot listen on " + listenAddress + ":" +
                               std::to_string(listenPort) + ": " + e.what());
    }
    m_port = m_acceptor.local_endpoint().port();
  }

  ~Impl() { Stop(); }

  void Start(const std::string& address, unsigned short port) {
    SetTarget(address, port);
    m_thread = std::thread([this] { Loop(); });
  }

  void Run(const std::string& address, unsigned short port) {
    SetTarget(address, port);
    Loop();
  }

  void Stop() {
    if (m_stopping.exchange(true)) {
      Join();
      return;
    }
    // Closing touches sockets, which belong to the I/O thread.
    asio::post(m_io, [this] {
      CloseAll();
      m_io.stop();
    });
    Join();
  }

  class Session;
  unsigned short m_port = 0;
  const std::chrono::microseconds m_delay;
  tcp::endpoint m_target;
  std::atomic<uint64_t> m_connections{0};
  std::atomic<uint64_t> m_bytesToTarget{0};
  std::atomic<uint64_t> m_bytesToClients{0};

  double CpuSeconds() const {
    if (!m_hasClock.load(std::memory_order_acquire)) return 0;
    timespec spent{};
    if (clock_gettime(m_clock, &spent) != 0) return 0;  // the thread has ended
    return static_cast<double>(spent.tv_sec) + static_cast<double>(spent.tv_nsec) * 1e-9;
  }

 private:
  void SetTarget(const std::string& address, unsigned short port) {
    if (m_started.exchange(true)) throw std::runtime_error("relay: started twice");
    m_target = tcp::endpoint(NumericAddress(address), port);
  }

  void Join() {
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
  }

  void Loop() {
    // Timers of this thread fire when due, not up to 50 us later (the
    // default slack), which matters for delays of a few hundred us.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    if (pthread_getcpuclockid(pthread_self(), &m_clock) == 0) {
      m_hasClock.store(true, std::memory_order_release);
    }
    Accept();
    m_io.run();
  }

  void Accept();
  void CloseAll();

  asio::io_context m_io;
  tcp::acceptor m_acceptor;
  std::vector<std::weak_ptr<Session>> m_sessions;  // I/O thread only
  std::atomic<bool> m_started{false};
  std::atomic<bool> m_stopping{false};
  clockid_t m_clock{};
  std::atomic<bool> m_hasClock{false};
  std::thread m_thread;
};

// One relayed connection. Handlers hold the session through shared
// pointers; it ends when both directions are finished or one fails.
class DelayRelay::Impl::Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Impl& relay, tcp::socket client)
      : m_relay(relay),
        m_client(std::move(client)),
        m_server(m_client.get_executor()),
        m_up(m_client, m_server, relay.m_bytesToTarget),
        m_down(m_server, m_client, relay.m_bytesToClients) {}

  void Begin() {
    auto self = shared_from_this();
    m_server.async_connect(m_relay.m_target, [self](const boost::system::error_code& ec) {
      if (ec) {
        self->Close();
        return;
      }
      boost::system::error_code ignored;
      self->m_server.set_option(tcp::no_delay(true), ignored);
      self->Read(self->m_up);
      self->Read(self->m_down);
    });
  }

  void Close() {
    if (m_closed) return;
    m_closed = true;
    boost::system::error_code ignored;
    m_client.close(ignored);
    m_server.close(ignored);
    m_up.timer.cancel();
    m_down.timer.cancel();
  }

 private:
  struct Chunk {
    Clock::time_point release;
    std::vector<char> data;
  };

  struct Direction {
    Direction(tcp::socket& from, tcp::socket& to, std::atomic<uint64_t>& counter)
        : from(from), to(to), timer(from.get_executor()), counter(counter) {}
    tcp::socket& from;
    tcp::socket& to;
    asio::steady_timer timer;
    std::atomic<uint64_t>& counter;
    std::deque<Chunk> queue;
    size_t queued = 0;  // bytes in queue
    std::vector<char> buffer = std::vector<char>(c_readSize);
    bool reading = false;
    bool writing = false;
    bool waiting = false;   // the timer is armed for the first chunk
    bool ended = false;     // the reading side sent its end
    bool finished = false;  // the end was passed on
  };

  void Read(Direction& d) {
    if (m_closed || d.reading || d.ended || d.queued >= c_maxQueued) return;
    d.reading = true;
    auto self = shared_from_this();
    d.from.async_read_some(
        asio::buffer(d.buffer), [self, &d](const boost::system::error_code& ec, size_t n) {
          d.reading = false;
          if (ec == asio::error::eof) {
            d.ended = true;
            self->Pump(d);
            return;
          }
          if (ec) {
            self->Close();
            return;
          }
          const Clock::time_point release = Clock::now() + self->m_relay.m_delay;
          d.queue.push_back({release, std::vector<char>(d.buffer.begin(), d.buffer.begin() + n)});
          d.queued += n;
          self->Pump(d);
          self->Read(d);
        });
  }

  // Writes the chunks that are due, or arms the timer for the first one;
  // passes the end on once the queue is empty.
  void Pump(Direction& d) {
    if (m_closed || d.writing || d.waiting) return;
    if (d.queue.empty()) {
      if (d.ended && !d.finished) Finish(d);
      return;
    }
    auto self = shared_from_this();
    const Clock::time_point now = Clock::now();
    if (d.queue.front().release > now) {
      d.waiting = true;
      d.timer.expires_at(d.queue.front().release);
      d.timer.async_wait([self, &d](const boost::system::error_code& ec) {
        d.waiting = false;
        if (!ec) self->Pump(d);
      });
      return;
    }
    std::vector<asio::const_buffer> buffers;
    for (const Chunk& chunk : d.queue) {
      if (chunk.release > now || buffers.size() == c_maxGather) break;
      buffers.push_back(asio::buffer(chunk.data));
    }
    d.writing = true;
    const size_t count = buffers.size();
    asio::async_write(d.to, buffers,
                      [self, &d, count](const boost::system::error_code& ec, size_t n) {
                        d.writing = false;
                        if (ec) {
                          self->Close();
                          return;
                        }
                        d.counter.fetch_add(n, std::memory_order_relaxed);
                        d.queued -= n;
                        for (size_t i = 0; i < count; ++i) d.queue.pop_front();
                        self->Read(d);
                        self->Pump(d);
                      });
  }

  // The reading side ended and everything was written: half-close the
  // writing side; the session ends once both directions are finished.
  void Finish(Direction& d) {
    d.finished = true;
    boost::system::error_code ignored;
    d.to.shutdown(tcp::socket::shutdown_send, ignored);
    if (m_up.finished && m_down.finished) Close();
  }

  Impl& m_relay;
  tcp::socket m_client;
  tcp::socket m_server;
  Direction m_up;
  Direction m_down;
  bool m_closed = false;
};

void DelayRelay::Impl::Accept() {
  m_acceptor.async_accept([this](const boost::system::error_code& ec, tcp::socket socket) {
    if (ec) {
      if (m_acceptor.is_open() && ec != asio::error::operation_aborted) Accept();
      return;
    }
    m_connections.fetch_add(1, std::memory_order_relaxed);
    boost::system::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    auto session = std::make_shared<Session>(*this, std::move(socket));
    m_sessions.erase(std::remove_if(m_sessions.begin(), m_sessions.end(),
                                    [](const std::weak_ptr<Session>& s) { return s.expired(); }),
                     m_sessions.end());
    m_sessions.push_back(session);
    session->Begin();
    Accept();
  });
}

void DelayRelay::Impl::CloseAll() {
  boost::system::error_code ignored;
  m_acceptor.close(ignored);
  for (const std::weak_ptr<Session>& weak : m_sessions) {
    if (std::shared_ptr<Session> session = weak.lock()) session->Close();
  }
  m_sessions.clear();
}

DelayRelay::DelayRelay(const std::string& listenAddress, unsigned short listenPort,
                       std::chrono::microseconds delay)
    : m_impl(new Impl(listenAddress, listenPort, delay)) {}

DelayRelay::~DelayRelay() = default;

unsigned short DelayRelay::Port() const { return m_impl->m_port; }

void DelayRelay::Start(const std::string& targetAddress, unsigned short targetPort) {
  m_impl->Start(targetAddress, targetPort);
}

void DelayRelay::Run(const std::string& targetAddress, unsigned short targetPort) {
  m_impl->Run(targetAddress, targetPort);
}

void DelayRelay::Stop() { m_impl->Stop(); }

uint64_t DelayRelay::Connections() const { return m_impl->m_connections.load(); }
uint64_t DelayRelay::BytesToTarget() const { return m_impl->m_bytesToTarget.load(); }
uint64_t DelayRelay::BytesToClients() const { return m_impl->m_bytesToClients.load(); }
double DelayRelay::CpuSeconds() const { return m_impl->CpuSeconds(); }

}  // namespace relay
