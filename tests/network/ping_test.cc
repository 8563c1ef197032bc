// The ping service between two processes: this test's child and the helper
// program network_test_peer, inside the loopback-only namespace.
#include <gtest/gtest.h>

#include <algorithm>

#include "istd/trace_fixture.h"
#include "network/inet.h"
#include "network/orb_test_util.h"

namespace {

using orbtest::Put;

i_NET::Pingable_ptr Narrow(const std::string& reference) {
  CORBA::Object_var obj = inet::OM()->StringToObject(reference);
  return i_NET::Pingable::_narrow(obj);
}

TEST(PingTest, PingAnswersAcrossProcesses) {
  orbtest::Report r = orbtest::RunOrbChild([] {
    inet::OrbManager::Init(0, nullptr, 0, inet::OrbManager::c_defaultMaxMsgSize);
    orbtest::PeerProcess peer({"serve", "0"});
    const std::string port = peer.ReadValue("port");
    i_NET::Pingable_var target = Narrow(peer.ReadValue("ior"));
    Put("narrowed", !CORBA::is_nil(target));
    target->Ping();
    Put("ping", "ok");
    i_NET::Pingable_var keyed = Narrow("corbaloc:iiop:127.0.0.1:" + port + "/ping-peer");
    keyed->Ping();
    Put("pingByKey", "ok");
    Put("peerExit", peer.Stop());
  });
  EXPECT_EQ(r["error"], "");
  EXPECT_EQ(r["narrowed"], "1");
  EXPECT_EQ(r["ping"], "ok");
  EXPECT_EQ(r["pingByKey"], "ok");
  EXPECT_EQ(r["peerExit"], "0") << "the peer shuts its ORB down cleanly";
  EXPECT_EQ(r["exit"], "0");
}

class PingMeTest : public TraceFixture {};

TEST_F(PingMeTest, CallsBackALiveCallerAndFailsForAnExitedOne) {
  orbtest::Report r = orbtest::RunOrbChild([this] {
    StartTrace(istd::eLow);
    inet::OrbManager::Init(0, nullptr, 0, inet::OrbManager::c_defaultMaxMsgSize);
    i_NET::Pingable_var self = inet::OM()->GetPingable();
    orbtest::PeerProcess peer({"serve", "0"});
    i_NET::Pingable_var callback = Narrow(peer.ReadValue("ior"));
    Put("alive", self->PingMe(callback, "alive-cookie"));
    // The other direction: the peer's servant calls this process back.
    Put("reverse", callback->PingMe(self, "reverse-cookie"));
    Put("peerExit", peer.Stop());
    Put("gone", self->PingMe(callback, "gone-cookie"));
    Put("nil", self->PingMe(i_NET::Pingable::_nil(), "nil-cookie"));
  });
  EXPECT_EQ(r["error"], "");
  EXPECT_EQ(r["exit"], "0");
  EXPECT_EQ(r["alive"], "1");
  EXPECT_EQ(r["reverse"], "1");
  EXPECT_EQ(r["peerExit"], "0");
  EXPECT_EQ(r["gone"], "0");
  EXPECT_EQ(r["nil"], "0");

  const std::vector<std::string> messages = TraceMessages();
  auto has = [&](const std::string& m) {
    return std::find(messages.begin(), messages.end(), m) != messages.end();
  };
  EXPECT_TRUE(has("Test callback with cookie: alive-cookie"));
  EXPECT_TRUE(has("Test callback with cookie: gone-cookie"));
  // The peer's connection may still be open on this side when the call
  // goes out (the close not seen yet): then the call fails waiting for the
  // reply instead of at connecting.
  EXPECT_TRUE(has("Ping failed for gone-cookie : CORBA::TRANSIENT#TRANSIENT_ConnectFailed") ||
              has("Ping failed for gone-cookie : CORBA::COMM_FAILURE#COMM_FAILURE_WaitingForReply"))
      << TraceText();
  EXPECT_TRUE(has("Ping failed for nil-cookie"));
  for (const std::string& m : messages) {
    EXPECT_EQ(m.rfind("Ping failed for alive-cookie", 0), std::string::npos) << m;
  }
}

}  // namespace
