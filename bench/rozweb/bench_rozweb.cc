// bench_rozweb: what the web gateway costs over the client library.
//
// The program starts a regd (the demo tree plus a fast push signal "fast":
// two double components, 4096 atoms per block, 200 blocks/s) and a rozweb
// serving it, both as child processes, and measures from its own process:
//   changes:  regd.stress.emit floods regd.stress.counter with E changes;
//             received by a roz::NotificationClient directly (the library),
//             and by 1, 10 and 100 WebSocket clients of rozweb, all read by
//             this one thread as fast as it can. Per client: E over the time
//             until it held the last value (the changes it was kept current
//             with per second), and the messages it received in that time (a
//             client that falls behind gets coalesced changes, so fewer than
//             E). Goal: the first rate of 100 clients at least 0.8 of one
//             client's.
//   blocks:   the "fast" stream read for T seconds directly (a StreamClient)
//             and through rozweb by 1 and 10 WebSocket clients at
//             max_points 1000 (4096 atoms decimated to 1000 points per
//             component): blocks/s per client and blocks dropped.
//   memory:   rozweb's resident set (VmRSS) with 10 watching clients, after
//             10 000 and after 100 000 further changes. Goal: flat (the
//             second at most 10 % above the first).
// Medians over --rounds rounds (default 3); --quick runs everything once
// with tiny counts (the smoke test).
//
//   bench_rozweb [--quick] [--rounds N]
//
// Run it inside the loopback-only namespace, as ./dev.sh bench does.
// Threads: the main thread drives every client through one I/O context; the
// library's own threads deliver the direct notifications and blocks.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/roz.h"
#include "isig/isig.h"
#include "rozweb/rozweb_client.h"
#include "support/regd_process.h"

namespace {

using namespace rozwebtest;
using Clock = std::chrono::steady_clock;

const char* const c_tree = R"({
  "name": "bench",
  "children": [
    {"name": "fast", "flags": ["read", "signal"],
     "signal": {"access": "push", "element": "double", "components": ["a", "b"],
                "group_size": 4096, "block_rate_hz": 200,
                "generator": {"kind": "sine", "amplitude": 1.0, "period": 1000}}}
  ]
})";

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

unsigned long long Counter(unsigned short port, const std::string& name) {
  const json value = Get(port, "/api/value?path=regd." + name).Json()["value"];
  return value.is_array() ? value[0].get<unsigned long long>() : value.get<unsigned long long>();
}

long RssKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

// Many WebSockets read by one I/O context on this thread.
class Clients {
 public:
  Clients(unsigned short port, size_t count) : m_port(port) {
    for (size_t i = 0; i < count; ++i) {
      auto client = std::make_unique<Client>(m_io);
      client->ws.connect_and_handshake(port);
      m_clients.push_back(std::move(client));
    }
  }
  // Sends `request` on every socket and waits for `answerOp` on each.
  void Request(const json& request, const std::string& answerOp) {
    for (auto& c : m_clients) c->ws.ws.write(net::buffer(request.dump()));
    for (auto& c : m_clients) {
      beast::flat_buffer buffer;
      for (;;) {
        c->ws.ws.read(buffer);
        const json m = json::parse(beast::buffers_to_string(buffer.data()), nullptr, false);
        buffer.consume(buffer.size());
        if (m.value("op", "") == answerOp) break;
        if (m.value("op", "") == "error") throw std::runtime_error(m.dump());
      }
    }
  }
  // Counts messages on every socket until each has seen one containing
  // `until` (empty: until `limit`), or `limit` passes. Returns the time
  // each needed (limit for those that did not finish).
  std::vector<double> Read(const std::string& until, Clock::duration limit) {
    const Clock::time_point start = Clock::now();
    for (auto& c : m_clients) {
      c->messages = 0;
      c->dropped = 0;
      c->done = false;
      c->took = Seconds(limit);
      if (!c->reading) Next(*c, until, start);
    }
    m_until = until;
    m_start = start;
    m_finished = 0;
    m_io.restart();
    m_io.run_until(start + limit);
    std::vector<double> took;
    for (auto& c : m_clients) took.push_back(c->took);
    return took;
  }
  std::vector<unsigned long long> Messages() const {
    std::vector<unsigned long long> out;
    for (const auto& c : m_clients) out.push_back(c->messages);
    return out;
  }
  size_t Size() const { return m_clients.size(); }
  unsigned long long Dropped() const {
    unsigned long long sum = 0;
    for (const auto& c : m_clients) sum += c->dropped;
    return sum;
  }

 private:
  struct Socket {
    explicit Socket(net::io_context& io) : ws(io) {}
    void connect_and_handshake(unsigned short port) {
      beast::get_lowest_layer(ws).connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
      ws.read_message_max(64 * 1024 * 1024);
      ws.handshake("127.0.0.1:" + std::to_string(port), "/api/ws");
    }
    websocket::stream<tcp::socket> ws;
  };
  struct Client {
    explicit Client(net::io_context& io) : ws(io) {}
    Socket ws;
    beast::flat_buffer buffer;
    unsigned long long messages = 0;
    unsigned long long dropped = 0;
    bool done = false;
    bool reading = false;
    double took = 0;
  };

  // True when `text` is a change whose value is m_until's number.
  bool EndsWithValue(const std::string& text) const {
    const std::string number = m_until.substr(1);
    return text.find("\"value\":" + number + "}") != std::string::npos ||
           text.find("\"value\":[" + number + "]}") != std::string::npos;
  }

  void Next(Client& c, const std::string& until, Clock::time_point start) {
    c.reading = true;
    c.ws.ws.async_read(c.buffer, [this, &c](beast::error_code ec, std::size_t) {
      c.reading = false;
      if (ec) return;
      const std::string text = beast::buffers_to_string(c.buffer.data());
      c.buffer.consume(c.buffer.size());
      if (text.find("\"op\":\"dropped\"") != std::string::npos) {
        const json m = json::parse(text, nullptr, false);
        c.dropped += m.value("count", 0ull);
      } else if (text.find("\"op\":\"state\"") == std::string::npos) {
        ++c.messages;
      }
      if (!c.done && !m_until.empty() && EndsWithValue(text)) {
        c.done = true;
        c.took = Seconds(Clock::now() - m_start);
        if (++m_finished == m_clients.size()) m_io.stop();
      }
      Next(c, m_until, m_start);
    });
  }

  unsigned short m_port;
  net::io_context m_io;
  std::vector<std::unique_ptr<Client>> m_clients;
  std::string m_until;
  Clock::time_point m_start;
  size_t m_finished = 0;
};

// The value text a change of the counter at `value` ends with (the value
// is the last member; a one-element array or a number).
std::string ValueText(unsigned long long value) {
  return ":" + std::to_string(value);
}

// Direct library rate: changes/s into one NotificationClient callback.
double LibraryChanges(const roz::Node& root, unsigned short rozwebPort, unsigned long long emits) {
  roz::NotificationClient client;
  std::mutex mutex;
  std::condition_variable seen;
  unsigned long long count = 0;
  unsigned long long last = 0;
  const roz::Node counter = root.GetNode(roz::Path{"regd", "stress", "counter"});
  client.Register(counter, roz::Callback([&](const roz::NotificationData& record) {
    std::lock_guard<std::mutex> lock(mutex);
    ++count;
    try {
      last = record.data.Holds<uint64_t>() ? record.data.Get<uint64_t>()
                                           : record.data.Get<std::vector<uint64_t>>().at(0);
    } catch (const std::exception&) {
    }
    seen.notify_all();
  }));
  const unsigned long long target = Counter(rozwebPort, "stress.counter") + emits;
  const Clock::time_point start = Clock::now();
  Put(rozwebPort, {{"path", "regd.stress.emit"}, {"value", emits}});
  std::unique_lock<std::mutex> lock(mutex);
  seen.wait_for(lock, std::chrono::seconds(120), [&] { return last >= target; });
  const double took = Seconds(Clock::now() - start);
  const double rate = static_cast<double>(count) / took;
  lock.unlock();
  client.Unregister(counter);
  return rate;
}

// Direct library rate: blocks/s of the fast stream into one StreamClient.
double LibraryBlocks(const roz::Node& root, double seconds) {
  const isig::SignalSourceSharedPtr source =
      roz::CreateRemoteSignal(root.GetNode(roz::Path{"fast"}));
  using Client = isig::StreamClient<isig::SignalTraits<double>>;
  std::unique_ptr<Client> client(static_cast<Client*>(source->NewSignalClient("bench", 256)));
  client->Open();
  Client::Block block;
  while (client->Read(block, 5000) != isig::eSuccess) {
  }
  unsigned long long blocks = 0;
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
  while (Clock::now() < end) {
    if (client->Read(block, 100) == isig::eSuccess) ++blocks;
  }
  client->Close();
  return static_cast<double>(blocks) / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  int rounds = 3;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      quick = true;
      rounds = 1;
    } else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else {
      std::cerr << "usage: bench_rozweb [--quick] [--rounds N]" << std::endl;
      return 2;
    }
  }
  const unsigned long long emits = quick ? 200 : 20000;
  const double streamSeconds = quick ? 0.5 : 3.0;
  const unsigned long long memoryChanges = quick ? 1000 : 100000;

  testsupport::RegdProcess regd;
  regd.Options().tree = regd.WriteTree("bench.json", c_tree);
  regd.Options().args = {"--heartbeat-ms", "0"};
  regd.Start();
  RozwebProcess rozweb({"--registry", "b=127.0.0.1:" + std::to_string(regd.Port())});
  const unsigned short port = rozweb.Port();
  roz::Init();
  const roz::Node root = roz::Connect("127.0.0.1", roz::eApp, static_cast<int>(regd.Port()), false);
  if (!root.IsValid()) {
    std::cerr << "bench_rozweb: cannot connect to regd" << std::endl;
    return 1;
  }

  struct Row {
    std::string what;
    std::string unit;
    double value;
    std::string note;
  };
  std::vector<Row> rows;

  // Changes.
  std::cerr << "bench_rozweb: changes" << std::endl;
  std::vector<double> library;
  for (int r = 0; r < rounds; ++r) library.push_back(LibraryChanges(root, port, emits));
  rows.push_back({"changes, library callback", "1/s", Median(library), ""});
  // Per client: `current`, the changes it was kept abreast of per second
  // (E over the time until it held the last value; coalesced changes count
  // as followed), and `messages`, the change messages it received per
  // second.
  double oneClient = 0;
  for (size_t n : {size_t{1}, size_t{10}, size_t{100}}) {
    std::cerr << "bench_rozweb: changes to " << n << " clients" << std::endl;
    Clients clients(port, quick ? std::min<size_t>(n, 10) : n);
    clients.Request({{"op", "subscribe"}, {"path", "regd.stress.counter"}}, "subscribed");
    std::vector<double> current;
    std::vector<double> messageRates;
    std::vector<double> received;
    for (int r = 0; r < rounds; ++r) {
      const unsigned long long target = Counter(port, "stress.counter") + emits;
      Put(port, {{"path", "regd.stress.emit"}, {"value", emits}});
      const std::vector<double> took = clients.Read(ValueText(target), std::chrono::seconds(120));
      const std::vector<unsigned long long> messages = clients.Messages();
      std::vector<double> currentRates;
      std::vector<double> rates;
      double sum = 0;
      for (size_t i = 0; i < took.size(); ++i) {
        currentRates.push_back(static_cast<double>(emits) / took[i]);
        rates.push_back(static_cast<double>(messages[i]) / took[i]);
        sum += static_cast<double>(messages[i]);
      }
      current.push_back(Median(currentRates));
      messageRates.push_back(Median(rates));
      received.push_back(sum / static_cast<double>(messages.size()));
    }
    const double rate = Median(current);
    if (n == 1) oneClient = rate;
    char note[200];
    std::snprintf(note, sizeof note, "%.0f messages/s per client (%.0f of %llu changes sent)",
                  Median(messageRates), Median(received), emits);
    rows.push_back({"changes kept current, " + std::to_string(clients.Size()) +
                        " WebSocket client(s), per client",
                    "1/s", rate, note});
    if (n == 100) {
      const double ratio = oneClient > 0 ? rate / oneClient : 0;
      std::snprintf(note, sizeof note, "goal >= 0.8: %s", ratio >= 0.8 ? "ok" : "MISSED");
      rows.push_back({"changes, 100 clients / 1 client, per client", "ratio", ratio, note});
    }
  }

  // Blocks.
  std::cerr << "bench_rozweb: blocks" << std::endl;
  std::vector<double> direct;
  for (int r = 0; r < rounds; ++r) direct.push_back(LibraryBlocks(root, streamSeconds));
  rows.push_back({"blocks of 2 x 4096 doubles, library StreamClient", "1/s", Median(direct), ""});
  for (size_t n : {size_t{1}, size_t{10}}) {
    Clients clients(port, n);
    clients.Request({{"op", "stream"}, {"path", "fast"}, {"max_points", 1000}}, "streaming");
    std::vector<double> rates;
    unsigned long long dropped = 0;
    for (int r = 0; r < rounds; ++r) {
      clients.Read("", std::chrono::milliseconds(static_cast<long>(streamSeconds * 1000)));
      std::vector<double> perClient;
      for (unsigned long long m : clients.Messages()) perClient.push_back(m / streamSeconds);
      rates.push_back(Median(perClient));
      dropped += clients.Dropped();
    }
    rows.push_back({"blocks via rozweb, max_points 1000, " + std::to_string(n) + " client(s)",
                    "1/s per client", Median(rates),
                    std::to_string(dropped) + " dropped in all rounds"});
  }

  // Memory.
  std::cerr << "bench_rozweb: memory" << std::endl;
  {
    Clients clients(port, 10);
    clients.Request({{"op", "subscribe"}, {"path", "regd.stress.counter"}}, "subscribed");
    const auto flood = [&](unsigned long long count) {
      const unsigned long long target = Counter(port, "stress.counter") + count;
      Put(port, {{"path", "regd.stress.emit"}, {"value", count}});
      clients.Read(ValueText(target), std::chrono::seconds(300));
    };
    flood(memoryChanges / 10);
    const long first = RssKiB(rozweb.Pid());
    flood(memoryChanges);
    const long second = RssKiB(rozweb.Pid());
    rows.push_back({"rozweb RSS after " + std::to_string(memoryChanges / 10) + " changes", "KiB",
                    static_cast<double>(first), "10 clients watching"});
    const bool flat = second <= first + first / 10;
    rows.push_back({"rozweb RSS after " + std::to_string(memoryChanges) + " more", "KiB",
                    static_cast<double>(second),
                    std::string("goal flat (<= +10 %): ") + (flat ? "ok" : "MISSED")});
  }

  std::cout << "| case | unit | value | note |\n|---|---|---:|---|\n";
  for (const Row& row : rows) {
    char value[32];
    std::snprintf(value, sizeof value, row.unit == "ratio" ? "%.2f" : "%.0f", row.value);
    std::cout << "| " << row.what << " | " << row.unit << " | " << value << " | " << row.note
              << " |\n";
  }
  std::cout << std::flush;
  rozweb.Stop();
  roz::Shutdown();
  return 0;
}
