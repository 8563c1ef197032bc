// Many nodes at once (client/batch.h) against real registry servers: reads
// and writes of every value type equal to the single-node calls, one
// node's failure beside good ones, ten thousand nodes, a server killed
// mid-batch, threads sharing a proxy, two registries and a local tree in one
// call, and descriptions and walks equal to the single attribute calls.
#include <gtest/gtest.h>

#include <omniORB4/CORBA.h>

#include <atomic>
#include <future>
#include <sstream>
#include <thread>

#include "client/roz.h"
#include "client/value_node.h"
#include "remote/remote_fixture.h"

namespace {

using remotetest::RegdProcess;
using remotetest::RemoteTest;
using remotetest::ThrownText;

class BatchTest : public RemoteTest {};

roz::Node At(const roz::Node& root, const std::string& path) {
  // Without the lookup's remote check, as a program holding paths would.
  roz::Path full = root.GetRelPath();
  for (const std::string& name : roz::Tokenize(path)) full.push_back(name);
  return roz::Node(root.GetTreeNode(), full);
}

std::vector<roz::Node> AtAll(const roz::Node& root, const std::vector<std::string>& paths) {
  std::vector<roz::Node> nodes;
  for (const std::string& path : paths) nodes.push_back(At(root, path));
  return nodes;
}

// The single-node read into an istd::Any (type, flags, typed Get).
istd::Any SingleRead(const roz::Node& node, size_t position = 0, size_t count = 0) {
  const bool array = node.IsArray();
  return roz::VisitValueType(
      node.GetValueType(),
      [&](auto tag) {
        using T = typename decltype(tag)::Type;
        if (array) {
          std::vector<T> values;
          node.Get(values, position, count);
          return istd::Any(values);
        }
        T value{};
        node.Get(value, 0);
        return istd::Any(value);
      },
      [&]() -> istd::Any { throw istd::Exception("no value", false); });
}

// Type and text of a value, for comparisons.
std::string Shown(const istd::Any& value) {
  if (value.Empty()) return "(empty)";
  std::ostringstream os;
  os.precision(17);
  os << istd::CppName(value.Type()) << ":" << value;
  return os.str();
}

const std::vector<std::string> c_valueNodes = {"settings.enabled",
                                               "settings.gain",
                                               "settings.threshold",
                                               "settings.offset",
                                               "settings.sample_rate",
                                               "settings.timeout_ns",
                                               "settings.capacity",
                                               "settings.label",
                                               "settings.mode",
                                               "calibration.channel_enabled",
                                               "calibration.offsets",
                                               "calibration.ranges",
                                               "calibration.timestamps",
                                               "calibration.counters",
                                               "calibration.coefficients",
                                               "calibration.weights",
                                               "calibration.channel_names",
                                               "identity.channels"};

TEST_F(BatchTest, EveryValueTypeReadsAndWritesAsTheSingleCalls) {
  InClient([&] {
    RegdProcess regd;
    const roz::Node platform = StartAndConnect(regd);
    ASSERT_TRUE(platform.IsValid());
    const std::vector<roz::Node> nodes = AtAll(platform, c_valueNodes);
    std::vector<roz::ReadResult> read = roz::ReadValues(nodes);
    ASSERT_EQ(read.size(), nodes.size());
    for (size_t i = 0; i < nodes.size(); ++i) {
      EXPECT_TRUE(read[i].Ok()) << c_valueNodes[i] << ": " << read[i].error;
      EXPECT_EQ(Shown(read[i].value), Shown(SingleRead(nodes[i]))) << c_valueNodes[i];
    }
    EXPECT_EQ(read[0].value.Get<bool>(), true);
    EXPECT_EQ(read[8].value.Get<std::string>(), "normal");
    // Position and count apply to arrays; scalars are read whole.
    read = roz::ReadValues(AtAll(platform, {"calibration.offsets", "settings.offset"}), 1, 2);
    EXPECT_EQ(read[0].value.Get<std::vector<int32_t>>(), (std::vector<int32_t>{0, 7}));
    EXPECT_EQ(read[1].value.Get<int32_t>(), -12);

    // Writes of every type, scalars and vectors, as Set with the held type.
    std::vector<std::pair<roz::Node, istd::Any>> writes = {
        {At(platform, "settings.enabled"), istd::Any(false)},
        {At(platform, "settings.gain"), istd::Any(2.5)},
        {At(platform, "settings.threshold"), istd::Any(-1.5f)},
        {At(platform, "settings.offset"), istd::Any(int32_t{-7})},
        {At(platform, "settings.sample_rate"), istd::Any(uint32_t{96000})},
        {At(platform, "settings.timeout_ns"), istd::Any(-9000000000LL)},  // another name
        {At(platform, "settings.capacity"), istd::Any(uint64_t{18446744073709551615ULL})},
        {At(platform, "settings.label"), istd::Any("left, 4")},
        {At(platform, "settings.mode"), istd::Any(std::string("fast"))},
        {At(platform, "calibration.channel_enabled"), istd::Any(std::vector<bool>{false, true})},
        {At(platform, "calibration.timestamps"), istd::Any(std::vector<int64_t>{1, -2})},
        {At(platform, "calibration.weights"), istd::Any(std::vector<float>{9.5f})},
        {At(platform, "calibration.channel_names"), istd::Any(std::vector<std::string>{"a", "b"})},
    };
    const std::vector<std::string> errors = roz::WriteValues(writes);
    for (size_t i = 0; i < writes.size(); ++i) {
      EXPECT_EQ(errors[i], "") << writes[i].first.GetName();
      if (writes[i].second.IsArray()) {
        // Written from position 0; the rest of the array stays.
        const istd::Any all = SingleRead(writes[i].first, 0, writes[i].second.Size());
        EXPECT_EQ(Shown(all), Shown(writes[i].second)) << writes[i].first.GetName();
      } else {
        EXPECT_EQ(Shown(SingleRead(writes[i].first)), Shown(writes[i].second));
      }
    }
    // At a position, and a value of the wrong type with the single Set's text.
    const roz::Node offsets = At(platform, "calibration.offsets");
    EXPECT_EQ(roz::WriteValues({{offsets, istd::Any(std::vector<int32_t>{40, 41})}}, 2)[0], "");
    EXPECT_EQ(Shown(SingleRead(offsets)), Shown(istd::Any(std::vector<int32_t>{-3, 0, 40, 41})));
    const roz::Node offset = At(platform, "settings.offset");
    EXPECT_EQ(roz::WriteValues({{offset, istd::Any(1.5)}})[0],
              ThrownText([&] { offset.Set(1.5, 0); }));
  });
}

// A tree whose nodes fail in every way regd can make them, beside good ones.
const char* const c_mixedTree = R"({"name": "r", "children": [
  {"name": "good", "type": "Long", "flags": ["read", "write"], "value": 5},
  {"name": "slow", "type": "Double", "flags": ["read"], "value": 0.5, "hooks": {"delay_ms": 400}},
  {"name": "refused", "type": "Long", "flags": ["read", "write"],
   "hooks": {"value_exception": "device busy"}},
  {"name": "ghost", "type": "Long", "flags": ["read"], "hooks": {"not_found": true}},
  {"name": "empty", "type": "Long", "flags": ["read", "array"], "hooks": {"answer": "empty"}},
  {"name": "other", "type": "Long", "flags": ["read"], "hooks": {"answer": "other_scalar"}},
  {"name": "writeonly", "type": "Long", "flags": ["write"]},
  {"name": "mode", "type": "Enumeration", "flags": ["read", "write"], "domain": ["on", "off"]},
  {"name": "folder", "children": [{"name": "leaf", "type": "String", "flags": ["read"]}]}]})";

TEST_F(BatchTest, EachNodesFailureIsItsOwnAndEqualsTheSingleCall) {
  InClient([&] {
    RegdProcess regd;
    roz::Node root = StartAndConnect(regd, c_mixedTree);
    ASSERT_TRUE(root.IsValid());
    const std::vector<std::string> paths = {"good",   "unknown.path", "slow",  "refused",
                                            "ghost",  "empty",        "other", "writeonly",
                                            "folder", "good"};
    std::vector<roz::Node> nodes = AtAll(root, paths);
    nodes.push_back(roz::Node());  // a handle of no tree node
    const std::vector<roz::ReadResult> read = roz::ReadValues(nodes);
    ASSERT_EQ(read.size(), nodes.size());
    EXPECT_EQ(read[0].value.Get<int32_t>(), 5);
    EXPECT_EQ(read[2].value.Get<double>(), 0.5);
    EXPECT_EQ(read[9].value.Get<int32_t>(), 5);
    for (size_t i : {1, 3, 4, 5, 6, 7}) {
      EXPECT_FALSE(read[i].Ok()) << paths[i];
      EXPECT_TRUE(read[i].value.Empty()) << paths[i];
      EXPECT_EQ(read[i].error, ThrownText([&] { SingleRead(nodes[i]); })) << paths[i];
    }
    EXPECT_EQ(read[1].error, "ireg: node not found: unknown.path");
    EXPECT_EQ(read[3].error, "device busy");
    EXPECT_EQ(read[7].error, "node is not readable: writeonly");
    EXPECT_EQ(read[8].error, "ireg: node has no value: folder");
    EXPECT_EQ(read[10].error, "Node is not valid anymore.");

    // Writes: out of the domain, refused, unknown, empty value, and good ones.
    const std::vector<std::string> errors = roz::WriteValues({
        {At(root, "mode"), istd::Any("sideways")},
        {At(root, "mode"), istd::Any("off")},
        {At(root, "refused"), istd::Any(int32_t{1})},
        {At(root, "unknown"), istd::Any(int32_t{1})},
        {At(root, "good"), istd::Any()},
        {At(root, "good"), istd::Any(int32_t{6})},
    });
    EXPECT_EQ(errors[0], ThrownText([&] { At(root, "mode").Set(std::string("sideways"), 0); }));
    EXPECT_EQ(errors[0], "value \"sideways\" is not in the domain: mode");
    EXPECT_EQ(errors[1], "");
    EXPECT_EQ(errors[2], "device busy");
    EXPECT_EQ(errors[3], "ireg: node not found: unknown");
    EXPECT_EQ(errors[4], "ireg: invalid type: good");
    EXPECT_EQ(errors[5], "");
    EXPECT_EQ(static_cast<std::string>(At(root, "mode")), "off");
    EXPECT_EQ(static_cast<int>(At(root, "good")), 6);

    // A disconnected proxy: every node says so.
    regd.Kill();
    EXPECT_EQ(roz::Ping(root), roz::eNotConnected);
    const std::vector<roz::ReadResult> gone = roz::ReadValues(AtAll(root, {"good", "slow"}));
    EXPECT_EQ(gone[0].error, "ireg: node disconnected: good");
    EXPECT_EQ(gone[1].error, "ireg: node disconnected: slow");
  });
}

TEST_F(BatchTest, TenThousandNodesInOneCall) {
  InClient([&] {
    RegdProcess regd;
    const roz::Node platform = StartAndConnect(regd);
    ASSERT_TRUE(platform.IsValid());
    std::vector<roz::Node> nodes;
    for (size_t i = 0; i < 10000; ++i) nodes.push_back(At(platform, c_valueNodes[i % 9]));
    const std::vector<roz::ReadResult> read = roz::ReadValues(nodes);
    ASSERT_EQ(read.size(), nodes.size());
    std::vector<std::string> expected;
    for (size_t k = 0; k < 9; ++k) expected.push_back(Shown(SingleRead(nodes[k])));
    size_t wrong = 0;
    for (size_t i = 0; i < read.size(); ++i) {
      if (!read[i].Ok() || Shown(read[i].value) != expected[i % 9]) ++wrong;
    }
    EXPECT_EQ(wrong, 0u) << read[0].error;
    // The server saw one client; the batch opened no connections of its own.
    EXPECT_EQ(Counter(platform, "clients"), 1u);
  });
}

// How many calls of the RemoteNode operation `op` regd's trace (High)
// shows entering.
size_t Calls(const std::string& trace, const std::string& op) {
  const std::string entry = "regd::i_RemoteNode_impl::" + op + "(";
  size_t count = 0;
  std::istringstream lines(trace);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("==> ") != std::string::npos && line.find(entry) != std::string::npos) ++count;
  }
  return count;
}

// A node read once is read again with one request. A read with the shape
// remembered that fails as a changed node would asks again, once, and
// reports what a fresh read reports; a reconnection (here to a server
// restarted with another tree) forgets every shape.
TEST_F(BatchTest, RemembersEachNodesShapeUntilItFailsOrTheProxyReconnects) {
  InClient([&] {
    RegdProcess regd;
    regd.Options().traceLevel = "High";
    regd.Options().tree = regd.WriteTree("before.json", R"({"name": "r", "children": [
        {"name": "a", "type": "Double", "value": 1.5, "flags": ["read"]},
        {"name": "b", "type": "Long", "value": [1, 2], "flags": ["read", "array"]},
        {"name": "c", "type": "Long", "value": 3, "flags": ["read"],
         "hooks": {"invalid_type": true}},
        {"name": "d", "type": "Long", "value": 4, "flags": ["read"],
         "hooks": {"answer": "other_scalar"}}]})");
    roz::Node root = StartAndConnect(regd);
    ASSERT_TRUE(root.IsValid());
    const std::vector<roz::Node> nodes = AtAll(root, {"a", "b", "c", "d"});
    const std::vector<roz::ReadResult> first = roz::ReadValues(nodes);
    ASSERT_TRUE(first[1].Ok()) << first[1].error;
    EXPECT_EQ(first[1].value.Get<std::vector<int32_t>>(), (std::vector<int32_t>{1, 2}));
    const std::string before = regd.ReadTrace();
    const std::vector<roz::ReadResult> again = roz::ReadValues(nodes);
    const std::string trace = regd.ReadTrace().substr(before.size());
    // a and b: one GetValue each; c and d fail, are asked again and fail so.
    EXPECT_EQ(Calls(trace, "GetValueType"), 2u) << trace;
    EXPECT_EQ(Calls(trace, "GetValue"), 6u) << trace;
    for (size_t i = 0; i < nodes.size(); ++i) {
      EXPECT_EQ(Shown(again[i].value), Shown(first[i].value)) << i;
      EXPECT_EQ(again[i].error, first[i].error) << i;
    }
    EXPECT_EQ(again[2].error, ThrownText([&] { SingleRead(nodes[2]); }));
    EXPECT_EQ(again[3].error, ThrownText([&] { SingleRead(nodes[3]); }));

    regd.Options().tree = regd.WriteTree("after.json", R"({"name": "r", "children": [
        {"name": "a", "type": "String", "value": "text", "flags": ["read"]},
        {"name": "b", "type": "Long", "value": 5, "flags": ["read"]}]})");
    regd.Restart();
    ASSERT_TRUE(testutil::WaitUntil([&] { return roz::Ping(root) == roz::eReconnected; }, 20));
    const std::vector<roz::ReadResult> after = roz::ReadValues(nodes);
    EXPECT_EQ(Shown(after[0].value), Shown(istd::Any(std::string("text")))) << after[0].error;
    EXPECT_EQ(Shown(after[1].value), Shown(istd::Any(int32_t(5)))) << after[1].error;
    EXPECT_EQ(after[2].error, "ireg: node not found: c");
  });
}

TEST_F(BatchTest, AServerKilledMidBatchFailsEveryOutstandingRequest) {
  InClient([&] {
    RegdProcess regd;
    regd.Options().traceLevel = "High";
    const roz::Node root =
        StartAndConnect(regd, R"({"name": "r", "children": [{"name": "slow", "type": "Long",
                  "flags": ["read"], "hooks": {"delay_ms": 20000}}]})");
    ASSERT_TRUE(root.IsValid());
    // A time-out far beyond the wait below: the errors come from the death.
    omniORB::setClientCallTimeout(120000);
    const std::vector<roz::Node> nodes(2000, At(root, "slow"));
    auto batch = std::async(std::launch::async, [&] { return roz::ReadValues(nodes); });
    // Mid-batch: the typed reads have reached the server and wait there.
    ASSERT_TRUE(testutil::WaitUntil(
        [&] { return regd.ReadTrace().find("GetValue") != std::string::npos; }, 60));
    regd.Kill();
    ASSERT_EQ(batch.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    const std::vector<roz::ReadResult> read = batch.get();
    size_t failed = 0;
    for (const roz::ReadResult& result : read) {
      if (result.error == "ireg: node not accessible: slow") ++failed;
    }
    EXPECT_EQ(failed, nodes.size()) << read[0].error;
  });
}

TEST_F(BatchTest, ThreadsShareAProxyAndTwoRegistriesAndALocalTreeMix) {
  InClient([&] {
    RegdProcess regd;
    RegdProcess second;
    const roz::Node platform = StartAndConnect(regd);
    second.Start();
    const roz::Node app =
        roz::Connect("127.0.0.1", roz::eApp, static_cast<int>(second.Port()), false);
    ASSERT_TRUE(platform.IsValid());
    ASSERT_TRUE(app.IsValid());
    ASSERT_TRUE(At(app, "settings.gain").SetValue(7.5, 0));

    // Two threads batch on the same proxy while a third reads single values.
    const std::vector<roz::Node> nodes = AtAll(platform, c_valueNodes);
    std::vector<std::string> expected;
    for (const roz::Node& node : nodes) expected.push_back(Shown(SingleRead(node)));
    std::atomic<size_t> wrong{0};
    auto batcher = [&] {
      std::vector<roz::Node> many;
      for (size_t i = 0; i < 1000; ++i) many.push_back(nodes[i % nodes.size()]);
      for (int round = 0; round < 2; ++round) {
        const std::vector<roz::ReadResult> read = roz::ReadValues(many);
        for (size_t i = 0; i < read.size(); ++i) {
          if (Shown(read[i].value) != expected[i % nodes.size()]) ++wrong;
        }
      }
    };
    std::thread first(batcher);
    std::thread other(batcher);
    for (int i = 0; i < 100; ++i) {
      double gain = 0;
      if (!At(platform, "settings.gain").GetValue(gain, 0) || gain != 1.0) ++wrong;
    }
    first.join();
    other.join();
    EXPECT_EQ(wrong.load(), 0u);

    // One call over both registries and a node of a local tree.
    auto local = std::make_shared<testutil::ValueNode>("local");
    local->Define<double>(roz::Path{"x"}, roz::enums::eRead | roz::enums::eWrite, {3.25});
    const std::vector<roz::Node> mixed = {At(platform, "settings.gain"), At(app, "settings.gain"),
                                          roz::Node(local, roz::Path{"x"}),
                                          At(app, "settings.label"), At(platform, "nothing")};
    std::vector<roz::ReadResult> read = roz::ReadValues(mixed);
    EXPECT_EQ(read[0].value.Get<double>(), 1.0);
    EXPECT_EQ(read[1].value.Get<double>(), 7.5);
    EXPECT_EQ(read[2].value.Get<double>(), 3.25);
    EXPECT_EQ(read[3].value.Get<std::string>(), "bench 3");
    EXPECT_EQ(read[4].error, "ireg: node not found: nothing");
    const std::vector<std::string> errors = roz::WriteValues(
        {{mixed[0], istd::Any(0.5)}, {mixed[1], istd::Any(0.75)}, {mixed[2], istd::Any(1.25)}});
    EXPECT_EQ(errors, (std::vector<std::string>{"", "", ""}));
    read = roz::ReadValues({mixed[0], mixed[1], mixed[2]});
    EXPECT_EQ(read[0].value.Get<double>(), 0.5);
    EXPECT_EQ(read[1].value.Get<double>(), 0.75);
    EXPECT_EQ(read[2].value.Get<double>(), 1.25);
  });
}

TEST_F(BatchTest, DescribeAndWalkTreeEqualTheSingleAttributeCalls) {
  InClient([&] {
    RegdProcess regd;
    const roz::Node platform = StartAndConnect(regd);
    ASSERT_TRUE(platform.IsValid());
    auto expectSame = [](const roz::NodeInfo& info, const roz::Node& node) {
      EXPECT_TRUE(info.Ok()) << info.path << ": " << info.error;
      EXPECT_EQ(info.path, roz::ToString(node.GetRelPath()));
      EXPECT_EQ(info.name, node.GetName());
      EXPECT_EQ(info.type, node.GetValueType()) << info.path;
      EXPECT_EQ(info.flags, node.GetFlags()) << info.path;
      EXPECT_EQ(info.size, node.GetSize()) << info.path;
      EXPECT_EQ(info.childCount, node.GetNodeCount()) << info.path;
      EXPECT_EQ(info.leaf, node.IsLeaf()) << info.path;
    };
    std::vector<roz::Node> nodes = AtAll(platform, c_valueNodes);
    nodes.push_back(At(platform, "service"));  // hidden, found by path
    nodes.push_back(At(platform, "no.such"));
    const std::vector<roz::NodeInfo> described = roz::Describe(nodes);
    ASSERT_EQ(described.size(), nodes.size());
    for (size_t i = 0; i + 1 < nodes.size(); ++i) expectSame(described[i], nodes[i]);
    EXPECT_EQ(described.back().error, "ireg: node not found: no.such");

    // The whole tree in SubTree's order, and a walk one level deep.
    const std::vector<roz::Node> all = roz::SubTree(platform);
    const std::vector<roz::NodeInfo> walked = roz::WalkTree(platform, -1);
    ASSERT_EQ(walked.size(), all.size());
    for (size_t i = 0; i < all.size(); ++i) {
      expectSame(walked[i], all[i]);
      EXPECT_TRUE(walked[i].node == all[i]) << walked[i].path;
      EXPECT_EQ(walked[i].level, all[i].GetRelPath().size()) << walked[i].path;
    }
    const std::vector<roz::NodeInfo> top = roz::WalkTree(At(platform, "settings"), 1);
    EXPECT_EQ(top.size(), 1 + At(platform, "settings").GetNodeCount());
    EXPECT_EQ(top[1].path, "settings.enabled");
    EXPECT_EQ(roz::WalkTree(At(platform, "no.such"), 2).at(0).error,
              "ireg: node not found: no.such");
  });
}

}  // namespace
