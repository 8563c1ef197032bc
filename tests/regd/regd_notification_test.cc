// regd's notifications: subscriptions per client, Emit after every change
// (writes, commands, the server's own updates), and sinks that are slow or
// gone.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>

#include "regd/regd_client.h"

namespace {

using regdtest::Client;
using regdtest::Counter;
using regdtest::Names;
using regdtest::Raised;
using regdtest::Read;
using regdtest::Write;
using Path = std::vector<std::string>;

class RegdNotificationTest : public testsupport::RegdTest {
 protected:
  void SetUp() override {
    RegdTest::SetUp();
    StartRegd();
    app = Application();
  }
  i_NET::Application_var app;
};

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

TEST_F(RegdNotificationTest, SubscriberGetsAnEmitForEveryWriteUntilItUnsubscribes) {
  Client a(app);
  Client b(app);
  EXPECT_TRUE(a.root->Subscribe(Names("settings.gain")));
  EXPECT_TRUE(a.root->Subscribe(Names("calibration.offsets")));
  EXPECT_FALSE(a.root->Subscribe(Names("settings.nothing")));

  // A write by another client reaches the subscriber: path from the root,
  // type 0, the new scalar, position 0.
  Write(b.root, "settings.gain", std::vector<double>{3.5});
  ASSERT_TRUE(a.sink->WaitFor(1));
  testsupport::NotificationSink::Record r = a.sink->Records()[0];
  EXPECT_EQ(r.path, (Path{"settings", "gain"}));
  EXPECT_EQ(r.type, 0);
  EXPECT_EQ(r.pos, 0u);
  ASSERT_TRUE(r.hasData);
  EXPECT_EQ(r.data.Get<double>(), 3.5);

  // An array write: the written elements and their position.
  Write(a.root, "calibration.offsets", std::vector<int32_t>{8, 9}, 1);
  ASSERT_TRUE(a.sink->WaitFor(2));
  r = a.sink->Records()[1];
  EXPECT_EQ(r.path, (Path{"calibration", "offsets"}));
  EXPECT_EQ(r.pos, 1u);
  EXPECT_EQ(r.data.Get<std::vector<int32_t>>(), (std::vector<int32_t>{8, 9}));

  // After Unsubscribe nothing more of gain; offsets, still subscribed, is
  // the marker that the later write was handled.
  EXPECT_TRUE(a.root->Unsubscribe(Names("settings.gain")));
  EXPECT_FALSE(a.root->Unsubscribe(Names("settings.gain")));
  Write(b.root, "settings.gain", std::vector<double>{4.5});
  Write(b.root, "calibration.offsets", std::vector<int32_t>{1});
  ASSERT_TRUE(a.sink->WaitFor(3));
  Pause(100);
  ASSERT_EQ(a.sink->Count(), 3u);
  EXPECT_EQ(a.sink->Records()[2].path, (Path{"calibration", "offsets"}));

  // StopNotifications ends them all.
  a.root->StopNotifications();
  EXPECT_EQ(Counter(a.root, "subscriptions"), 0u);
  EXPECT_TRUE(b.root->Subscribe(Names("calibration.offsets")));
  Write(b.root, "calibration.offsets", std::vector<int32_t>{2});
  ASSERT_TRUE(b.sink->WaitFor(1));
  Pause(100);
  EXPECT_EQ(a.sink->Count(), 3u);
  EXPECT_EQ(b.sink->Count(), 1u) << "a client's own writes reach it when it subscribed";
}

TEST_F(RegdNotificationTest, ResetCommandRestoresDefaultsAndEmitsTheChanges) {
  Client c(app);
  for (const char* path :
       {"settings.gain", "settings.label", "settings.offset", "calibration.weights"}) {
    EXPECT_TRUE(c.root->Subscribe(Names(path)));
  }
  Write(c.root, "settings.gain", std::vector<double>{9.0});
  Write(c.root, "calibration.weights", std::vector<float>{1.0f, 2.0f, 3.0f, 4.0f});
  ASSERT_TRUE(c.sink->WaitFor(2));

  // Execute: the LongLong 238 at position 0.
  Write(c.root, "reset", std::vector<int64_t>{238});
  ASSERT_TRUE(c.sink->WaitFor(4));
  Pause(100);
  const auto records = c.sink->Records();
  ASSERT_EQ(records.size(), 4u) << "offset and label did not change, so they are not emitted";
  EXPECT_EQ(records[2].path, (Path{"settings", "gain"}));
  EXPECT_EQ(records[2].data.Get<double>(), 1.0);
  EXPECT_EQ(records[3].path, (Path{"calibration", "weights"}));
  EXPECT_EQ(records[3].data.Get<std::vector<float>>(), (std::vector<float>{0.5f, 1.5f, 2.5f}));
  EXPECT_EQ(Read(c.root, "calibration.weights", CORBA::_tc_float).Get<std::vector<float>>().size(),
            3u);
}

TEST_F(RegdNotificationTest, SlowClientDoesNotHoldUpTheOthers) {
  Client slow(app);
  Client quick(app);
  ASSERT_TRUE(slow.root->Subscribe(Names("settings.gain")));
  ASSERT_TRUE(quick.root->Subscribe(Names("settings.gain")));
  slow.sink->Hold();
  Write(quick.root, "settings.gain", std::vector<double>{2.0});
  ASSERT_TRUE(slow.sink->WaitForHeldEmit()) << "regd is inside the slow client's Emit";
  ASSERT_TRUE(quick.sink->WaitFor(1));
  // Calls into regd go on meanwhile.
  EXPECT_EQ(Read(quick.root, "settings.gain", CORBA::_tc_double).Get<double>(), 2.0);
  Write(quick.root, "settings.gain", std::vector<double>{3.0});
  ASSERT_TRUE(quick.sink->WaitFor(2));
  EXPECT_EQ(slow.sink->Count(), 0u);
  slow.sink->Release();
  ASSERT_TRUE(slow.sink->WaitFor(2)) << "the slow client gets its notifications in order later";
  EXPECT_EQ(slow.sink->Records()[1].data.Get<double>(), 3.0);
}

TEST_F(RegdNotificationTest, FailedSinkIsDroppedWithoutDisturbingTheOthers) {
  Client gone(app);
  Client alive(app);
  ASSERT_TRUE(gone.root->Subscribe(Names("settings.offset")));
  ASSERT_TRUE(alive.root->Subscribe(Names("settings.offset")));
  gone.sink.Deactivate();  // its process "died": Emit raises OBJECT_NOT_EXIST
  Write(alive.root, "settings.offset", std::vector<int32_t>{1});
  ASSERT_TRUE(alive.sink->WaitFor(1));
  ASSERT_TRUE(testsupport::WaitUntil([&] { return Counter(alive.root, "sinks_dropped") == 1; }));
  EXPECT_EQ(Counter(alive.root, "clients"), 1u);
  EXPECT_EQ(Counter(alive.root, "subscriptions"), 1u);
  EXPECT_EQ(Raised([&] { gone.root->GetFlags(Names("")); }).substr(0, 24),
            "CORBA::OBJECT_NOT_EXIST#")
      << "the dropped client's node went with it";
  Write(alive.root, "settings.offset", std::vector<int32_t>{2});
  ASSERT_TRUE(alive.sink->WaitFor(2));
  EXPECT_EQ(alive.sink->Records()[1].data.Get<int32_t>(), 2);
  // Counted once the Emit call has returned to regd.
  EXPECT_TRUE(
      testsupport::WaitUntil([&] { return Counter(alive.root, "notifications_sent") == 2; }));
}

TEST_F(RegdNotificationTest, ReleasedClientGetsNoMoreNotifications) {
  Client released(app);
  Client marker(app);
  ASSERT_TRUE(released.root->Subscribe(Names("settings.gain")));
  ASSERT_TRUE(marker.root->Subscribe(Names("settings.gain")));
  released.Release();
  Write(marker.root, "settings.gain", std::vector<double>{5.0});
  ASSERT_TRUE(marker.sink->WaitFor(1));
  Pause(100);
  EXPECT_EQ(released.sink->Count(), 0u);
  EXPECT_EQ(Counter(marker.root, "subscriptions"), 1u);
}

TEST_F(RegdNotificationTest, StressHookEmitsNNotificationsInOrder) {
  Client c(app);
  ASSERT_TRUE(c.root->Subscribe(Names("regd.stress.counter")));
  Write(c.root, "regd.stress.emit", std::vector<uint64_t>{500});
  ASSERT_TRUE(c.sink->WaitFor(500, 30.0));
  const auto records = c.sink->Records();
  for (size_t i = 0; i < records.size(); ++i) {
    ASSERT_EQ(records[i].data.Get<uint64_t>(), i + 1) << "at " << i;
  }
  EXPECT_TRUE(testsupport::WaitUntil([&] { return Counter(c.root, "stress.emitted") == 500; }));
  EXPECT_EQ(Counter(c.root, "stress.emit"), 0u) << "nothing pending";

  // Another target: its current value, as often as asked.
  ASSERT_TRUE(c.root->Subscribe(Names("settings.label")));
  Write(c.root, "regd.stress.target", std::vector<std::string>{"settings.label"});
  Write(c.root, "regd.stress.emit", std::vector<uint64_t>{3});
  ASSERT_TRUE(c.sink->WaitFor(503));
  EXPECT_EQ(c.sink->Records()[502].data.Get<std::string>(), "bench 3");

  // One write asks for at most 2^24 emissions, however many it names
  // (several writes neither add up beyond that nor wrap around).
  ASSERT_TRUE(c.root->Unsubscribe(Names("settings.label")));
  Write(c.root, "regd.stress.emit", std::vector<uint64_t>{UINT64_MAX});
  Write(c.root, "regd.stress.emit", std::vector<uint64_t>{UINT64_MAX});
  EXPECT_LE(Counter(c.root, "stress.emit"), uint64_t{1} << 24);
}

TEST_F(RegdNotificationTest, ServerUpdatesReachSubscribers) {
  Client c(app);
  ASSERT_TRUE(c.root->Subscribe(Names("regd.heartbeat")));
  Write(c.root, "regd.heartbeat_ms", std::vector<uint32_t>{20});
  ASSERT_TRUE(c.sink->WaitFor(3));
  const auto records = c.sink->Records();
  EXPECT_LT(records[0].data.Get<uint64_t>(), records[2].data.Get<uint64_t>());
  Write(c.root, "regd.heartbeat_ms", std::vector<uint32_t>{0});
  Pause(60);  // a tick may be on its way
  const size_t paused = c.sink->Count();
  Pause(200);
  EXPECT_EQ(c.sink->Count(), paused) << "period 0 pauses the heartbeat";

  // The demo tree's simulated measurement.
  ASSERT_TRUE(c.root->Subscribe(Names("measurement.temperature")));
  ASSERT_TRUE(c.sink->WaitFor(paused + 1));
  const auto last = c.sink->Records().back();
  EXPECT_EQ(last.path, (Path{"measurement", "temperature"}));
  EXPECT_NEAR(last.data.Get<double>(), 21.5, 0.41);
}

}  // namespace
