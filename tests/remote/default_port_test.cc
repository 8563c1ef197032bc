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

static_assert(roz::DefaultPort(roz::ePlatform) == 5678 && roz::DefaultPort(roz::eApp) == 5679,
              "the documented default ports");

// The host key of the local host on `port`.
std::string LocalHostKey(unsigned int port) { return "host-127-0-0-1:" + std::to_string(port); }

TEST_F(DefaultPortTest, PortZeroConnectsToTheDefaultPortOfTheRoot) {
  InClient([&] {
    RegdProcess platformServer;
    const unsigned int platformPort = roz::DefaultPort(roz::ePlatform);
    const unsigned int appPort = roz::DefaultPort(roz::eApp);
    platformServer.Options().port = platformPort;
    platformServer.Start();
    RegdProcess appServer;
    appServer.Options().port = appPort;
    appServer.Start();
    roz::Init();

    const roz::Node platform = roz::Connect("", roz::ePlatform, 0, false);
    ASSERT_TRUE(platform.IsValid());
    EXPECT_EQ(platform.GetName(), "platform");
    EXPECT_EQ(platform.GetFullPath(false),
              (roz::Path{"cache", LocalHostKey(platformPort), "platform"}));

    // The same key however it is spelt; one connection only.
    EXPECT_TRUE(roz::Connect(roz::ePlatform, 0) == platform);
    const int port = static_cast<int>(platformPort);
    EXPECT_TRUE(roz::Connect("127.0.0.1", roz::ePlatform, port, false) == platform);
    EXPECT_TRUE(roz::GetNode(roz::ePlatform, port) == platform);
    EXPECT_EQ(Counter(platform, "get_remote_node_calls"), 1u);

    const roz::Node app = roz::Connect(roz::eApp, 0);
    ASSERT_TRUE(app.IsValid());
    EXPECT_EQ(app.GetFullPath(false), (roz::Path{"cache", LocalHostKey(appPort), "app"}));
    EXPECT_EQ(Counter(app, "get_remote_node_calls"), 1u);
    EXPECT_EQ(Counter(platform, "get_remote_node_calls"), 1u) << "another server";

    roz::Disconnect(roz::eApp, 0);
    EXPECT_FALSE(app.IsValid());
    EXPECT_TRUE(platform.IsValid());
    roz::Shutdown();
  });
}

}  // namespace
