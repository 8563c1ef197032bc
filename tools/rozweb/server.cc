// Beast listener, HTTP sessions, WebSocket sessions, static files and the
// connection check of rozweb.
#include "server.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <array>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <chrono>
#include <optional>

#include "api_error.h"
#include "request.h"

namespace rozweb {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

constexpr auto c_readTimeout = std::chrono::seconds(60);  // an idle HTTP connection
constexpr auto c_wsIdleTimeout = std::chrono::seconds(60);  // a WebSocket that answers nothing
constexpr auto c_drainTimeout = std::chrono::seconds(5);  // reading after our last answer
constexpr unsigned long long c_maxFileBytes = 256ull * 1024 * 1024;
constexpr int c_workerThreads = 4;

const char* MimeType(const std::string& path) {
  const size_t dot = path.rfind('.');
  const std::string ext = dot == std::string::npos ? "" : path.substr(dot + 1);
  if (ext == "html" || ext == "htm") return "text/html; charset=utf-8";
  if (ext == "js" || ext == "mjs") return "text/javascript; charset=utf-8";
  if (ext == "css") return "text/css; charset=utf-8";
  if (ext == "json" || ext == "map") return "application/json";
  if (ext == "svg") return "image/svg+xml";
  if (ext == "png") return "image/png";
  if (ext == "ico") return "image/x-icon";
  if (ext == "woff2") return "font/woff2";
  if (ext == "txt") return "text/plain; charset=utf-8";
  return "application/octet-stream";
}

// The host[:port] of an Origin header ("http://127.0.0.1:8080" ->
// "127.0.0.1:8080").
std::string OriginHost(const std::string& origin) {
  const size_t scheme = origin.find("://");
  return scheme == std::string::npos ? origin : origin.substr(scheme + 3);
}

// Requests a browser sends from a page of another site carry its Origin;
// writes and WebSockets are only taken from the console's own pages (or
// from programs, which send no Origin).
bool SameOrigin(const http::request<http::string_body>& request) {
  const auto origin = request.find(http::field::origin);
  if (origin == request.end()) return true;
  const auto host = request.find(http::field::host);
  if (host == request.end()) return false;
  return OriginHost(std::string(origin->value())) == std::string(host->value());
}

template <typename Body>
void CommonHeaders(http::response<Body>& response) {
  response.set(http::field::server, "rozweb");
  response.set("X-Content-Type-Options", "nosniff");
  response.set("Referrer-Policy", "no-referrer");
}

http::response<http::string_body> JsonResponse(unsigned int version, bool keepAlive, int status,
                                               std::string body) {
  http::response<http::string_body> response{static_cast<http::status>(status), version};
  CommonHeaders(response);
  response.set(http::field::content_type, "application/json");
  response.set(http::field::cache_control, "no-store");
  response.keep_alive(keepAlive);
  response.body() = std::move(body);
  response.prepare_payload();
  return response;
}

}  // namespace

class Server::Impl {
 public:
  Impl(const Options& options, RegistrySet& registries, Hub& hub, Api& api)
      : m_options(options),
        m_registries(registries),
        m_hub(hub),
        m_api(api),
        m_workers(c_workerThreads),
        m_acceptor(m_io) {}

  unsigned short Start();
  void Stop();

  net::io_context& Io() { return m_io; }
  net::thread_pool& Workers() { return m_workers; }
  Hub& TheHub() { return m_hub; }
  Api& TheApi() { return m_api; }
  const Options& Opts() const { return m_options; }
  bool Stopping() const { return m_stopping.load(); }

 private:
  void Accept();
  void CheckLoop();

  const Options m_options;
  RegistrySet& m_registries;
  Hub& m_hub;
  Api& m_api;
  net::io_context m_io;
  net::thread_pool m_workers;
  tcp::acceptor m_acceptor;
  std::vector<std::thread> m_threads;
  std::thread m_checker;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::atomic<bool> m_stopping{false};
  bool m_started = false;
  bool m_stopped = false;
};

namespace {

// One WebSocket: the hub's sink; reads requests, writes its queue.
class WsSession : public Sink, public std::enable_shared_from_this<WsSession> {
 public:
  WsSession(tcp::socket&& socket, Server::Impl& server)
      : m_ws(std::move(socket)), m_server(server) {}

  void Run(http::request<http::string_body> request) {
    boost::system::error_code ignored;
    beast::get_lowest_layer(m_ws).socket().set_option(
        net::socket_base::send_buffer_size(Server::c_wsSendBuffer), ignored);
    beast::get_lowest_layer(m_ws).expires_never();
    // A browser that only listens sends nothing: the server pings it half
    // way through the idle time-out, and its pongs keep the socket open;
    // a peer that stops answering is dropped after the idle time-out.
    websocket::stream_base::timeout timeout =
        websocket::stream_base::timeout::suggested(beast::role_type::server);
    timeout.idle_timeout = c_wsIdleTimeout;
    timeout.keep_alive_pings = true;
    m_ws.set_option(timeout);
    m_ws.read_message_max(c_maxWsMessageBytes);
    m_ws.text(true);
    m_request = std::move(request);
    m_ws.async_accept(m_request, beast::bind_front_handler(&WsSession::OnAccept, shared_from_this()));
  }

 protected:
  void StartWriter() override {
    net::post(m_ws.get_executor(), [self = shared_from_this()] { self->WriteNext(); });
  }
  void Overflowed() override {
    net::post(m_ws.get_executor(), [self = shared_from_this()] {
      self->CloseWith(websocket::close_code::policy_error);
    });
  }

 private:
  void OnAccept(beast::error_code ec) {
    if (ec) return;
    m_server.TheHub().AddSink(shared_from_this());
    m_joined = true;
    Read();
  }

  void Read() {
    m_reading = true;
    m_ws.async_read(m_buffer, beast::bind_front_handler(&WsSession::OnRead, shared_from_this()));
  }

  void OnRead(beast::error_code ec, std::size_t) {
    m_reading = false;
    if (ec) {
      Gone();  // closed, failed, or too large (read_message_max)
      return;
    }
    const std::string text = beast::buffers_to_string(m_buffer.data());
    m_buffer.consume(m_buffer.size());
    nlohmann::json request = nlohmann::json::parse(text, nullptr, false);
    if (!m_ws.got_text() || request.is_discarded() || !request.is_object()) {
      CloseWith(websocket::close_code::policy_error);
      return;
    }
    ++m_inFlight;
    net::post(m_server.Workers(), [self = shared_from_this(), request = std::move(request)] {
      self->m_server.TheHub().Request(self, request);
      net::post(self->m_ws.get_executor(), [self] {
        --self->m_inFlight;
        if (!self->m_reading && !self->m_closing && !self->m_gone) self->Read();
      });
    });
    if (m_inFlight < Server::c_maxInFlight) Read();
  }

  void WriteNext() {
    if (m_gone) return;
    if (m_closing) {
      if (!m_closeSent) SendClose();
      return;
    }
    m_writing = Queue().Pop();
    if (!m_writing) return;
    m_ws.async_write(net::buffer(*m_writing),
                     beast::bind_front_handler(&WsSession::OnWrite, shared_from_this()));
  }

  void OnWrite(beast::error_code ec, std::size_t) {
    m_writing.reset();
    if (ec) {
      Gone();
      return;
    }
    WriteNext();
  }

  // Ends the socket with `code` once the write in progress (if any) is done.
  void CloseWith(websocket::close_code code) {
    if (m_closing || m_gone) return;
    m_closing = true;
    m_closeCode = code;
    if (!m_writing) SendClose();
  }

  void SendClose() {
    m_closeSent = true;
    m_ws.async_close(m_closeCode, [self = shared_from_this()](beast::error_code) { self->Gone(); });
  }

  // The socket is finished: the hub forgets it (on a worker: leaving may
  // unsubscribe in the library).
  void Gone() {
    if (m_gone) return;
    m_gone = true;
    beast::error_code ignored;
    beast::get_lowest_layer(m_ws).socket().close(ignored);
    if (!m_joined || m_server.Stopping()) return;
    net::post(m_server.Workers(),
              [self = shared_from_this()] { self->m_server.TheHub().RemoveSink(self.get()); });
  }

  websocket::stream<beast::tcp_stream> m_ws;
  Server::Impl& m_server;
  http::request<http::string_body> m_request;
  beast::flat_buffer m_buffer;
  Message m_writing;  // the message being written
  // Strand-only state.
  int m_inFlight = 0;
  bool m_reading = false;
  bool m_joined = false;
  bool m_closing = false;
  bool m_closeSent = false;
  bool m_gone = false;
  websocket::close_code m_closeCode = websocket::close_code::normal;
};

// One HTTP connection: requests one after the other (keep-alive).
class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(tcp::socket&& socket, Server::Impl& server)
      : m_stream(std::move(socket)), m_server(server) {}

  void Run() {
    net::dispatch(m_stream.get_executor(),
                  beast::bind_front_handler(&HttpSession::Read, shared_from_this()));
  }

 private:
  void Read() {
    m_parser.emplace();
    m_parser->header_limit(c_maxHeaderBytes);
    m_parser->body_limit(c_maxBodyBytes);
    m_stream.expires_after(c_readTimeout);
    http::async_read(m_stream, m_buffer, *m_parser,
                     beast::bind_front_handler(&HttpSession::OnRead, shared_from_this()));
  }

  void OnRead(beast::error_code ec, std::size_t) {
    if (ec == http::error::end_of_stream || ec == net::error::operation_aborted ||
        ec == beast::error::timeout || ec == net::error::connection_reset || ec == net::error::eof) {
      Close();
      return;
    }
    if (ec) {
      // Malformed or oversized: one answer, then the connection ends.
      const bool large = ec == http::error::body_limit || ec == http::error::header_limit ||
                         ec == http::error::buffer_overflow;
      Send(JsonResponse(11, false, 400,
                        ErrorBody(large ? "request too large" : "bad request: " + ec.message())));
      return;
    }
    http::request<http::string_body> request = m_parser->release();
    const std::string target(request.target());
    const std::string path = target.substr(0, target.find('?'));
    if (websocket::is_upgrade(request)) {
      if (path != "/api/ws") {
        Send(JsonResponse(request.version(), false, 404, ErrorBody("no WebSocket at " + path)));
      } else if (!SameOrigin(request)) {
        Send(JsonResponse(request.version(), false, 403,
                          ErrorBody("WebSocket from another origin refused")));
      } else {
        std::make_shared<WsSession>(m_stream.release_socket(), m_server)->Run(std::move(request));
      }
      return;
    }
    if (path.compare(0, 5, "/api/") == 0 || path == "/api") {
      const bool write = request.method() == http::verb::put || request.method() == http::verb::post;
      if (write && !SameOrigin(request)) {
        Send(JsonResponse(request.version(), false, 403,
                          ErrorBody("writes from another origin are refused")));
        return;
      }
      // The library call runs on a worker; the answer comes back to this
      // connection's strand.
      net::post(m_server.Workers(), [self = shared_from_this(), request = std::move(request)] {
        const ApiReply reply = self->m_server.TheApi().Handle(
            std::string(request.method_string()), std::string(request.target()), request.body());
        net::post(self->m_stream.get_executor(), [self, reply, version = request.version(),
                                                   keepAlive = request.keep_alive()] {
          self->Send(JsonResponse(version, keepAlive, reply.status, reply.body));
        });
      });
      return;
    }
    ServeFile(request);
  }

  void ServeFile(const http::request<http::string_body>& request) {
    const unsigned int version = request.version();
    const bool keepAlive = request.keep_alive();
    if (request.method() != http::verb::get && request.method() != http::verb::head) {
      Send(JsonResponse(version, keepAlive, 405, ErrorBody("only GET and HEAD serve files")));
      return;
    }
    std::string path;
    try {
      path = ParseTarget(std::string(request.target())).path;
    } catch (const ApiError& e) {
      Send(JsonResponse(version, keepAlive, 400, ErrorBody(e.what())));
      return;
    }
    const auto notFound = [&] {
      Send(JsonResponse(version, keepAlive, 404, ErrorBody("not found")));
    };
    // Only plain paths: no "..", no ".", no backslash, no NUL, no empty
    // elements but a last one (which stands for index.html).
    if (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos ||
        path.find('\\') != std::string::npos) {
      notFound();
      return;
    }
    if (path.back() == '/') path += "index.html";
    for (size_t start = 1; start <= path.size();) {
      size_t slash = path.find('/', start);
      if (slash == std::string::npos) slash = path.size();
      const std::string element = path.substr(start, slash - start);
      if (element.empty() || element == "." || element == ".." || element[0] == '.') {
        notFound();
        return;
      }
      start = slash + 1;
    }
    // The real file must lie below the real web root (no way out through
    // a symbolic link either).
    const std::string& webRoot = m_server.Opts().webRoot;
    char* rootReal = ::realpath(webRoot.c_str(), nullptr);
    char* fileReal = ::realpath((webRoot + path).c_str(), nullptr);
    std::string rootText = rootReal ? rootReal : "";
    std::string fileText = fileReal ? fileReal : "";
    ::free(rootReal);
    ::free(fileReal);
    struct stat info {};
    if (rootText.empty() || fileText.compare(0, rootText.size() + 1, rootText + "/") != 0 ||
        ::stat(fileText.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<unsigned long long>(info.st_size) > c_maxFileBytes) {
      notFound();
      return;
    }
    beast::error_code ec;
    http::file_body::value_type body;
    body.open(fileText.c_str(), beast::file_mode::scan, ec);
    if (ec) {
      notFound();
      return;
    }
    const auto size = body.size();
    if (request.method() == http::verb::head) {
      http::response<http::empty_body> response{http::status::ok, version};
      CommonHeaders(response);
      response.set(http::field::content_type, MimeType(fileText));
      response.content_length(size);
      response.keep_alive(keepAlive);
      Send(std::move(response));
      return;
    }
    http::response<http::file_body> response{std::piecewise_construct,
                                             std::make_tuple(std::move(body)),
                                             std::make_tuple(http::status::ok, version)};
    CommonHeaders(response);
    response.set(http::field::content_type, MimeType(fileText));
    response.set(http::field::cache_control, "no-cache");
    response.content_length(size);
    response.keep_alive(keepAlive);
    Send(std::move(response));
  }

  template <typename Body>
  void Send(http::response<Body>&& message) {
    auto response = std::make_shared<http::response<Body>>(std::move(message));
    m_response = response;
    http::async_write(m_stream, *response,
                      [self = shared_from_this(), close = response->need_eof()](
                          beast::error_code ec, std::size_t) {
                        self->m_response.reset();
                        if (ec || close) {
                          self->Close();
                          return;
                        }
                        self->Read();
                      });
  }

  // Ends the connection: our side first, then what the peer still sends is
  // read and dropped (for a few seconds at most) before the socket closes,
  // so that an answer to an oversized request is not lost to a reset.
  void Close() {
    beast::error_code ignored;
    m_stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    m_stream.expires_after(c_drainTimeout);
    Drain();
  }

  void Drain() {
    m_stream.async_read_some(net::buffer(m_drain),
                             [self = shared_from_this()](beast::error_code ec, std::size_t) {
                               if (!ec) {
                                 self->Drain();
                                 return;
                               }
                               beast::error_code ignored;
                               self->m_stream.socket().close(ignored);
                             });
  }

  beast::tcp_stream m_stream;
  Server::Impl& m_server;
  beast::flat_buffer m_buffer;
  std::optional<http::request_parser<http::string_body>> m_parser;
  std::shared_ptr<void> m_response;
  std::array<char, 4096> m_drain;
};

}  // namespace

unsigned short Server::Impl::Start() {
  // The first connection to every registry before anyone asks, so that the
  // first answers already tell their state.
  for (const auto& registry : m_registries.All()) registry->Check();
  boost::system::error_code ec;
  const net::ip::address address = net::ip::make_address(m_options.listenAddress, ec);
  if (ec) throw std::runtime_error("bad listen address \"" + m_options.listenAddress + "\"");
  const tcp::endpoint endpoint(address, m_options.listenPort);
  m_acceptor.open(endpoint.protocol(), ec);
  if (!ec) m_acceptor.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) m_acceptor.bind(endpoint, ec);
  if (!ec) m_acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    throw std::runtime_error("cannot listen on " + m_options.listenAddress + ":" +
                             std::to_string(m_options.listenPort) + ": " + ec.message());
  }
  const unsigned short port = m_acceptor.local_endpoint().port();
  Accept();
  m_started = true;
  for (unsigned int i = 0; i < std::max(1u, m_options.threads); ++i) {
    m_threads.emplace_back([this] { m_io.run(); });
  }
  m_checker = std::thread([this] { CheckLoop(); });
  return port;
}

void Server::Impl::Accept() {
  m_acceptor.async_accept(net::make_strand(m_io), [this](beast::error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted || !m_acceptor.is_open()) return;
    if (!ec) std::make_shared<HttpSession>(std::move(socket), *this)->Run();
    Accept();
  });
}

void Server::Impl::CheckLoop() {
  std::vector<bool> reported;
  for (const auto& registry : m_registries.All()) reported.push_back(registry->Connected());
  std::unique_lock<std::mutex> lock(m_mutex);
  while (!m_stopping) {
    m_wake.wait_for(lock, std::chrono::milliseconds(c_checkPeriodMs), [&] { return m_stopping.load(); });
    if (m_stopping) break;
    lock.unlock();
    for (size_t i = 0; i < m_registries.All().size(); ++i) {
      Registry& registry = *m_registries.All()[i];
      bool restarted = false;
      registry.Check(&restarted);
      const bool now = registry.Connected();
      if (now != reported[i] || restarted) {
        reported[i] = now;
        m_hub.RegistryChanged(registry, now);
      }
    }
    lock.lock();
  }
}

void Server::Impl::Stop() {
  if (m_stopped) return;
  m_stopped = true;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
    m_wake.notify_all();
  }
  if (m_checker.joinable()) m_checker.join();
  // The I/O threads first (nothing is accepted or written after this),
  // then the workers finish the library calls in progress; what they post
  // back to the stopped I/O context is never run.
  m_io.stop();
  for (std::thread& thread : m_threads) thread.join();
  m_threads.clear();
  boost::system::error_code ignored;
  m_acceptor.close(ignored);
  m_workers.join();
}

Server::Server(const Options& options, RegistrySet& registries, Hub& hub, Api& api)
    : m_impl(std::make_unique<Impl>(options, registries, hub, api)) {}

Server::~Server() { Stop(); }

unsigned short Server::Start() { return m_impl->Start(); }

void Server::Stop() { m_impl->Stop(); }

}  // namespace rozweb
