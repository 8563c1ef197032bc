// The parts of rozweb that need no registry: the outgoing queue of a socket
// (coalescing, bounds, order), the min/max decimation, the command-line
// forms and the checks of request targets, node paths and JSON values.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "api_error.h"
#include "decimate.h"
#include "json_values.h"
#include "options.h"
#include "out_queue.h"
#include "request.h"

namespace {

using namespace rozweb;

Message Text(const std::string& text) { return std::make_shared<const std::string>(text); }

std::string Dropped(const std::string& key, unsigned long long count) {
  return "dropped " + key + " " + std::to_string(count);
}

std::vector<std::string> Drain(OutQueue& queue) {
  std::vector<std::string> out;
  while (Message message = queue.Pop()) out.push_back(*message);
  return out;
}

int Status(const std::function<void()>& f) {
  try {
    f();
  } catch (const ApiError& e) {
    return e.Status();
  }
  return 0;
}

TEST(OutQueueTest, CoalescesChangesBoundsBlocksAndKeepsControlFirst) {
  OutQueue queue(&Dropped);
  // The first push finds the writer idle; later ones do not start it again.
  EXPECT_EQ(queue.PushChange("a", Text("a1")), OutQueue::eStartWriter);
  EXPECT_EQ(queue.PushChange("b", Text("b1")), OutQueue::eQueued);
  EXPECT_EQ(queue.PushChange("a", Text("a2")), OutQueue::eQueued);
  EXPECT_EQ(queue.PushChange("a", Text("a3")), OutQueue::eQueued);
  EXPECT_EQ(queue.PushControl(Text("reply")), OutQueue::eQueued);
  // Control first; "a" keeps its place before "b" but carries its latest.
  EXPECT_EQ(Drain(queue), (std::vector<std::string>{"reply", "a3", "b1"}));
  EXPECT_EQ(queue.Coalesced(), 2u);
  // The empty Pop marked the writer idle: the next push starts it.
  EXPECT_EQ(queue.PushChange("a", Text("a4")), OutQueue::eStartWriter);
  EXPECT_EQ(Drain(queue), (std::vector<std::string>{"a4"}));

  // Blocks: at most c_maxBlocksPerKey wait per key; older ones are dropped
  // and announced once before the key's next block.
  for (int i = 0; i < 10; ++i) queue.PushBlock("s", Text("s" + std::to_string(i)));
  queue.PushBlock("t", Text("t0"));
  EXPECT_EQ(Drain(queue),
            (std::vector<std::string>{"dropped s 6", "s6", "s7", "s8", "s9", "t0"}));
  EXPECT_EQ(queue.Dropped(), 6u);

  // Changes and blocks take turns, so neither starves the other.
  for (int i = 0; i < 3; ++i) queue.PushBlock("s", Text("block" + std::to_string(i)));
  queue.PushChange("x", Text("x"));
  queue.PushChange("y", Text("y"));
  EXPECT_EQ(Drain(queue), (std::vector<std::string>{"x", "block0", "y", "block1", "block2"}));

  // Control messages are bounded: one too many asks for the socket's end.
  for (size_t i = 0; i < OutQueue::c_maxControl; ++i) {
    ASSERT_NE(queue.PushControl(Text("c")), OutQueue::eOverflow);
  }
  EXPECT_EQ(queue.PushControl(Text("c")), OutQueue::eOverflow);
}

TEST(DecimateTest, KeepsPeaksInOrderWithinMaxPoints) {
  // Short data passes unchanged.
  const std::vector<int> few = {3, 1, 2};
  EXPECT_EQ(DecimateMinMax(few.size(), 8, [&](size_t i) { return few[i]; }),
            (std::vector<double>{3, 1, 2}));
  // A sine with two single-sample spikes: the decimated trace keeps both
  // spikes and the sine's extremes, and has at most max_points values.
  std::vector<double> data(10000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = std::sin(static_cast<double>(i) / 300.0);
  data[1234] = 50;
  data[8765] = -70;
  for (size_t points : {2u, 3u, 10u, 101u, 1000u}) {
    const std::vector<double> out =
        DecimateMinMax(data.size(), points, [&](size_t i) { return data[i]; });
    EXPECT_LE(out.size(), points);
    EXPECT_GE(out.size(), points / 2);
    EXPECT_EQ(*std::max_element(out.begin(), out.end()), 50);
    EXPECT_EQ(*std::min_element(out.begin(), out.end()), -70);
  }
  // Within a bucket the extremes come in the order in which they occur.
  const std::vector<int> ramp = {5, 9, 1, 7, 0, 8, 2, 6};
  EXPECT_EQ(DecimateMinMax(ramp.size(), 4, [&](size_t i) { return ramp[i]; }),
            (std::vector<double>{9, 1, 0, 8}));
}

TEST(OptionsTest, RegistryAndListenForms) {
  const RegistrySpec full = ParseRegistry("lab=10.1.2.3:5678/platform");
  EXPECT_EQ(full.name, "lab");
  EXPECT_EQ(full.host, "10.1.2.3");
  EXPECT_EQ(full.port, 5678);
  EXPECT_EQ(full.root, "platform");
  const RegistrySpec bare = ParseRegistry("localhost:5679");
  EXPECT_EQ(bare.name, "localhost:5679");
  EXPECT_EQ(bare.root, "app");
  for (const char* bad : {"nohost", "=h:1", "h:0", "h:70000", "h:12x", "a=h:1/other", ":5",
                          "a<b=h:1"}) {
    EXPECT_THROW(ParseRegistry(bad), UsageError) << bad;
  }
  EXPECT_THROW(CheckUniqueNames({ParseRegistry("a=h:1"), ParseRegistry("a=k:2")}), UsageError);

  Options options;
  ParseListen("0.0.0.0:0", options);
  EXPECT_EQ(options.listenAddress, "0.0.0.0");
  EXPECT_EQ(options.listenPort, 0);
  ParseListen("[::1]:8081", options);
  EXPECT_EQ(options.listenAddress, "::1");
  EXPECT_EQ(options.listenPort, 8081);
  EXPECT_THROW(ParseListen("8080", options), UsageError);
  EXPECT_THROW(ParseListen("h:99999", options), UsageError);
}

TEST(RequestTest, TargetsPathsAndCountsAreChecked) {
  const Target target = ParseTarget("/api/value?registry=r%201&path=a.b+c&pos=3&flag");
  EXPECT_EQ(target.path, "/api/value");
  EXPECT_EQ(target.params.at("registry"), "r 1");
  EXPECT_EQ(target.params.at("path"), "a.b c");
  EXPECT_EQ(target.params.at("flag"), "");
  EXPECT_EQ(Status([] { ParseTarget("/api/value?path=%4"); }), 400);
  EXPECT_EQ(Status([] { ParseTarget("/api/value?path=%zz"); }), 400);
  EXPECT_EQ(Status([] { ParseTarget("/api/value?path=a&path=b"); }), 400);
  EXPECT_EQ(Status([] { ParseTarget("/" + std::string(c_maxTargetLength, 'a')); }), 400);

  EXPECT_EQ(CheckNodePath("").size(), 0u);
  EXPECT_EQ(CheckNodePath("a.<img src=x>.c"), (roz::Path{"a", "<img src=x>", "c"}));
  EXPECT_EQ(Status([] { CheckNodePath("a..b"); }), 400);
  EXPECT_EQ(Status([] { CheckNodePath(".a"); }), 400);
  EXPECT_EQ(Status([] { CheckNodePath("a."); }), 400);
  EXPECT_EQ(Status([] { CheckNodePath(std::string("a\nb")); }), 400);
  EXPECT_EQ(Status([] { CheckNodePath(std::string(c_maxPathLength + 1, 'a')); }), 400);
  std::string deep = "a";
  for (size_t i = 0; i < c_maxPathElements; ++i) deep += ".a";
  EXPECT_EQ(Status([&] { CheckNodePath(deep); }), 400);

  EXPECT_EQ(ParseCount("42", 100, "depth"), 42u);
  EXPECT_EQ(Status([] { ParseCount("101", 100, "depth"); }), 400);
  EXPECT_EQ(Status([] { ParseCount("-1", 100, "depth"); }), 400);
  EXPECT_EQ(Status([] { ParseCount("99999999999999999999999", 100, "depth"); }), 400);
}

TEST(JsonValuesTest, ValuesAreCheckedAgainstTheNodeType) {
  using namespace roz::enums;
  const auto convert = [](const nlohmann::json& j, NodeValType_e type, bool array) {
    return ValueFromJson(j, type, array, "n");
  };
  EXPECT_EQ(convert(7, eLong, false).Get<int32_t>(), 7);
  EXPECT_EQ(convert("0x10", eULong, false).Get<uint32_t>(), 16u);
  EXPECT_EQ(convert(true, eBool, false).Get<bool>(), true);
  EXPECT_EQ(convert(0.5, eFloat, false).Get<float>(), 0.5f);
  EXPECT_EQ(convert(18446744073709551615ull, eULongLong, false).Get<uint64_t>(),
            18446744073709551615ull);
  EXPECT_EQ(convert("fast", eEnumeration, false).Get<std::string>(), "fast");
  EXPECT_EQ(convert(nlohmann::json::array({1, 2, 3}), eDouble, true).Get<std::vector<double>>(),
            (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(convert(4, eLong, true).Get<std::vector<int32_t>>(), (std::vector<int32_t>{4}));
  // Out of range, wrong kind, arrays for scalars: 400 naming the node.
  for (const auto& [j, type] : std::vector<std::pair<nlohmann::json, NodeValType_e>>{
           {-1, eULong},
           {4294967296ll, eULong},
           {2147483648ll, eLong},
           {-1, eULongLong},
           {1.5, eLong},
           {"abc", eDouble},
           {1, eBool},
           {1, eString},
           {1e300, eFloat},
           {nlohmann::json::array({1}), eLong},
           {nullptr, eDouble}}) {
    int status = 0;
    std::string text;
    try {
      convert(j, type, false);
    } catch (const ApiError& e) {
      status = e.Status();
      text = e.what();
    }
    EXPECT_EQ(status, 400) << j.dump();
    EXPECT_TRUE(text.find("for n") != std::string::npos || text.rfind("n holds", 0) == 0) << text;
  }
  EXPECT_EQ(Status([&] { convert(nlohmann::json::array({1, "x"}), eLong, true); }), 400);
  EXPECT_EQ(TextElements(nlohmann::json::array({"a", "b"})), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(TextElements(nlohmann::json::array({"a", 1})).empty());
}

}  // namespace
