// rozweb run as a process against its own regd: the REST endpoints with
// their answers and error codes, read-only mode, malformed and oversized
// input, static files, and the WebSocket side (subscriptions shared by
// sockets, coalescing for a slow reader, many sockets coming and going,
// decimated streams, a registry killed and restarted).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <fstream>
#include <memory>

#include "rozweb/rozweb_client.h"
#include "support/regd_fixture.h"
#include "support/test_pki.h"

namespace {

using namespace rozwebtest;

class RozwebTest : public testsupport::RegdTest {
 protected:
  // Starts regd (demo tree, heartbeat every 20 ms) and rozweb serving it
  // as "demo", plus `extra` arguments.
  void Start(const std::vector<std::string>& extra = {}) {
    Regd().Options().args = {"--heartbeat-ms", "20"};
    StartRegd();
    std::vector<std::string> args = {"--registry",
                                     "demo=127.0.0.1:" + std::to_string(Regd().Port()) + "/app",
                                     "--web-root", WebRoot()};
    args.insert(args.end(), extra.begin(), extra.end());
    StartRozweb(args);
  }
  void StartRozweb(const std::vector<std::string>& args) {
    m_rozweb = std::make_unique<RozwebProcess>(args);
  }
  unsigned short Port() const { return m_rozweb->Port(); }
  RozwebProcess& Rozweb() { return *m_rozweb; }
  // A web root with an index page, and a secret file next to it.
  std::string WebRoot() {
    const std::string root = m_files.File("web");
    ::mkdir(root.c_str(), 0755);
    std::ofstream(root + "/index.html") << "<html>console</html>";
    std::ofstream(m_files.File("secret.txt")) << "secret";
    ::symlink(m_files.File("secret.txt").c_str(), (root + "/link.txt").c_str());
    return root;
  }
  // The number in regd's diagnostic node regd.<name>, read through rozweb.
  unsigned long long Counter(const std::string& name) {
    const Reply reply = Get(Port(), "/api/value?path=regd." + name);
    EXPECT_EQ(reply.status, 200) << reply.body;
    const json value = reply.Json()["value"];
    return value.is_array() ? value[0].get<unsigned long long>() : value.get<unsigned long long>();
  }

 private:
  testutil::TempDir m_files;
  std::unique_ptr<RozwebProcess> m_rozweb;
};

TEST_F(RozwebTest, RestEndpointsAnswerWithTheLibrarysValues) {
  Start();
  // Registries.
  Reply r = Get(Port(), "/api/registries");
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.contentType, "application/json");
  const json registries = r.Json();
  ASSERT_EQ(registries.size(), 1u);
  EXPECT_EQ(registries[0]["name"], "demo");
  EXPECT_EQ(registries[0]["host"], "127.0.0.1");
  EXPECT_EQ(registries[0]["port"], Regd().Port());
  EXPECT_EQ(registries[0]["root"], "app");
  EXPECT_EQ(registries[0]["state"], "connected");

  // Tree: one level by default, hidden nodes left out; deeper on request.
  r = Get(Port(), "/api/tree?registry=demo");
  ASSERT_EQ(r.status, 200) << r.body;
  std::vector<std::string> top;
  for (const json& node : r.Json()) top.push_back(node["path"]);
  EXPECT_EQ(top, (std::vector<std::string>{"identity", "settings", "calibration", "measurement",
                                           "reset", "signals"}));
  r = Get(Port(), "/api/tree?path=settings&depth=1");
  ASSERT_EQ(r.status, 200) << r.body;
  json mode;
  for (const json& node : r.Json()) {
    if (node["name"] == "mode") mode = node;
  }
  EXPECT_EQ(mode["path"], "settings.mode");
  EXPECT_EQ(mode["type"], "Enumeration");
  EXPECT_EQ(mode["flags"], json({"read", "write", "persistent"}));
  EXPECT_EQ(mode["leaf"], true);
  r = Get(Port(), "/api/tree?depth=2");
  EXPECT_GT(r.Json().size(), 20u);

  // Values in rozctl's JSON forms: numbers, arrays, enumerations as text.
  r = Get(Port(), "/api/value?registry=demo&path=settings.gain");
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.Json(), json({{"path", "settings.gain"}, {"type", "Double"}, {"value", 1.0}}));
  EXPECT_EQ(Get(Port(), "/api/value?path=calibration.offsets").Json()["value"],
            json({-3, 0, 7, 2}));
  EXPECT_EQ(Get(Port(), "/api/value?path=calibration.offsets&pos=1&count=2").Json()["value"],
            json({0, 7}));
  EXPECT_EQ(Get(Port(), "/api/value?path=settings.mode").Json()["value"], "normal");
  EXPECT_EQ(Get(Port(), "/api/value?path=settings.capacity").Json()["value"], 17179869184ull);

  // Writes answer the old and the new value.
  r = Put(Port(), {{"registry", "demo"}, {"path", "settings.gain"}, {"value", 2.5}});
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.Json(), json({{"path", "settings.gain"}, {"old", 1.0}, {"new", 2.5}}));
  r = Put(Port(), {{"path", "settings.mode"}, {"value", "fast"}});
  EXPECT_EQ(r.Json()["new"], "fast");
  r = Put(Port(), {{"path", "calibration.offsets"}, {"value", {9, 8}}, {"pos", 2}});
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.Json()["new"], json({-3, 0, 9, 8}));
  EXPECT_EQ(Get(Port(), "/api/value?path=settings.gain").Json()["value"], 2.5);

  // A command: reset restores the settings.
  r = Post(Port(), "/api/exec", {{"registry", "demo"}, {"path", "reset"}});
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.Json()["executed"], true);
  EXPECT_TRUE(testutil::WaitUntil(
      [&] { return Get(Port(), "/api/value?path=settings.gain").Json()["value"] == 1.0; }, 20));

  // Info.
  r = Get(Port(), "/api/info?path=settings.mode");
  ASSERT_EQ(r.status, 200) << r.body;
  const json info = r.Json();
  EXPECT_EQ(info["type"], "Enumeration");
  EXPECT_EQ(info["domain"], json({"normal", "fast", "precise", "standby"}));
  EXPECT_EQ(info["children"], 0);
  EXPECT_EQ(Get(Port(), "/api/info?path=settings.gain").Json()["validator"],
            "0.01 <= value && value <= 1000");
  EXPECT_EQ(Get(Port(), "/api/info?path=settings").Json()["children"], 9);
}

TEST_F(RozwebTest, FailuresAnswerTheirStatusWithTheLibrarysText) {
  const unsigned int deadPort = testutil::FreePort();
  Start({"--registry", "gone=127.0.0.1:" + std::to_string(deadPort), "-w", "2"});
  // 404: node, registry, endpoint.
  Reply r = Get(Port(), "/api/value?registry=demo&path=settings.nothing");
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.Error().rfind("ireg: node not found: settings.nothing", 0), 0u) << r.Error();
  r = Get(Port(), "/api/value?registry=other&path=settings.gain");
  EXPECT_EQ(r.status, 404);
  EXPECT_NE(r.Error().find("other"), std::string::npos);
  EXPECT_EQ(Get(Port(), "/api/nothing").status, 404);
  // 400: two registries and none named; bad paths and numbers; bad bodies.
  EXPECT_EQ(Get(Port(), "/api/value?path=settings.gain").status, 400);
  EXPECT_EQ(Get(Port(), "/api/value?registry=demo&path=settings..gain").status, 400);
  EXPECT_EQ(Get(Port(), "/api/tree?registry=demo&depth=99").status, 400);
  EXPECT_EQ(Get(Port(), "/api/value?registry=demo&path=calibration.offsets&pos=x").status, 400);
  EXPECT_EQ(Request(Port(), http::verb::put, "/api/value", "{\"path\":").status, 400);
  EXPECT_EQ(Request(Port(), http::verb::put, "/api/value", "[1,2]").status, 400);
  EXPECT_EQ(Put(Port(), {{"registry", "demo"}, {"path", "settings.gain"}}).status, 400);
  r = Put(Port(), {{"registry", "demo"}, {"path", "settings.gain"}, {"value", "much"}});
  EXPECT_EQ(r.status, 400);
  EXPECT_NE(r.Error().find("settings.gain"), std::string::npos);
  EXPECT_EQ(Put(Port(), {{"registry", "demo"}, {"path", "settings.offset"}, {"value", 1e12}}).status,
            400);
  // 409: out of the domain (the allowed values listed), not writable, not
  // executable, no value.
  r = Put(Port(), {{"registry", "demo"}, {"path", "settings.mode"}, {"value", "turbo"}});
  EXPECT_EQ(r.status, 409);
  EXPECT_EQ(r.Error(), "\"turbo\" is not a value of settings.mode; allowed: normal, fast, precise, standby");
  r = Put(Port(), {{"registry", "demo"}, {"path", "identity.serial"}, {"value", "x"}});
  EXPECT_EQ(r.status, 409) << r.body;
  EXPECT_EQ(r.Error(), "node is not writable: identity.serial");
  EXPECT_EQ(Get(Port(), "/api/value?registry=demo&path=identity.serial").Json()["value"],
            "VX4410-00172");
  r = Post(Port(), "/api/exec", {{"registry", "demo"}, {"path", "settings.gain"}});
  EXPECT_EQ(r.status, 409);
  EXPECT_EQ(r.Error().rfind("ireg: node is not executable", 0), 0u) << r.Error();
  r = Get(Port(), "/api/value?registry=demo&path=signals.scope");
  EXPECT_EQ(r.status, 409);
  EXPECT_EQ(r.Error(), "ireg: node has no value: signals.scope");
  // 405: a method the endpoint does not take.
  EXPECT_EQ(Request(Port(), http::verb::delete_, "/api/value?registry=demo&path=x").status, 405);
  // 502: the registry that does not answer; the other one still does.
  r = Get(Port(), "/api/value?registry=gone&path=a");
  EXPECT_EQ(r.status, 502);
  EXPECT_NE(r.Error().find("does not answer"), std::string::npos) << r.Error();
  json registries = Get(Port(), "/api/registries").Json();
  EXPECT_EQ(registries[1]["state"], "not_connected");
  EXPECT_EQ(Get(Port(), "/api/value?registry=demo&path=settings.gain").status, 200);
}

TEST_F(RozwebTest, ReadOnlyRefusesWritesAndCommands) {
  Start({"--read-only"});
  Reply r = Put(Port(), {{"path", "settings.gain"}, {"value", 3}});
  EXPECT_EQ(r.status, 403);
  EXPECT_NE(r.Error().find("read-only"), std::string::npos);
  EXPECT_EQ(Post(Port(), "/api/exec", {{"path", "reset"}}).status, 403);
  EXPECT_EQ(Get(Port(), "/api/value?path=settings.gain").Json()["value"], 1.0);
  // Reading and watching go on.
  WsClient ws(Port());
  ws.Send({{"op", "subscribe"}, {"path", "regd.heartbeat"}});
  EXPECT_TRUE(ws.WaitFor(Op("change", "regd.heartbeat")));
}

TEST_F(RozwebTest, ReachesATlsRegistryWithItsOwnCertificate) {
  testsupport::TestPki pki;
  Regd().Options().args = {"--tls-ca", pki.Ca(), "--tls-key", pki.Key("server"), "--writers",
                           "operator-*"};
  Regd().Start();
  StartRozweb({"--registry", "demo=127.0.0.1:" + std::to_string(Regd().Port()) + "/app",
               "--web-root", WebRoot(), "--tls-ca", pki.Ca(), "--tls-key", pki.Key("reader")});
  EXPECT_EQ(Get(Port(), "/api/value?path=settings.gain").Json()["value"], 1.0);
  const Reply refused = Put(Port(), {{"path", "settings.gain"}, {"value", 3}});
  EXPECT_NE(refused.status, 200);
  EXPECT_NE(refused.Error().find("write not allowed for reader-1"), std::string::npos)
      << refused.body;
}

TEST_F(RozwebTest, MalformedAndOversizedInputIsRefusedWithoutHarm) {
  Start();
  // Oversized body and header, a bad request line: 400, then the gateway
  // serves on.
  const std::string big(2 * 1024 * 1024, 'x');
  EXPECT_EQ(Request(Port(), http::verb::put, "/api/value", big).status, 400);
  EXPECT_EQ(Request(Port(), http::verb::get, "/api/registries", "", {{"X-Big", std::string(40000, 'y')}})
                .status,
            400);
  EXPECT_EQ(Get(Port(), "/api/value?path=" + std::string(5000, 'a')).status, 400);
  {
    net::io_context io;
    tcp::socket socket(io);
    socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), Port()));
    net::write(socket, net::buffer(std::string("NONSENSE\r\n\r\n")));
    std::string answer;
    beast::error_code ec;
    std::array<char, 512> chunk;
    for (;;) {
      const size_t n = socket.read_some(net::buffer(chunk), ec);
      if (ec) break;
      answer.append(chunk.data(), n);
    }
    EXPECT_EQ(answer.rfind("HTTP/1.1 400", 0), 0u) << answer;
  }
  // WebSocket: a well-formed request with wrong fields gets an error
  // message; text that is no JSON object, or a message over the limit,
  // closes that socket only.
  WsClient ws(Port());
  ws.Send({{"op", "subscribe"}, {"path", 5}});
  auto error = ws.WaitFor(Op("error"));
  ASSERT_TRUE(error);
  EXPECT_EQ((*error)["request"], "subscribe");
  ws.Send({{"op", "explode"}, {"path", "settings.gain"}});
  EXPECT_TRUE(ws.WaitFor(Op("error")));
  ws.Send({{"op", "stream"}, {"path", "signals.scope"}, {"max_points", 1}});
  EXPECT_TRUE(ws.WaitFor(Op("error")));
  ws.SendText("{not json");
  EXPECT_TRUE(ws.WaitClosed());
  WsClient big1(Port());
  // (The server may close while the message is still being written.)
  big1.TrySendText("{\"op\":\"subscribe\",\"path\":\"" + std::string(100 * 1024, 'a') + "\"}");
  EXPECT_TRUE(big1.WaitClosed());
  // A WebSocket or a write from a page of another origin is refused.
  EXPECT_THROW(WsClient(Port(), 0, {{"Origin", "http://evil.example"}}), boost::system::system_error);
  EXPECT_EQ(Request(Port(), http::verb::post, "/api/exec", R"({"path":"reset"})",
                    {{"Origin", "http://evil.example"}})
                .status,
            403);
  EXPECT_EQ(Get(Port(), "/api/value?path=settings.gain").status, 200);
  EXPECT_TRUE(Rozweb().Running());
}

TEST_F(RozwebTest, StaticFilesOnlyFromBelowTheWebRoot) {
  Start();
  Reply r = Get(Port(), "/");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "<html>console</html>");
  EXPECT_EQ(r.contentType, "text/html; charset=utf-8");
  EXPECT_EQ(Get(Port(), "/index.html").body, "<html>console</html>");
  for (const char* bad : {"/../secret.txt", "/%2e%2e/secret.txt", "/link.txt", "/nothing.js",
                          "/.%2f..%2fsecret.txt", "/a/../../secret.txt"}) {
    r = Get(Port(), bad);
    EXPECT_EQ(r.status, 404) << bad;
    EXPECT_EQ(r.body.find("secret"), std::string::npos) << bad;
  }
  EXPECT_EQ(Request(Port(), http::verb::post, "/index.html", "{}").status, 405);
}

TEST_F(RozwebTest, SubscriptionsAreSharedAndEndWithTheirLastSocket) {
  Start();
  ASSERT_EQ(Counter("subscriptions"), 0u);
  // Ten sockets on one node: one library subscription, every socket gets
  // the changes.
  std::vector<std::unique_ptr<WsClient>> sockets;
  for (int i = 0; i < 10; ++i) {
    sockets.push_back(std::make_unique<WsClient>(Port()));
    auto state = sockets.back()->WaitFor(Op("state"));
    ASSERT_TRUE(state);
    EXPECT_EQ((*state)["state"], "connected");
    sockets.back()->Send({{"op", "subscribe"}, {"registry", "demo"}, {"path", "regd.heartbeat"}});
    ASSERT_TRUE(sockets.back()->WaitFor(Op("subscribed", "regd.heartbeat")));
  }
  EXPECT_EQ(Counter("subscriptions"), 1u);
  for (auto& socket : sockets) {
    const auto change = socket->WaitFor(Op("change", "regd.heartbeat"));
    ASSERT_TRUE(change);
    EXPECT_EQ((*change)["registry"], "demo");
    EXPECT_TRUE((*change)["time"].is_number());
    EXPECT_TRUE((*change)["pos"].is_number());
    EXPECT_TRUE((*change)["value"].is_array() || (*change)["value"].is_number());
  }
  // A write through REST reaches a watcher of that node.
  sockets[0]->Send({{"op", "subscribe"}, {"path", "settings.label"}});
  ASSERT_TRUE(sockets[0]->WaitFor(Op("subscribed", "settings.label")));
  ASSERT_EQ(Put(Port(), {{"path", "settings.label"}, {"value", "<b>bench</b>"}}).status, 200);
  const auto label = sockets[0]->WaitFor([](const json& m) {
    return Op("change", "settings.label")(m) && m["value"] == "<b>bench</b>";
  });
  EXPECT_TRUE(label);
  EXPECT_EQ(Counter("subscriptions"), 2u);
  // Unsubscribing nine leaves the subscription; the tenth ends it; a
  // closed socket ends its own.
  for (int i = 1; i < 10; ++i) {
    sockets[i]->Send({{"op", "unsubscribe"}, {"path", "regd.heartbeat"}});
    ASSERT_TRUE(sockets[i]->WaitFor(Op("unsubscribed")));
  }
  EXPECT_EQ(Counter("subscriptions"), 2u);
  sockets[0]->Send({{"op", "unsubscribe"}, {"path", "regd.heartbeat"}});
  ASSERT_TRUE(sockets[0]->WaitFor(Op("unsubscribed")));
  EXPECT_EQ(Counter("subscriptions"), 1u);
  sockets.clear();
  EXPECT_TRUE(testutil::WaitUntil([&] { return Counter("subscriptions") == 0; }, 20));
  // A refused subscription is an error message, not an entry.
  WsClient ws(Port());
  ws.Send({{"op", "subscribe"}, {"path", "settings.nothing"}});
  const auto error = ws.WaitFor(Op("error"));
  ASSERT_TRUE(error);
  EXPECT_EQ((*error)["error"].get<std::string>().rfind("ireg: node not found: settings.nothing", 0), 0u);
}

TEST_F(RozwebTest, SlowReaderGetsTheLatestValueAndDelaysNoOne) {
  Start();
  // The slow socket reads nothing while 20000 changes are emitted; a fast
  // one reads all the time.
  WsClient slow(Port(), 4096);
  WsClient fast(Port());
  for (WsClient* ws : {&slow, &fast}) {
    ws->Send({{"op", "subscribe"}, {"path", "regd.stress.counter"}});
  }
  ASSERT_TRUE(fast.WaitFor(Op("subscribed")));
  ASSERT_TRUE(Put(Port(), {{"path", "regd.stress.emit"}, {"value", 20000}}).status == 200);
  // The fast socket sees the last change while the slow one still sleeps.
  const auto last = fast.WaitFor([](const json& m) {
    return Op("change")(m) && m["value"].dump().find("20000") != std::string::npos;
  }, 60);
  ASSERT_TRUE(last) << "the fast reader did not get the last change";
  // Now the slow one reads: fewer messages than changes, ending with the
  // latest value.
  size_t changes = 0;
  json latest;
  ASSERT_TRUE(slow.WaitFor([&](const json& m) {
    if (!Op("change")(m)) return false;
    ++changes;
    latest = m["value"];
    return latest.dump().find("20000") != std::string::npos;
  }, 60));
  EXPECT_LT(changes, 20000u);
  EXPECT_EQ(Counter("stress.emitted"), 20000u);
}

TEST_F(RozwebTest, ManySocketsComeAndGoWhileChangesFlow) {
  Start();
  WsClient watcher(Port());
  watcher.Send({{"op", "subscribe"}, {"path", "regd.heartbeat"}});
  ASSERT_TRUE(watcher.WaitFor(Op("subscribed")));
  // 200 sockets in waves of 20: each subscribes two nodes, some read a
  // change, and all go (half of them closing without a word).
  for (int wave = 0; wave < 10; ++wave) {
    std::vector<std::unique_ptr<WsClient>> sockets;
    for (int i = 0; i < 20; ++i) {
      sockets.push_back(std::make_unique<WsClient>(Port()));
      sockets.back()->Send({{"op", "subscribe"}, {"path", "regd.heartbeat"}});
      sockets.back()->Send({{"op", "subscribe"}, {"path", "measurement.temperature"}});
    }
    for (size_t i = 0; i < sockets.size(); i += 5) {
      EXPECT_TRUE(sockets[i]->WaitFor(Op("change", "regd.heartbeat"))) << "wave " << wave;
    }
    for (size_t i = 0; i < sockets.size(); i += 2) {
      sockets[i]->Send({{"op", "unsubscribe"}, {"path", "regd.heartbeat"}});
    }
  }
  // The first watcher still gets changes, and once the churn has settled
  // only its subscription is left.
  EXPECT_TRUE(watcher.WaitFor(Op("change", "regd.heartbeat")));
  EXPECT_TRUE(testutil::WaitUntil([&] { return Counter("subscriptions") == 1; }, 30));
  EXPECT_TRUE(Rozweb().Running());
  EXPECT_EQ(Rozweb().Stop(), 0);
}

TEST_F(RozwebTest, StreamsAreDecimatedKeepingPeaks) {
  Start();
  // Two sockets on one stream: one takes whole blocks (64 atoms), the other
  // at most 8 points per component.
  WsClient whole(Port());
  WsClient thin(Port());
  whole.Send({{"op", "stream"}, {"path", "signals.scope"}, {"max_points", 1000}});
  ASSERT_TRUE(whole.WaitFor(Op("streaming")));
  thin.Send({{"op", "stream"}, {"path", "signals.scope"}, {"max_points", 8}});
  ASSERT_TRUE(thin.WaitFor(Op("streaming")));
  std::map<unsigned long long, json> full;
  for (int i = 0; i < 10; ++i) {
    const auto block = whole.WaitFor(Op("block", "signals.scope"));
    ASSERT_TRUE(block);
    EXPECT_EQ((*block)["components"], json({"x", "y"}));
    ASSERT_GT((*block)["atoms"].get<size_t>(), 8u);
    EXPECT_EQ((*block)["data"][0].size(), (*block)["atoms"].get<size_t>());
    full[(*block)["seq"].get<unsigned long long>()] = (*block)["data"];
  }
  // A thin block of the same sequence number has the same extremes.
  size_t compared = 0;
  for (int i = 0; i < 10 && compared < 3; ++i) {
    const auto block = thin.WaitFor(Op("block", "signals.scope"));
    ASSERT_TRUE(block);
    const json& data = (*block)["data"];
    ASSERT_EQ(data.size(), 2u);
    for (const json& component : data) EXPECT_LE(component.size(), 8u);
    const auto same = full.find((*block)["seq"].get<unsigned long long>());
    if (same == full.end()) continue;
    for (size_t c = 0; c < 2; ++c) {
      std::vector<double> a = same->second[c], b = data[c];
      EXPECT_EQ(*std::max_element(a.begin(), a.end()), *std::max_element(b.begin(), b.end()));
      EXPECT_EQ(*std::min_element(a.begin(), a.end()), *std::min_element(b.begin(), b.end()));
    }
    ++compared;
  }
  EXPECT_GT(compared, 0u);
  // One stream reader at the registry for both sockets.
  EXPECT_EQ(Counter("receivers"), 1u);
  // A data-on-demand signal is read in ranges over REST, decimated the
  // same way; a push stream is refused there.
  const json range = Get(Port(), "/api/signal?path=signals.history&pos=100&count=500").Json();
  ASSERT_EQ(range["atoms"], 500) << range.dump();
  EXPECT_EQ(range["pos"], 100);
  EXPECT_EQ(range["components"], json({"temperature"}));
  const std::vector<double> all = range["data"][0];
  ASSERT_EQ(all.size(), 500u);
  const json thinRange =
      Get(Port(), "/api/signal?path=signals.history&pos=100&count=500&max_points=20").Json();
  const std::vector<double> few = thinRange["data"][0];
  EXPECT_LE(few.size(), 20u);
  EXPECT_EQ(*std::max_element(all.begin(), all.end()), *std::max_element(few.begin(), few.end()));
  EXPECT_EQ(*std::min_element(all.begin(), all.end()), *std::min_element(few.begin(), few.end()));
  EXPECT_EQ(Get(Port(), "/api/signal?path=signals.scope").status, 409);
  EXPECT_EQ(Get(Port(), "/api/signal?path=settings.gain").status, 409);
  EXPECT_EQ(Get(Port(), "/api/signal?path=signals.history&count=2000000").status, 400);
  // Not a push stream: refused.
  thin.Send({{"op", "stream"}, {"path", "signals.history"}});
  EXPECT_TRUE(thin.WaitFor(Op("error", "signals.history")));
  // Stopping: the reader ends with its last socket.
  whole.Send({{"op", "stop_stream"}, {"path", "signals.scope"}});
  ASSERT_TRUE(whole.WaitFor(Op("stream_stopped")));
  EXPECT_EQ(Counter("receivers"), 1u);
  thin.Send({{"op", "stop_stream"}, {"path", "signals.scope"}});
  ASSERT_TRUE(thin.WaitFor(Op("stream_stopped")));
  EXPECT_TRUE(testutil::WaitUntil([&] { return Counter("receivers") == 0; }, 20));
}

TEST_F(RozwebTest, RestartedRegistryIsReportedAndEverythingRestored) {
  Start();
  WsClient ws(Port());
  ws.Send({{"op", "subscribe"}, {"path", "regd.heartbeat"}});
  ws.Send({{"op", "stream"}, {"path", "signals.scope"}, {"max_points", 16}});
  ASSERT_TRUE(ws.WaitFor(Op("change", "regd.heartbeat")));
  ASSERT_TRUE(ws.WaitFor(Op("block", "signals.scope")));

  const unsigned int port = Regd().Port();
  Regd().Kill();
  const auto lost = ws.WaitFor([](const json& m) { return Op("state")(m) && m["state"] == "not_connected"; }, 60);
  ASSERT_TRUE(lost);
  EXPECT_EQ((*lost)["registry"], "demo");
  EXPECT_EQ(Get(Port(), "/api/registries").Json()[0]["state"], "not_connected");
  EXPECT_EQ(Get(Port(), "/api/value?path=settings.gain").status, 502);

  // A new server on the same port (once the old one's port is free).
  Regd().Options().port = port;
  ASSERT_TRUE(testutil::WaitUntil([&] {
    try {
      Regd().Start();
      return true;
    } catch (const std::runtime_error&) {
      return false;
    }
  }, 30));
  const auto back = ws.WaitFor([](const json& m) { return Op("state")(m) && m["state"] == "connected"; }, 60);
  ASSERT_TRUE(back);
  // The subscription and the stream come back without a word from the
  // browser, at the new server.
  EXPECT_TRUE(ws.WaitFor(Op("change", "regd.heartbeat"), 60));
  EXPECT_TRUE(ws.WaitFor(Op("block", "signals.scope"), 60));
  EXPECT_EQ(Counter("subscriptions"), 1u);
  EXPECT_EQ(Counter("receivers"), 1u);
  EXPECT_EQ(Get(Port(), "/api/value?path=settings.gain").status, 200);
}

TEST_F(RozwebTest, RunsAsADaemonAndRefusesBadOptions) {
  StartRegd();
  const std::string registry = "demo=127.0.0.1:" + std::to_string(Regd().Port());
  // Bad options: status 2 with a message, nothing started.
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"--registry", "nohost"},
        std::vector<std::string>{"--registry", registry, "--listen", "127.0.0.1:99999"},
        std::vector<std::string>{"--registry", registry, "--registry", registry},
        std::vector<std::string>{"--registry", registry, "--daemon"},
        std::vector<std::string>{}}) {
    EXPECT_THROW(RozwebProcess process(bad), std::runtime_error);
  }
  // Daemon: the starting process ends at once, the daemon writes its PID
  // and port files, serves, and removes the PID file after SIGTERM.
  testutil::TempDir dir;
  const std::string pidFile = dir.File("rozweb.pid");
  const std::string portFile = dir.File("rozweb.port");
  const pid_t starter = ::fork();
  if (starter == 0) {
    ::execl(ROZWEB_BINARY, ROZWEB_BINARY, "--registry", registry.c_str(), "--listen",
            "127.0.0.1:0", "--port-file", portFile.c_str(), "--daemon", "--pid-file",
            pidFile.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(starter, &status, 0), starter);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_TRUE(testutil::WaitUntil([&] {
    return !testutil::ReadFile(portFile).empty() && !testutil::ReadFile(pidFile).empty();
  }, 30));
  const pid_t daemon = std::stoi(testutil::ReadFile(pidFile));
  const auto port = static_cast<unsigned short>(std::stoi(testutil::ReadFile(portFile)));
  EXPECT_EQ(Get(port, "/api/value?path=settings.gain").Json()["value"], 1.0);
  ASSERT_EQ(::kill(daemon, SIGTERM), 0);
  EXPECT_TRUE(testutil::WaitUntil([&] { return ::access(pidFile.c_str(), F_OK) != 0; }, 30));
  EXPECT_TRUE(testutil::WaitUntil([&] { return ::kill(daemon, 0) != 0; }, 30));
}

}  // namespace
