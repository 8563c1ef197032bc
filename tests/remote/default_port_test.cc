// Connections on the default ports: port 0 means 5678 for the platform
// registry and 5679 for the application registry. The servers here listen
// on those fixed ports, so these tests run one at a time (a CTest resource
// lock) although the whole suite shares one network namespace.
#include <gtest/gtest.h>

#include "client/roz.h"
#include "remote/remote_fixture.h"

namespace {

using remotetest::RegdProcess;
using remotetest::RemoteTest;

class DefaultPortTest : public RemoteTest {};

TEST_F(DefaultPortTest, PortZeroConnectsToTheDefaultPortOfTheRoot) {
  InClient([&] {
    RegdProcess platformServer;
    platformServer.Options().port = 5678;
    platformServer.Start();
    RegdProcess appServer;
    appServer.Options().port = 5679;
    appServer.Start();
    roz::Init();

    const roz::Node platform = roz::Connect("", roz::ePlatform, 0, false);
    ASSERT_TRUE(platform.IsValid());
    EXPECT_EQ(platform.GetName(), "platform");
    EXPECT_EQ(platform.GetFullPath(false), (roz::Path{"cache", "host-127-0-0-1:5678", "platform"}));

    // The same key however it is spelt; one connection only.
    EXPECT_TRUE(roz::Connect(roz::ePlatform, 0) == platform);
    EXPECT_TRUE(roz::Connect("127.0.0.1", roz::ePlatform, 5678, false) == platform);
    EXPECT_TRUE(roz::GetNode(roz::ePlatform, 5678) == platform);
    EXPECT_EQ(Counter(platform, "get_remote_node_calls"), 1u);

    const roz::Node app = roz::Connect(roz::eApp, 0);
    ASSERT_TRUE(app.IsValid());
    EXPECT_EQ(app.GetFullPath(false), (roz::Path{"cache", "host-127-0-0-1:5679", "app"}));
    EXPECT_EQ(Counter(app, "get_remote_node_calls"), 1u);
    EXPECT_EQ(Counter(platform, "get_remote_node_calls"), 1u) << "another server";

    roz::Disconnect(roz::eApp, 0);
    EXPECT_FALSE(app.IsValid());
    EXPECT_TRUE(platform.IsValid());
    roz::Shutdown();
  });
}

}  // namespace
