// What the gateway tests use to drive rozweb from outside: the binary of the
// build started as a child process (RozwebProcess: own directory, port file,
// SIGKILL should the test die), a plain HTTP client (one connection per
// request, Beast) and a WebSocket client whose reads wait with a deadline
// (WsClient), both speaking JSON.
//
// Like every test that starts a server, these run inside the loopback-only
// network namespace. Thread-safety: one object per thread.
#ifndef VARNEK_TESTS_ROZWEB_ROZWEB_CLIENT_H
#define VARNEK_TESTS_ROZWEB_ROZWEB_CLIENT_H

#include <signal.h>
#include <sys/wait.h>

#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "support/child_process.h"

namespace rozwebtest {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using nlohmann::json;

class RozwebProcess {
 public:
  // Starts rozweb with `args` plus --listen 127.0.0.1:0 and a port file;
  // returns once the port is there. Throws std::runtime_error (with
  // rozweb's standard error) when it ends first or takes longer than 30 s.
  explicit RozwebProcess(std::vector<std::string> args) {
    args.insert(args.begin(), {ROZWEB_BINARY, "--listen", "127.0.0.1:0", "--port-file", PortFile()});
    m_pid = testsupport::SpawnChild(args, m_dir.File("out"), m_dir.File("err"));
    const bool ready = testutil::WaitUntil(
        [&] { return !testutil::ReadFile(PortFile()).empty() || !Running(); }, 30.0);
    const std::string port = testutil::ReadFile(PortFile());
    if (!ready || port.empty()) {
      const std::string err = Err();
      Kill();  // the destructor does not run for a constructor that throws
      throw std::runtime_error("rozweb did not start: " + err);
    }
    m_port = static_cast<unsigned short>(std::stoi(port));
  }
  ~RozwebProcess() { Kill(); }
  RozwebProcess(const RozwebProcess&) = delete;
  RozwebProcess& operator=(const RozwebProcess&) = delete;

  unsigned short Port() const { return m_port; }
  pid_t Pid() const { return m_pid; }
  std::string Err() const { return testutil::ReadFile(m_dir.File("err")); }
  std::string File(const std::string& name) const { return m_dir.File(name); }
  bool Running() {
    if (m_pid == 0) return false;
    int status;
    if (::waitpid(m_pid, &status, WNOHANG) != m_pid) return true;
    m_pid = 0;
    m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return false;
  }
  // SIGTERM and the exit status (-1 when it had to be killed).
  int Stop() {
    if (m_pid == 0) return m_exitCode;
    ::kill(m_pid, SIGTERM);
    if (!testutil::WaitUntil([&] { return !Running(); }, 30.0)) {
      Kill();
      return -1;
    }
    return m_exitCode;
  }

 private:
  // SIGKILL and reaping of what still runs.
  void Kill() {
    if (m_pid == 0) return;
    ::kill(m_pid, SIGKILL);
    int status;
    ::waitpid(m_pid, &status, 0);
    m_pid = 0;
  }
  std::string PortFile() const { return m_dir.File("port"); }
  testutil::TempDir m_dir;
  pid_t m_pid = 0;
  int m_exitCode = -1;
  unsigned short m_port = 0;
};

struct Reply {
  int status = 0;
  std::string body;
  std::string contentType;
  // The body as JSON (discarded value when it is none).
  json Json() const { return json::parse(body, nullptr, false); }
  std::string Error() const {
    const json j = Json();
    return j.is_object() && j.contains("error") && j["error"].is_string() ? j["error"].get<std::string>()
                                                                          : "(no error member)";
  }
};

// One request on a fresh connection; `target` verbatim. Extra header
// fields as name/value pairs.
inline Reply Request(unsigned short port, http::verb method, const std::string& target,
                     const std::string& body = "",
                     const std::vector<std::pair<std::string, std::string>>& fields = {}) {
  net::io_context io;
  beast::tcp_stream stream(io);
  stream.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
  http::request<http::string_body> request{method, target, 11};
  request.set(http::field::host, "127.0.0.1:" + std::to_string(port));
  for (const auto& [name, value] : fields) request.set(name, value);
  if (method == http::verb::put || method == http::verb::post) {
    request.set(http::field::content_type, "application/json");
    request.body() = body;
    request.prepare_payload();
  }
  http::write(stream, request);
  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(64 * 1024 * 1024);
  http::read(stream, buffer, parser);
  Reply reply;
  reply.status = parser.get().result_int();
  reply.body = parser.get().body();
  reply.contentType = std::string(parser.get()[http::field::content_type]);
  beast::error_code ignored;
  stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
  return reply;
}

inline Reply Get(unsigned short port, const std::string& target) {
  return Request(port, http::verb::get, target);
}
inline Reply Put(unsigned short port, const json& body) {
  return Request(port, http::verb::put, "/api/value", body.dump());
}
inline Reply Post(unsigned short port, const std::string& target, const json& body) {
  return Request(port, http::verb::post, target, body.dump());
}

// A WebSocket to /api/ws whose reads wait at most a given time.
class WsClient {
 public:
  // Connects; `receiveBuffer` > 0 sets the socket's receive buffer first
  // (a slow reader). Throws what Beast throws when the handshake fails.
  explicit WsClient(unsigned short port, int receiveBuffer = 0,
                    const std::vector<std::pair<std::string, std::string>>& fields = {})
      : m_ws(m_io) {
    tcp::socket& socket = beast::get_lowest_layer(m_ws);
    socket.open(tcp::v4());
    if (receiveBuffer > 0) socket.set_option(net::socket_base::receive_buffer_size(receiveBuffer));
    socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    m_ws.set_option(websocket::stream_base::decorator([fields](websocket::request_type& request) {
      for (const auto& [name, value] : fields) request.set(name, value);
    }));
    m_ws.read_message_max(64 * 1024 * 1024);
    m_ws.handshake("127.0.0.1:" + std::to_string(port), "/api/ws");
  }

  void Send(const json& message) { m_ws.write(net::buffer(message.dump())); }
  void SendText(const std::string& text) { m_ws.write(net::buffer(text)); }
  // SendText that reports a socket the server has closed meanwhile (false)
  // instead of throwing.
  bool TrySendText(const std::string& text) {
    beast::error_code ec;
    m_ws.write(net::buffer(text), ec);
    if (ec) m_closed = true;
    return !ec;
  }

  // The next message, or nothing within `timeoutS` or once the socket is
  // closed (Closed() then says so).
  std::optional<json> Next(double timeoutS = 10.0) {
    if (m_closed) return std::nullopt;
    if (!m_pending) {
      m_pending = true;
      m_done = false;
      m_ws.async_read(m_buffer, [this](beast::error_code ec, std::size_t) {
        m_done = true;
        m_error = ec;
      });
    }
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long long>(timeoutS * 1000));
    while (!m_done && std::chrono::steady_clock::now() < deadline) {
      m_io.restart();
      m_io.run_one_until(deadline);
    }
    if (!m_done) return std::nullopt;
    m_pending = false;
    if (m_error) {
      m_closed = true;
      return std::nullopt;
    }
    std::string text = beast::buffers_to_string(m_buffer.data());
    m_buffer.consume(m_buffer.size());
    return json::parse(text, nullptr, false);
  }

  // Reads until a message satisfies `match` (returned) or `timeoutS` passes.
  std::optional<json> WaitFor(const std::function<bool(const json&)>& match, double timeoutS = 20.0) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long long>(timeoutS * 1000));
    for (;;) {
      const double left =
          std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) return std::nullopt;
      std::optional<json> message = Next(left);
      if (!message) return std::nullopt;
      if (match(*message)) return message;
    }
  }

  // Reads until the server closes the socket (true) or `timeoutS` passes.
  bool WaitClosed(double timeoutS = 20.0) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long long>(timeoutS * 1000));
    while (!m_closed && std::chrono::steady_clock::now() < deadline) {
      Next(std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count());
    }
    return m_closed;
  }
  bool Closed() const { return m_closed; }

 private:
  net::io_context m_io;
  websocket::stream<tcp::socket> m_ws;
  beast::flat_buffer m_buffer;
  bool m_pending = false;
  bool m_done = false;
  bool m_closed = false;
  beast::error_code m_error;
};

// A predicate for WaitFor: the message's "op" is `op` (and, when given,
// its "path" is `path`).
inline std::function<bool(const json&)> Op(const std::string& op, const std::string& path = "") {
  return [op, path](const json& m) {
    return m.is_object() && m.value("op", "") == op && (path.empty() || m.value("path", "") == path);
  };
}

}  // namespace rozwebtest

#endif  // VARNEK_TESTS_ROZWEB_ROZWEB_CLIENT_H
