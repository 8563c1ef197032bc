// Values of a remote tree through roz::Node: every value type as scalar and
// array, positions and counts, raw buffers, text cells and text forms,
// enumerations, validators, commands, and every failure of a value transfer
// as the server's misbehaving nodes produce it.
#include <gtest/gtest.h>

#include <cstring>

#include "client/roz.h"
#include "remote/remote_fixture.h"

namespace {

using remotetest::RegdProcess;
using remotetest::RemoteTest;
using remotetest::ThrownText;

class ValueTest : public RemoteTest {
 protected:
  static roz::Node At(const roz::Node& platform, const char* path) {
    return platform.GetNode(roz::Tokenize(path));
  }
};

// Writes `next` to the scalar `node`, checks that it reads back typed and
// through the conversion operator, and restores `expected`'s value.
template <typename T>
void RoundTrip(const roz::Node& node, const T& expected, const T& next) {
  T value{};
  EXPECT_TRUE(node.GetValue(value, 0)) << node.GetName();
  EXPECT_EQ(value, expected) << node.GetName();
  EXPECT_TRUE(node.SetValue(next, 0)) << node.GetName();
  node.Get(value, 0);
  EXPECT_EQ(value, next) << node.GetName();
  EXPECT_EQ(static_cast<T>(node), next) << node.GetName();
  node.Set(expected, 0);
}

TEST_F(ValueTest, ScalarsOfEveryType) {
  InClient([&] {
    RegdProcess regd;
    const roz::Node platform = StartAndConnect(regd);
    ASSERT_TRUE(platform.IsValid());
    RoundTrip<bool>(At(platform, "settings.enabled"), true, false);
    RoundTrip<int32_t>(At(platform, "settings.offset"), -12, -2147483647 - 1);
    RoundTrip<uint32_t>(At(platform, "settings.sample_rate"), 48000u, 4294967295u);
    RoundTrip<int64_t>(At(platform, "settings.timeout_ns"), 5000000000LL, -9000000000000LL);
    RoundTrip<uint64_t>(At(platform, "settings.capacity"), 17179869184ULL, 18446744073709551615ULL);
    RoundTrip<double>(At(platform, "settings.gain"), 1.0, 2.5);
    RoundTrip<float>(At(platform, "settings.threshold"), 0.25f, -1.5f);
    RoundTrip<std::string>(At(platform, "settings.label"), "bench 3", "bench 4, left");
    // The other names of the 64-bit types reach the same slots of the proxy.
    RoundTrip<long long>(At(platform, "settings.timeout_ns"), 5000000000LL, -1LL);
    RoundTrip<unsigned long long>(At(platform, "settings.capacity"), 17179869184ULL, 1ULL);

    const roz::Node label = At(platform, "settings.label");
    EXPECT_TRUE(label.SetValue("typed as text", 0));
    EXPECT_EQ(static_cast<std::string>(label), "typed as text");
    EXPECT_EQ(label.ToString(), "typed as text");
    EXPECT_EQ(label.ToString(8), "typed...");
    EXPECT_EQ(At(platform, "settings.gain").ToString(), "1");
    EXPECT_EQ(At(platform, "settings.enabled").ToString(), "true");
    EXPECT_EQ(At(platform, "identity.channels").PrintValue<uint32_t>(), "4");
    EXPECT_EQ(platform.ToString(), "") << "no value";

    // The wrong local type is refused by the server.
    const roz::Node offset = At(platform, "settings.offset");
    double wrong = 0;
    EXPECT_FALSE(offset.GetValue(wrong, 0));
    EXPECT_EQ(ThrownText([&] { offset.Get(wrong, 0); }), "ireg: invalid type: settings.offset");
    EXPECT_EQ(ThrownText([&] { offset.Set(1.5, 0); }), "ireg: invalid type: settings.offset");
  });
}

TEST_F(ValueTest, ArraysOfEveryTypeWithPositionsAndCounts) {
  InClient([&] {
    RegdProcess regd;
    const roz::Node platform = StartAndConnect(regd);
    ASSERT_TRUE(platform.IsValid());

    EXPECT_EQ(static_cast<std::vector<bool>>(At(platform, "calibration.channel_enabled")),
              (std::vector<bool>{true, true, false, true}));
    EXPECT_EQ(static_cast<std::vector<int32_t>>(At(platform, "calibration.offsets")),
              (std::vector<int32_t>{-3, 0, 7, 2}));
    EXPECT_EQ(static_cast<std::vector<uint32_t>>(At(platform, "calibration.ranges")),
              (std::vector<uint32_t>{10, 10, 100, 1000}));
    EXPECT_EQ(static_cast<std::vector<int64_t>>(At(platform, "calibration.timestamps")),
              (std::vector<int64_t>{1700000000000LL, 1700000360000LL}));
    EXPECT_EQ(static_cast<std::vector<uint64_t>>(At(platform, "calibration.counters")),
              (std::vector<uint64_t>{0, 0, 0, 0}));
    EXPECT_EQ(static_cast<std::vector<double>>(At(platform, "calibration.coefficients")),
              (std::vector<double>{1.0, 0.5, 0.25, 0.125}));
    EXPECT_EQ(static_cast<std::vector<float>>(At(platform, "calibration.weights")),
              (std::vector<float>{0.5f, 1.5f, 2.5f}));
    EXPECT_EQ(static_cast<std::vector<std::string>>(At(platform, "calibration.channel_names")),
              (std::vector<std::string>{"ch1", "ch2", "ch3", "ch4"}));

    // A window of the array; the answer may be shorter than asked for.
    const roz::Node offsets = At(platform, "calibration.offsets");
    std::vector<int32_t> part{99, 99, 99, 99, 99};
    EXPECT_TRUE(offsets.GetValue(part, 1, 2));
    EXPECT_EQ(part, (std::vector<int32_t>{0, 7}));
    std::vector<double> coefficients;
    EXPECT_TRUE(At(platform, "calibration.coefficients").GetValue(coefficients, 0, 10));
    EXPECT_EQ(coefficients.size(), 4u);
    EXPECT_TRUE(offsets.GetValue(part, 4, 0));
    EXPECT_TRUE(part.empty()) << "position = size: nothing left";
    EXPECT_FALSE(offsets.GetValue(part, 5, 0)) << "beyond the end";

    // Writes at a position, of one element and of several; an array grows.
    const roz::Node ranges = At(platform, "calibration.ranges");
    EXPECT_TRUE(ranges.SetValue(7u, 3));
    EXPECT_EQ(static_cast<std::vector<uint32_t>>(ranges), (std::vector<uint32_t>{10, 10, 100, 7}));
    EXPECT_TRUE(offsets.SetValue(std::vector<int32_t>{5, 6, 8}, 2));
    EXPECT_EQ(static_cast<std::vector<int32_t>>(offsets), (std::vector<int32_t>{-3, 0, 5, 6, 8}));
    EXPECT_EQ(offsets.GetSize(), 5u);
    const roz::Node enabled = At(platform, "calibration.channel_enabled");
    EXPECT_TRUE(enabled.SetValue(std::vector<bool>{false, true}, 1));
    EXPECT_EQ(static_cast<std::vector<bool>>(enabled),
              (std::vector<bool>{true, false, true, true}));
    const roz::Node names = At(platform, "calibration.channel_names");
    EXPECT_TRUE(names.SetValue(std::vector<std::string>{"left", ""}, 2));
    EXPECT_EQ(static_cast<std::vector<std::string>>(names),
              (std::vector<std::string>{"ch1", "ch2", "left", ""}));
    const roz::Node timestamps = At(platform, "calibration.timestamps");
    EXPECT_TRUE(timestamps.SetValue(std::vector<int64_t>{-1}, 0));
    EXPECT_EQ(timestamps.PrintValue<int64_t>(), "[-1,1700000360000]");
    const roz::Node counters = At(platform, "calibration.counters");
    EXPECT_TRUE(counters.SetValue(std::vector<uint64_t>{18446744073709551615ULL}, 3));
    EXPECT_EQ(counters.ToString(), "[0,0,0,18446744073709551615]");
    const roz::Node weights = At(platform, "calibration.weights");
    EXPECT_TRUE(weights.SetValue(std::vector<float>{}, 0)) << "an empty write is a write";
    EXPECT_EQ(weights.ToString(), "[0.5,1.5,2.5]");
    EXPECT_TRUE(weights.SetValue(std::vector<float>{-0.5f}, 1));
    EXPECT_EQ(weights.ToString(), "[0.5,-0.5,2.5]");

    // Elements of an array come as a buffer, also one at a time.
    uint32_t third = 0;
    EXPECT_EQ(ThrownText([&] { ranges.Get(third, 2); }),
              "ireg: can't assign an array to scalar value: calibration.ranges");
  });
}

TEST_F(ValueTest, RawBuffersAndTextCells) {
  InClient([&] {
    RegdProcess regd;
    const roz::Node platform = StartAndConnect(regd);
    ASSERT_TRUE(platform.IsValid());

    roz::Node offsets = At(platform, "calibration.offsets");
    int raw[4] = {0, 0, 0, 0};
    offsets.GetArrayByType(raw, sizeof raw);
    EXPECT_EQ(raw[0], -3);
    EXPECT_EQ(raw[2], 7);
    raw[1] = 41;
    offsets.SetArrayByType(raw);
    EXPECT_EQ(offsets.ToString(), "[-3,41,7,2]");

    roz::Node enabled = At(platform, "calibration.channel_enabled");
    unsigned char flags[4] = {9, 9, 9, 9};
    enabled.GetArrayByType(flags, sizeof flags);
    EXPECT_EQ(std::vector<int>(flags, flags + 4), (std::vector<int>{1, 1, 0, 1}));
    flags[0] = 0;
    flags[2] = 7;  // any non-zero byte is true
    enabled.SetArrayByType(flags);
    EXPECT_EQ(enabled.ToString(), "[false,true,true,true]");

    int64_t stamps[2] = {0, 0};
    At(platform, "calibration.timestamps").GetArrayByType(stamps, 12);
    EXPECT_EQ(stamps[0], 1700000000000LL);
    EXPECT_EQ(stamps[1], 0) << "a 12-byte buffer holds one element";

    char none[8] = "unset";
    At(platform, "calibration.channel_names").GetArrayByType(none, sizeof none);
    EXPECT_STREQ(none, "unset") << "strings have no raw form";

    char cells[3 * 8] = {};
    At(platform, "calibration.coefficients").GetStringArrayByType(cells, sizeof cells, 8);
    EXPECT_STREQ(cells, "1");
    EXPECT_STREQ(cells + 8, "0.5");
    EXPECT_STREQ(cells + 16, "0.25");

    roz::Node names = At(platform, "calibration.channel_names");
    char text[4 * 6] = "a";
    std::strcpy(text + 6, "bb");
    std::strcpy(text + 12, "ccc");
    std::strcpy(text + 18, "d");
    names.SetStringArrayByType(text, 6);
    EXPECT_EQ(names.ToString(), "[a,bb,ccc,d]");

    roz::Node ranges = At(platform, "calibration.ranges");
    char numbers[4 * 8] = "0x1F";
    std::strcpy(numbers + 8, "2");
    std::strcpy(numbers + 16, "3");
    std::strcpy(numbers + 24, "-4");
    EXPECT_EQ(
        ThrownText([&] { ranges.SetStringArrayByType(numbers, 8); }).rfind("Bad cast from -4", 0),
        0u);
    EXPECT_EQ(ranges.ToString(), "[10,10,100,1000]") << "nothing written";
    std::strcpy(numbers + 24, "4");
    ranges.SetStringArrayByType(numbers, 8);
    EXPECT_EQ(ranges.ToString(), "[31,2,3,4]");
  });
}

TEST_F(ValueTest, EnumerationsValidatorsAndCommands) {
  InClient([&] {
    RegdProcess regd;
    const roz::Node platform = StartAndConnect(regd);
    ASSERT_TRUE(platform.IsValid());

    const roz::Node mode = At(platform, "settings.mode");
    EXPECT_EQ(mode.GetValueType(), roz::enums::eEnumeration);
    std::vector<std::string> domain;
    EXPECT_TRUE(mode.GetDomainValues(domain));
    EXPECT_EQ(domain, (std::vector<std::string>{"normal", "fast", "precise", "standby"}));
    EXPECT_EQ(mode.ToString(), "normal");
    EXPECT_TRUE(mode.SetValue("fast", 0));
    EXPECT_EQ(static_cast<std::string>(mode), "fast");
    EXPECT_EQ(ThrownText([&] { mode.Set(std::string("turbo"), 0); }),
              "value \"turbo\" is not in the domain: settings.mode");
    EXPECT_TRUE(At(platform, "settings.label").GetDomainValues(domain));
    EXPECT_TRUE(domain.empty());

    std::string expression;
    EXPECT_TRUE(At(platform, "settings.gain").GetValidatorExpression(expression));
    EXPECT_EQ(expression, "0.01 <= value && value <= 1000");
    EXPECT_FALSE(At(platform, "settings.label").GetValidatorExpression(expression));

    // The reset command restores the settings.
    const roz::Node offset = At(platform, "settings.offset");
    EXPECT_TRUE(offset.SetValue(5, 0));
    const roz::Node reset = platform["reset"];
    EXPECT_TRUE(reset.IsExecutable());
    EXPECT_TRUE(reset.Execute());
    EXPECT_EQ(static_cast<int32_t>(offset), -12);
    EXPECT_EQ(static_cast<std::string>(mode), "normal");
    EXPECT_EQ(ThrownText([&] { offset.Execute(); }), "ireg: node is not executable: platform");
  });
}

const char* const c_faultyTree = R"({"name": "faulty", "children": [
    {"name": "seq", "type": "Long", "value": 7, "flags": ["read", "write"],
     "hooks": {"answer": "sequence"}},
    {"name": "empty", "type": "Bool", "value": [true], "flags": ["read", "array"],
     "hooks": {"answer": "empty"}},
    {"name": "strvec", "type": "String", "value": ["a", "b"], "flags": ["read", "array"],
     "hooks": {"answer": "string_vec"}},
    {"name": "other", "type": "Long", "value": 5, "flags": ["read"],
     "hooks": {"answer": "other_scalar"}},
    {"name": "busy", "type": "Long", "value": 1, "flags": ["read", "write"],
     "hooks": {"value_exception": "device busy"}},
    {"name": "typed", "type": "Long", "value": 1, "flags": ["read", "write"],
     "hooks": {"invalid_type": true}},
    {"name": "broken", "type": "Long", "value": 1, "flags": ["read", "write"],
     "hooks": {"system_exception": "COMM_FAILURE"}},
    {"name": "vanished", "type": "Long", "value": 1, "flags": ["read", "write"],
     "hooks": {"not_found": true}},
    {"name": "fixed", "type": "Long", "value": 1, "flags": ["read", "write", "constant"]}]})";

TEST_F(ValueTest, EveryFailureOfATransferHasItsText) {
  InClient([&] {
    StartTrace(istd::eMedium);
    RegdProcess regd;
    const roz::Node root = StartAndConnect(regd, c_faultyTree);
    ASSERT_TRUE(root.IsValid());
    // Handles made directly, without asking the server whether the node
    // exists.
    const auto node = [&](const char* name) {
      return roz::Node(root.GetTreeNode(), roz::Path{name});
    };
    int32_t value = 0;
    std::vector<bool> flags;
    std::vector<std::string> texts;

    EXPECT_EQ(ThrownText([&] { node("seq").Get(value, 0); }),
              "ireg: can't assign an array to scalar value: seq");
    EXPECT_TRUE(Traced("seq: Expected typecode 3, received: 19"));
    EXPECT_EQ(ThrownText([&] { node("other").Get(value, 0); }), "ireg: invalid type: other");
    EXPECT_TRUE(Traced("other: Expected typecode 3, received: 18"));
    EXPECT_EQ(ThrownText([&] { node("empty").Get(flags, 0, 0); }),
              "ireg: value not available: empty");
    EXPECT_EQ(ThrownText([&] { node("strvec").Get(texts, 0, 0); }),
              "ireg: internal error (unable to convert value): strvec");

    EXPECT_EQ(ThrownText([&] { node("busy").Get(value, 0); }), "device busy");
    EXPECT_EQ(ThrownText([&] { node("busy").Set(2, 0); }), "device busy");
    EXPECT_TRUE(Traced("Can't access value: device busy"));
    EXPECT_EQ(ThrownText([&] { node("typed").Get(value, 0); }), "ireg: invalid type: typed");
    EXPECT_EQ(ThrownText([&] { node("typed").Set(2, 0); }), "ireg: invalid type: typed");
    EXPECT_TRUE(Traced("Wrong type: "));
    EXPECT_EQ(ThrownText([&] { node("broken").Get(value, 0); }),
              "ireg: node not accessible: broken");
    EXPECT_EQ(ThrownText([&] { node("broken").Set(2, 0); }), "ireg: node not accessible: broken");
    EXPECT_TRUE(Traced(": Can't access value: broken: CORBA::COMM_FAILURE#"));
    EXPECT_EQ(ThrownText([&] { node("vanished").Get(value, 0); }),
              "ireg: node not found: vanished");
    EXPECT_EQ(ThrownText([&] { node("vanished").Set(2, 0); }), "ireg: node not found: vanished");
    EXPECT_TRUE(Traced(": Can't access node: vanished: node not found: vanished"));
    EXPECT_EQ(ThrownText([&] { node("nowhere").Set(std::vector<int32_t>{1}, 0); }),
              "ireg: node not found: nowhere");
    EXPECT_EQ(ThrownText([&] { node("fixed").Set(2, 0); }), "node is constant: fixed");

    // The ...Value forms report and return false; the proxy stays usable.
    EXPECT_FALSE(node("busy").GetValue(value, 0));
    EXPECT_FALSE(node("seq").SetValue(std::vector<int32_t>{1, 2}, 0));
    EXPECT_TRUE(Traced("Exception at getting value for ireg node busy: device busy"));
    EXPECT_TRUE(node("fixed").GetValue(value, 0));
    EXPECT_EQ(value, 1);
  });
}

}  // namespace
