// rozctl against a real regd (the demo tree): every subcommand's output and
// exit status, the messages of bad input (unknown node, wrong type, a value
// outside an enumeration's domain, an unreachable registry, usage errors),
// monitor's count, time-out, interrupt and recovery after a server restart,
// and stream's summaries and CSV for a push and a data-on-demand signal and
// its recovery after a server restart.
#include <gtest/gtest.h>
#include <signal.h>

#include <nlohmann/json.hpp>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "network/orb_manager.h"
#include "rozctl/rozctl_process.h"
#include "support/regd_process.h"

namespace {

using rozctltest::Result;
using rozctltest::RozctlProcess;
using testsupport::RegdProcess;
using testutil::WaitUntil;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The library's message for the unknown node device.x (with the server's
// reason).
const std::string c_notFound = "ireg: node not found: device.x (node not found: device.x)";

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class RozctlTest : public ::testing::Test {
 protected:
  void SetUp() override { m_regd.Start(); }

  // rozctl with `args` against the test's regd.
  Result Rozctl(std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", std::to_string(m_regd.Port())});
    return rozctltest::Run(args);
  }
  std::vector<std::string> Args(std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", std::to_string(m_regd.Port())});
    return args;
  }

  // The number regd's diagnostic node regd.<name> holds now.
  std::string Counter(const std::string& name) {
    const Result r = Rozctl({"get", "-t", "regd." + name});
    return r.exitCode == 0 ? Lines(r.out).at(0) : "(" + r.err + ")";
  }

  RegdProcess m_regd;
};

// A line of stderr never shows what the user cannot act on.
void ExpectNoInternals(const Result& r) {
  EXPECT_FALSE(Contains(r.err, "CORBA")) << r.err;
  EXPECT_FALSE(Contains(r.err, "omniORB")) << r.err;
  EXPECT_FALSE(Contains(r.err, "terminate")) << r.err;
}

TEST_F(RozctlTest, GetPrintsOneLinePerNodeInTheOrderGiven) {
  Result r = Rozctl({"get", "settings.gain", "settings.threshold", "settings.offset",
                     "settings.sample_rate", "settings.timeout_ns", "settings.capacity",
                     "settings.label", "settings.mode", "settings.enabled", "calibration.offsets",
                     "calibration.channel_names", "identity.channels"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out,
            "settings.gain 1\n"
            "settings.threshold 0.25\n"
            "settings.offset -12\n"
            "settings.sample_rate 48000\n"
            "settings.timeout_ns 5000000000\n"
            "settings.capacity 17179869184\n"
            "settings.label bench 3\n"
            "settings.mode normal\n"
            "settings.enabled true\n"
            "calibration.offsets [-3,0,7,2]\n"
            "calibration.channel_names [ch1,ch2,ch3,ch4]\n"
            "identity.channels 4\n");
  EXPECT_EQ(r.err, "");

  r = Rozctl({"get", "-t", "calibration.weights", "settings.mode"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "[0.5,1.5,2.5]\nnormal\n");

  // Part of an array: two elements from position 1.
  r = Rozctl({"get", "-#", "2", "--pos", "1", "calibration.offsets"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "calibration.offsets [0,7]\n");
}

TEST_F(RozctlTest, GetJsonIsMachineReadable) {
  const Result r = Rozctl({"get", "--json", "settings.gain", "calibration.channel_enabled",
                           "settings.mode", "device.x"});
  EXPECT_EQ(r.exitCode, 1);
  const nlohmann::json json = nlohmann::json::parse(r.out);
  ASSERT_EQ(json.size(), 4u) << r.out;
  EXPECT_EQ(json[0]["path"], "settings.gain");
  EXPECT_EQ(json[0]["type"], "Double");
  EXPECT_EQ(json[0]["value"], 1.0);
  EXPECT_EQ(json[1]["value"], nlohmann::json::array({true, true, false, true}));
  EXPECT_EQ(json[2]["type"], "Enumeration");
  EXPECT_EQ(json[2]["value"], "normal");
  EXPECT_EQ(json[3]["error"], c_notFound);
  EXPECT_FALSE(json[3].contains("value"));
}

TEST_F(RozctlTest, UnknownNodeGivesTheLibraryMessageAndStatusOne) {
  // The other paths are still read.
  Result r = Rozctl({"get", "settings.gain", "device.x", "settings.label"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "settings.gain 1\nsettings.label bench 3\n");
  EXPECT_EQ(r.err, c_notFound + "\n");

  for (const std::vector<std::string>& args : {std::vector<std::string>{"put", "device.x", "1"},
                                               {"info", "device.x"},
                                               {"exec", "device.x"},
                                               {"monitor", "-n", "1", "device.x"},
                                               {"stream", "device.x"},
                                               {"tree", "device.x"}}) {
    r = Rozctl(args);
    EXPECT_EQ(r.exitCode, 1) << args[0];
    EXPECT_EQ(r.err, c_notFound + "\n") << args[0];
    ExpectNoInternals(r);
  }
  // A node without a value.
  r = Rozctl({"get", "settings"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "rozctl: settings has no value\n");
}

TEST_F(RozctlTest, GetOfManyPathsReadsThemTogetherAndKeepsEachMessage) {
  // Fifty paths in one read; the failing ones keep the single get's texts.
  std::vector<std::string> args = {"get"};
  std::string expected;
  for (int i = 0; i < 24; ++i) {
    args.push_back(i % 2 == 0 ? "settings.sample_rate" : "calibration.ranges");
    expected +=
        i % 2 == 0 ? "settings.sample_rate 48000\n" : "calibration.ranges [10,10,100,1000]\n";
  }
  args.push_back("device.x");
  args.push_back("settings");
  for (int i = 0; i < 24; ++i) {
    args.push_back("settings.mode");
    expected += "settings.mode normal\n";
  }
  Result r = Rozctl(args);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.err, c_notFound + "\nrozctl: settings has no value\n");
  ExpectNoInternals(r);

  // Array windows apply to arrays only, as for one path; JSON has the types.
  r = Rozctl({"get", "-t", "-#", "2", "--pos", "2", "calibration.offsets", "settings.offset"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "[7,2]\n-12\n");
  r = Rozctl({"get", "--json", "settings.mode", "calibration.weights"});
  const nlohmann::json json = nlohmann::json::parse(r.out);
  EXPECT_EQ(json[0]["type"], "Enumeration");
  EXPECT_EQ(json[1]["type"], "Float");
  EXPECT_EQ(json[1]["value"], nlohmann::json::array({0.5, 1.5, 2.5}));
}

TEST_F(RozctlTest, PutPrintsOldAndNewAndConvertsByTheNodesType) {
  Result r = Rozctl({"put", "settings.gain", "2.5"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "Old : settings.gain 1\nNew : settings.gain 2.5\n");

  // A negative number is a value, not an option.
  r = Rozctl({"put", "settings.offset", "-5"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "Old : settings.offset -12\nNew : settings.offset -5\n");

  r = Rozctl({"put", "settings.enabled", "false"});
  EXPECT_EQ(r.out, "Old : settings.enabled true\nNew : settings.enabled false\n") << r.err;
  r = Rozctl({"put", "settings.capacity", "0x10"});
  EXPECT_EQ(r.out, "Old : settings.capacity 17179869184\nNew : settings.capacity 16\n") << r.err;
  r = Rozctl({"put", "settings.mode", "fast"});
  EXPECT_EQ(r.out, "Old : settings.mode normal\nNew : settings.mode fast\n") << r.err;
  r = Rozctl({"put", "settings.label", "bench 4"});
  EXPECT_EQ(r.out, "Old : settings.label bench 3\nNew : settings.label bench 4\n") << r.err;

  // Arrays: several values, or one comma-separated list; --pos writes from
  // an element on.
  r = Rozctl({"put", "calibration.offsets", "1", "2", "3", "4"});
  EXPECT_EQ(r.out, "Old : calibration.offsets [-3,0,7,2]\nNew : calibration.offsets [1,2,3,4]\n")
      << r.err;
  r = Rozctl({"put", "calibration.channel_names", "a,b,c,d"});
  EXPECT_EQ(r.out,
            "Old : calibration.channel_names [ch1,ch2,ch3,ch4]\n"
            "New : calibration.channel_names [a,b,c,d]\n")
      << r.err;
  r = Rozctl({"put", "--pos", "2", "calibration.weights", "9.75"});
  EXPECT_EQ(r.out,
            "Old : calibration.weights [0.5,1.5,2.5]\nNew : calibration.weights [0.5,1.5,9.75]\n")
      << r.err;
  EXPECT_EQ(Rozctl({"get", "-t", "settings.gain"}).out, "2.5\n");
}

TEST_F(RozctlTest, PutRefusesBadInputWithAClearMessage) {
  // Out of the enumeration's domain: the allowed values are listed, nothing
  // is written.
  Result r = Rozctl({"put", "settings.mode", "turbo"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "rozctl: \"turbo\" is not a value of settings.mode; allowed: normal, fast, precise, "
            "standby\n");
  EXPECT_EQ(Rozctl({"get", "-t", "settings.mode"}).out, "normal\n");

  // Wrong type.
  r = Rozctl({"put", "settings.gain", "abc"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "rozctl: cannot convert \"abc\" to a Double value for settings.gain\n");
  r = Rozctl({"put", "settings.sample_rate", "-1"});
  EXPECT_EQ(r.err, "rozctl: cannot convert \"-1\" to a ULong value for settings.sample_rate\n");
  r = Rozctl({"put", "calibration.offsets", "1,x"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "rozctl: cannot convert \"x\" to a Long value for calibration.offsets\n");
  r = Rozctl({"put", "settings.offset", "5000000000"});
  EXPECT_EQ(r.err, "rozctl: cannot convert \"5000000000\" to a Long value for settings.offset\n");
  r = Rozctl({"put", "settings.enabled", "maybe"});
  EXPECT_EQ(r.err, "rozctl: cannot convert \"maybe\" to a Bool value for settings.enabled\n");

  // A scalar takes one value.
  r = Rozctl({"put", "settings.gain", "1", "2"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "rozctl: settings.gain holds one value, not 2\n");

  // The server's refusal, as the server words it.
  r = Rozctl({"put", "identity.serial", "X"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "node is not writable: identity.serial\n");
  EXPECT_EQ(Rozctl({"get", "-t", "settings.gain"}).out, "1\n");
}

TEST_F(RozctlTest, ExecRunsACommandNode) {
  ASSERT_EQ(Rozctl({"put", "settings.gain", "7"}).exitCode, 0);
  Result r = Rozctl({"exec", "reset"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "Executed : reset\n");
  EXPECT_EQ(Rozctl({"get", "-t", "settings.gain"}).out, "1\n");

  r = Rozctl({"exec", "settings.gain"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Contains(r.err, "ireg: node is not executable")) << r.err;
}

TEST_F(RozctlTest, InfoShowsTypeFlagsSizeDomainValidatorAndChildren) {
  Result r = Rozctl({"info", "settings.mode"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out,
            "path      : settings.mode\n"
            "type      : Enumeration\n"
            "flags     : read write persistent\n"
            "size      : 1\n"
            "domain    : normal, fast, precise, standby\n"
            "validator : (none)\n"
            "children  : 0\n"
            "value     : normal\n");

  r = Rozctl({"info", "settings.gain"});
  EXPECT_TRUE(Contains(r.out, "validator : 0.01 <= value && value <= 1000\n")) << r.out;
  r = Rozctl({"info", "calibration.coefficients"});
  EXPECT_TRUE(Contains(r.out, "flags     : read write persistent array\n")) << r.out;
  EXPECT_TRUE(Contains(r.out, "size      : 4\n")) << r.out;
  r = Rozctl({"info", "calibration"});
  EXPECT_TRUE(Contains(r.out, "type      : Undefined\n")) << r.out;
  EXPECT_TRUE(Contains(r.out, "children  : 8\n")) << r.out;
  EXPECT_FALSE(Contains(r.out, "value")) << r.out;
  r = Rozctl({"info", "reset"});
  EXPECT_TRUE(Contains(r.out, "flags     : write executable\n")) << r.out;
  EXPECT_FALSE(Contains(r.out, "value")) << r.out;
}

TEST_F(RozctlTest, TreeListsIndentedOrDottedWithFlagsAndValues) {
  Result r = Rozctl({"tree", "--depth", "1"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  // The hidden subtrees (service, regd) are not listed.
  EXPECT_EQ(r.out, "identity\nsettings\ncalibration\nmeasurement\nreset\nsignals\n");

  r = Rozctl({"tree", "identity"});
  EXPECT_EQ(r.out, "manufacturer\nmodel\nserial\nfirmware\nchannels\n");
  r = Rozctl({"tree", "--depth", "2"});
  EXPECT_TRUE(Contains(r.out, "identity\n  manufacturer\n  model\n")) << r.out;
  r = Rozctl({"tree", "--dotted", "--depth", "2"});
  EXPECT_TRUE(Contains(r.out, "identity\nidentity.manufacturer\nidentity.model\n")) << r.out;

  r = Rozctl({"tree", "--values", "identity"});
  EXPECT_TRUE(Contains(r.out, "manufacturer=Varnek Instruments\n")) << r.out;
  EXPECT_TRUE(Contains(r.out, "channels=4\n")) << r.out;
  r = Rozctl({"tree", "--values", "--dotted", "calibration"});
  EXPECT_TRUE(Contains(r.out, "offsets=[-3,0,7,2]\n")) << r.out;
  r = Rozctl({"tree", "--flags", "settings"});
  EXPECT_TRUE(Contains(r.out, "rwP       mode\n")) << r.out;

  // Hidden subtrees only on request.
  r = Rozctl({"tree", "service"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "rozctl: service is hidden; add --hidden to show it\n");
  r = Rozctl({"tree", "--hidden", "--values", "service"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "debug_level=0\nfactory_key=7F3A-22C1\n");
}

TEST_F(RozctlTest, PingPrintsTheRoundTrip) {
  Result r = Rozctl({"ping"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const std::regex line("Ping : the app registry at 127\\.0\\.0\\.1:" +
                        std::to_string(m_regd.Port()) + " answered in [0-9]+\\.[0-9]{3} ms\n");
  EXPECT_TRUE(std::regex_match(r.out, line)) << r.out;
  // regd serves its tree whichever root a client names.
  r = Rozctl({"--root", "platform", "ping"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "the platform registry at")) << r.out;
}

TEST_F(RozctlTest, UnreachableRegistryGivesStatusOne) {
  const std::string port = std::to_string(m_regd.Port());
  ASSERT_EQ(m_regd.Stop(), 0);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"ping"}, {"get", "settings.gain"}, {"tree"}}) {
    const Result r = Rozctl(args);
    EXPECT_EQ(r.exitCode, 1) << args[0];
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "rozctl: cannot connect to the app registry at 127.0.0.1:" + port + "\n");
    ExpectNoInternals(r);
  }
  // No route at all inside the loopback-only namespace.
  const Result r = rozctltest::Run({"--host", "10.255.0.1", "-w", "2", "get", "settings.gain"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "rozctl: cannot connect to the app registry at 10.255.0.1:" +
                       std::to_string(inet::c_defaultAppPort) + "\n");
}

TEST_F(RozctlTest, UsageErrorsGiveStatusTwo) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                               {"frobnicate"},
                                               {"get"},
                                               {"put", "settings.gain"},
                                               {"--root", "kernel", "ping"},
                                               {"--port", "70000", "ping"},
                                               {"get", "--bogus", "x"},
                                               {"-w", "-1", "ping"},
                                               {"--trace", "Loud", "ping"},
                                               {"monitor", "-n", "x", "a"}}) {
    const Result r = Rozctl(args);
    EXPECT_EQ(r.exitCode, 2) << (args.empty() ? "" : args[0]) << ": " << r.err;
    EXPECT_FALSE(r.err.empty());
    ExpectNoInternals(r);
  }
  const Result help = Rozctl({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_TRUE(Contains(help.out, "monitor")) << help.out;
}

TEST_F(RozctlTest, MonitorSeesThreeChanges) {
  RozctlProcess monitor(
      Args({"monitor", "-n", "3", "--timeout", "60", "settings.gain", "settings.mode"}));
  ASSERT_TRUE(WaitUntil([&] { return Counter("subscriptions") == "2"; }, 30)) << monitor.Err();
  ASSERT_EQ(Rozctl({"put", "settings.gain", "2"}).exitCode, 0);
  ASSERT_EQ(Rozctl({"put", "settings.mode", "precise"}).exitCode, 0);
  ASSERT_EQ(Rozctl({"put", "settings.gain", "3.5"}).exitCode, 0);
  const Result r = monitor.Wait();
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 3u) << r.out;
  const std::string time = " [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} ";
  EXPECT_TRUE(std::regex_match(lines[0], std::regex("settings\\.gain" + time + "2"))) << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1], std::regex("settings\\.mode" + time + "precise")))
      << lines[1];
  EXPECT_TRUE(std::regex_match(lines[2], std::regex("settings\\.gain" + time + "3\\.5")))
      << lines[2];
  // The subscriptions went with it.
  EXPECT_TRUE(WaitUntil([&] { return Counter("subscriptions") == "0"; }, 10));

  // A write into an array from position 2 on: the written elements and
  // where they start.
  RozctlProcess array(Args({"monitor", "-n", "1", "--timeout", "60", "calibration.weights"}));
  ASSERT_TRUE(WaitUntil([&] { return Counter("subscriptions") == "1"; }, 30)) << array.Err();
  ASSERT_EQ(Rozctl({"put", "--pos", "2", "calibration.weights", "9.75"}).exitCode, 0);
  const Result a = array.Wait();
  EXPECT_EQ(a.exitCode, 0) << a.err;
  EXPECT_TRUE(
      std::regex_match(a.out, std::regex("calibration\\.weights" + time + "\\[9\\.75\\] at 2\n")))
      << a.out;
}

TEST_F(RozctlTest, MonitorEndsCleanlyOnInterruptAndReportsATimeOut) {
  RozctlProcess monitor(Args({"monitor", "settings.label"}));
  ASSERT_TRUE(WaitUntil([&] { return Counter("subscriptions") == "1"; }, 30)) << monitor.Err();
  ASSERT_EQ(Rozctl({"put", "settings.label", "x y"}).exitCode, 0);
  ASSERT_TRUE(WaitUntil([&] { return Contains(monitor.Out(), " x y\n"); }, 10)) << monitor.Out();
  monitor.Signal(SIGINT);
  const Result r = monitor.Wait();
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Counter("subscriptions"), "0");

  // Fewer notifications than asked for within the time-out.
  const Result late = Rozctl({"monitor", "-n", "2", "--timeout", "0.5", "settings.label"});
  EXPECT_EQ(late.exitCode, 1);
  EXPECT_EQ(late.err, "rozctl: time-out after 0 of 2 notifications\n");
  // Without a count the time-out is a normal end.
  EXPECT_EQ(Rozctl({"monitor", "--timeout", "0.5", "settings.label"}).exitCode, 0);
}

TEST_F(RozctlTest, MonitorResumesWhenTheServerComesBack) {
  RozctlProcess monitor(Args({"monitor", "-n", "1", "--timeout", "60", "settings.gain"}));
  ASSERT_TRUE(WaitUntil([&] { return Counter("subscriptions") == "1"; }, 30)) << monitor.Err();
  m_regd.Kill();
  ASSERT_TRUE(WaitUntil([&] { return Contains(monitor.Err(), "rozctl: lost"); }, 20))
      << monitor.Err();
  m_regd.Restart();
  ASSERT_TRUE(WaitUntil([&] { return Contains(monitor.Err(), "answers again"); }, 20))
      << monitor.Err();
  EXPECT_EQ(Counter("subscriptions"), "1");
  ASSERT_EQ(Rozctl({"put", "settings.gain", "4"}).exitCode, 0);
  const Result r = monitor.Wait();
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(std::regex_match(r.out, std::regex("settings\\.gain [-0-9T:.]+ 4\n"))) << r.out;
  const std::string where = "the app registry at 127.0.0.1:" + std::to_string(m_regd.Port());
  EXPECT_EQ(r.err, "rozctl: lost " + where + "; waiting for it to answer again\nrozctl: " + where +
                       " answers again; subscriptions restored\n");
}

TEST_F(RozctlTest, StreamResumesWhenTheServerComesBack) {
  RozctlProcess stream(Args({"stream", "signals.scope", "-n", "100000", "--timeout", "60"}));
  ASSERT_TRUE(WaitUntil([&] { return Lines(stream.Out()).size() >= 2; }, 30)) << stream.Err();
  m_regd.Kill();
  ASSERT_TRUE(WaitUntil([&] { return Contains(stream.Err(), "rozctl: lost"); }, 20))
      << stream.Err();
  // Everything queued before the kill was printed before the loss was seen.
  const size_t before = Lines(stream.Out()).size();
  m_regd.Restart();
  ASSERT_TRUE(WaitUntil([&] { return Lines(stream.Out()).size() >= before + 2; }, 30))
      << stream.Err();
  EXPECT_EQ(Counter("receivers"), "1");
  stream.Signal(SIGINT);
  const Result r = stream.Wait();
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(Lines(r.out).at(before).rfind("block 0  atoms 64  x min ", 0), 0u)
      << "the new server's first block: " << Lines(r.out).at(before);
  const std::string where = "the app registry at 127.0.0.1:" + std::to_string(m_regd.Port());
  EXPECT_EQ(r.err, "rozctl: lost " + where + "; waiting for it to answer again\nrozctl: " + where +
                       " answers again; stream restored\n");
}

TEST_F(RozctlTest, StreamSummarisesPushBlocksAndWritesCsv) {
  testutil::TempDir dir;
  const std::string csv = dir.File("scope.csv");
  Result r = Rozctl({"stream", "signals.scope", "-n", "5", "--csv", csv});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 5u) << r.out;
  const std::regex summary(
      "block ([0-9]+)  atoms 64  x min (\\S+) max (\\S+) mean (\\S+)  y min \\S+ max \\S+ mean "
      "\\S+");
  long long previous = -1;
  for (const std::string& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, summary)) << line;
    const long long counter = std::stoll(m[1]);
    EXPECT_GT(counter, previous);
    previous = counter;
    EXPECT_LE(std::stod(m[2]), std::stod(m[4]));
    EXPECT_LE(std::stod(m[4]), std::stod(m[3]));
    EXPECT_LE(std::stod(m[3]), 1.0);
  }
  const std::vector<std::string> rows = Lines(testutil::ReadFile(csv));
  ASSERT_EQ(rows.size(), 1u + 5 * 64);
  EXPECT_EQ(rows[0], "x,y");
  EXPECT_TRUE(std::regex_match(rows[1], std::regex("[-0-9.e]+,[-0-9.e]+"))) << rows[1];

  r = Rozctl({"stream", "settings.gain"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "rozctl: settings.gain is no usable remote signal\n");
}

TEST_F(RozctlTest, StreamReadsDataOnDemandAtAPosition) {
  testutil::TempDir dir;
  const std::string csv = dir.File("history.csv");
  const Result r = Rozctl(
      {"stream", "signals.history", "-n", "2", "--pos", "10", "--atoms", "50", "--csv", csv});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  EXPECT_TRUE(std::regex_match(
      lines[0],
      std::regex("block 0  pos 10  atoms 50  temperature min \\S+ max \\S+ mean 2[12]\\.[0-9]+")))
      << lines[0];
  EXPECT_TRUE(Contains(lines[1], "block 1  pos 60  atoms 50  temperature min ")) << lines[1];
  const std::vector<std::string> rows = Lines(testutil::ReadFile(csv));
  ASSERT_EQ(rows.size(), 101u);
  EXPECT_EQ(rows[0], "temperature");

  // The data is a function of the position: the same atoms read again.
  const Result again =
      Rozctl({"stream", "signals.history", "-n", "1", "--pos", "60", "--atoms", "50"});
  EXPECT_EQ(Lines(again.out).at(0).substr(7), lines[1].substr(7));

  // Beyond the end of the signal (100000 atoms).
  const Result end = Rozctl({"stream", "signals.history", "--pos", "200000"});
  EXPECT_EQ(end.exitCode, 1);
  EXPECT_EQ(end.err, "rozctl: no data at position 200000 of signals.history\n");
}

}  // namespace
