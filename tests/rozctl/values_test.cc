// rozctl's value handling without a server: the text and JSON forms of
// values, the splitting of put's arguments and the conversion of texts by
// value type.
#include "values.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace {

using rozctl::Failure;
using rozctl::ParseValue;
using rozctl::SplitValues;
using rozctl::ValueJson;
using rozctl::ValueText;
namespace enums = roz::enums;

TEST(RozctlValuesTest, TextFormsReadBackExactly) {
  EXPECT_EQ(ValueText(istd::Any(true)), "true");
  EXPECT_EQ(ValueText(istd::Any(-12)), "-12");
  EXPECT_EQ(ValueText(istd::Any(18446744073709551615ull)), "18446744073709551615");
  EXPECT_EQ(ValueText(istd::Any(1.0)), "1");
  // Shortest exact form, not six significant digits.
  EXPECT_EQ(ValueText(istd::Any(0.1)), "0.1");
  EXPECT_EQ(ValueText(istd::Any(1234567.125)), "1234567.125");
  EXPECT_EQ(ValueText(istd::Any(0.1f)), "0.1");
  EXPECT_EQ(ValueText(istd::Any(std::string("bench 3"))), "bench 3");
  // Arrays always in brackets, also with one element or none.
  EXPECT_EQ(ValueText(istd::Any(std::vector<int32_t>{5})), "[5]");
  EXPECT_EQ(ValueText(istd::Any(std::vector<double>{})), "[]");
  EXPECT_EQ(ValueText(istd::Any(std::vector<bool>{true, false})), "[true,false]");
  EXPECT_EQ(ValueText(istd::Any(std::vector<std::string>{"a", "b"})), "[a,b]");
  EXPECT_THROW(ValueText(istd::Any()), istd::Exception);
  EXPECT_THROW(ValueText(istd::Any(short{1})), istd::Exception);
}

TEST(RozctlValuesTest, JsonKeepsTypes) {
  EXPECT_EQ(ValueJson(istd::Any(false)), nlohmann::json(false));
  EXPECT_EQ(ValueJson(istd::Any(5000000000ll)), nlohmann::json(5000000000ll));
  EXPECT_EQ(ValueJson(istd::Any(0.25f)), nlohmann::json(0.25));
  EXPECT_EQ(ValueJson(istd::Any(std::vector<uint32_t>{1, 2})), nlohmann::json({1, 2}));
  // JSON has no NaN: it travels as text.
  EXPECT_EQ(ValueJson(istd::Any(std::numeric_limits<double>::quiet_NaN())), nlohmann::json("nan"));
}

TEST(RozctlValuesTest, PutArgumentsSplitAtCommasOnlyForOneArrayArgument) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitValues({"1,2,3"}, true), (V{"1", "2", "3"}));
  EXPECT_EQ(SplitValues({"a,,b"}, true), (V{"a", "", "b"}));
  EXPECT_EQ(SplitValues({"1", "2"}, true), (V{"1", "2"}));
  EXPECT_EQ(SplitValues({"a,b"}, false), (V{"a,b"}));
  EXPECT_EQ(SplitValues({"1,2", "3"}, true), (V{"1,2", "3"}));
}

TEST(RozctlValuesTest, TextsConvertByValueTypeOrFailWithTheNode) {
  EXPECT_EQ(ParseValue<int32_t>("-7", enums::eLong, "a.b"), -7);
  EXPECT_EQ(ParseValue<int32_t>("0x1F", enums::eLong, "a.b"), 31);
  EXPECT_EQ(ParseValue<uint64_t>("17179869184", enums::eULongLong, "a.b"), 17179869184ull);
  EXPECT_EQ(ParseValue<bool>("true", enums::eBool, "a.b"), true);
  EXPECT_EQ(ParseValue<bool>("0", enums::eBool, "a.b"), false);
  EXPECT_DOUBLE_EQ(ParseValue<double>("2.5", enums::eDouble, "a.b"), 2.5);
  EXPECT_EQ(ParseValue<std::string>("x,y", enums::eString, "a.b"), "x,y");

  try {
    ParseValue<uint32_t>("-1", enums::eULong, "settings.rate");
    FAIL() << "no failure";
  } catch (const Failure& f) {
    EXPECT_EQ(f.Text(), "rozctl: cannot convert \"-1\" to a ULong value for settings.rate");
    EXPECT_EQ(f.ExitCode(), 1);
  }
  EXPECT_THROW(ParseValue<int32_t>("12a", enums::eLong, "a"), Failure);
  EXPECT_THROW(ParseValue<int32_t>("4294967296", enums::eLong, "a"), Failure);
  EXPECT_THROW(ParseValue<float>("", enums::eFloat, "a"), Failure);
  EXPECT_THROW(ParseValue<bool>("yes", enums::eBool, "a"), Failure);
}

TEST(RozctlValuesTest, FlagAndTypeNames) {
  EXPECT_EQ(rozctl::FlagNames(enums::eRead | enums::eWrite | enums::eArray), "read write array");
  EXPECT_EQ(rozctl::FlagNames(0), "none");
  EXPECT_EQ(rozctl::TypeName(enums::eEnumeration), "Enumeration");
  EXPECT_EQ(rozctl::TypeName(static_cast<enums::NodeValType_e>(42)), "42");
  // A library message passes unchanged.
  EXPECT_EQ(Failure::Library("ireg: node not found: a").Text(), "ireg: node not found: a");
}

}  // namespace
