#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/test_util.h"
#include "istd/literals.h"
#include "istd/string_util.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

using testutil::ThrownText;

TEST(LiteralTableTest, LooksUpBothWaysFirstMatchWinsAndMissesThrow) {
  static const istd::Literal_t table[] = {{1, "one"}, {2, "two"}, {1, "uno"}, {0, nullptr}};
  EXPECT_EQ(istd::TextualToNumeric(table, "two"), 2);
  EXPECT_EQ(istd::TextualToNumeric(table, "uno"), 1);
  EXPECT_STREQ(istd::NumericToTextual(table, 1), "one");
  EXPECT_EQ(ThrownText([] { istd::TextualToNumeric(table, "three"); }),
            "Unable to convert text to literal.");
  EXPECT_EQ(ThrownText([] { istd::NumericToTextual(table, 3); }),
            "Unable to convert literal to text.");
}

enum Color_e { eRed = 1, eGreen = 2, eBlue = 4 };

TEST(BiMapTest, BuildsThreeMapsComparingTextsByContent) {
  static const std::pair<Color_e, const char*> table[] = {
      {eRed, "red"}, {eGreen, "green"}, {eBlue, "blue"}};
  const istd::BiMap<Color_e> map(table);
  std::string lookup = "green";  // a different pointer than the table's
  Color_e value = eRed;
  EXPECT_TRUE(map.FindValue(lookup, value));
  EXPECT_EQ(value, eGreen);
  EXPECT_STREQ(map.FindText(eBlue), "blue");
  EXPECT_EQ(map.FindText(static_cast<Color_e>(3)), nullptr);
  EXPECT_FALSE(map.FindValue("Green", value));
  EXPECT_EQ(map.IntMap().at(4), table[2].second) << "texts are not copied";
}

TEST(BiMapTest, RefusesDuplicatedTextOrValue) {
  static const std::pair<Color_e, const char*> sameText[] = {{eRed, "red"}, {eGreen, "red"}};
  static const std::pair<Color_e, const char*> sameValue[] = {{eRed, "red"}, {eRed, "crimson"}};
  EXPECT_EQ(ThrownText([] { istd::BiMap<Color_e> m(sameText); }), "invalid enum description table");
  EXPECT_EQ(ThrownText([] { istd::BiMap<Color_e> m(sameValue); }),
            "invalid enum description table");
}

TEST(StringUtilTest, EqualIsRelativeToTheLargerValue) {
  EXPECT_TRUE(istd::Equal(0.0, 0.0));
  EXPECT_TRUE(istd::Equal(1.0, 1.0 + 1e-16));
  EXPECT_FALSE(istd::Equal(1.0, 1.0 + 1e-14));
  EXPECT_FALSE(istd::Equal(-1.0, 0.0));
  EXPECT_FALSE(istd::Equal(1e-300, 0.0));
  EXPECT_TRUE(istd::Equal(1e20, 1e20 + 1e4));
}

TEST(StringUtilTest, JoinsTrimsAndTokenizes) {
  EXPECT_EQ(istd::StringVecIntoString({"a", "b", "c"}, ", "), "a, b, c");
  EXPECT_EQ(istd::StringVecIntoString({}, ","), "");
  EXPECT_EQ(istd::StringVecIntoString({"only"}, ","), "only");

  EXPECT_EQ(istd::TrimString(nullptr), "");
  EXPECT_EQ(istd::TrimString(" \t\n "), "");
  EXPECT_EQ(istd::TrimString("  a b \r\n"), "a b");

  EXPECT_THAT(istd::TokenizeString(",a,,b,", ","), ElementsAre("a", "b"));
  EXPECT_THAT(istd::TokenizeString("x.y;z", ".;"), ElementsAre("x", "y", "z"));
  EXPECT_THAT(istd::TokenizeString("", ","), IsEmpty());
  EXPECT_THAT(istd::TokenizeString(",,,", ","), IsEmpty());
}

TEST(StringUtilTest, ToBoolAcceptsExactlyFourTexts) {
  EXPECT_TRUE(istd::ToBool("1"));
  EXPECT_TRUE(istd::ToBool("true"));
  EXPECT_FALSE(istd::ToBool("0"));
  EXPECT_FALSE(istd::ToBool("false"));
  for (const char* bad : {"True", "yes", "", " 1", "2"}) {
    EXPECT_EQ(ThrownText([bad] { istd::ToBool(bad); }), "Invalid cast from string to boolean.")
        << bad;
  }
}

TEST(StringUtilTest, HexDumpLaysOutOffsetsBytesPaddingAndCharacters) {
  const unsigned char three[] = {0x41, 0x00, 0xFF};
  EXPECT_EQ(istd::HexDump(three, 3, 4, true), "00000: 41 00 FF     A..\n");
  EXPECT_EQ(istd::HexDump(three, 3, 4, false), "00000: 41 00 FF    \n");
  EXPECT_EQ(istd::HexDump(three, 0, 4, true), "");

  unsigned char bytes[40];
  for (int i = 0; i < 40; ++i) bytes[i] = static_cast<unsigned char>('a' + i % 26);
  // 0 and out-of-range widths mean 24 per line; with characters at most 18.
  const std::vector<std::string> wide = [&] {
    std::vector<std::string> lines;
    std::istringstream is(istd::HexDump(bytes, 40, 0, false));
    for (std::string l; std::getline(is, l);) lines.push_back(l);
    return lines;
  }();
  ASSERT_EQ(wide.size(), 2u);
  EXPECT_EQ(wide[1].substr(0, 7), "00024: ");
  const std::string narrow = istd::HexDump(bytes, 40, 24, true);
  EXPECT_NE(narrow.find("\n00018: "), std::string::npos);
  EXPECT_NE(narrow.find("\n00036: "), std::string::npos);
}

TEST(FromStringTest, IntegersAreWholeTextDecimalOrHexWithPrefix) {
  EXPECT_EQ(istd::FromString<int>("0x1F"), 31);
  EXPECT_EQ(istd::FromString<int>("-12"), -12);
  EXPECT_EQ(istd::FromString<int>("0xFFFFFFFF"), -1) << "hex through the unsigned type";
  EXPECT_EQ(istd::FromString<long long>("0xFFFFFFFFFFFFFFFF"), -1LL);
  EXPECT_EQ(istd::FromString<unsigned long long>("18446744073709551615"),
            18446744073709551615ULL);
  EXPECT_EQ(ThrownText([] { istd::FromString<int>("0x"); }), "Bad cast from 0x to int");
  EXPECT_EQ(ThrownText([] { istd::FromString<int>("12a"); }), "Bad cast from 12a to int");
  EXPECT_EQ(ThrownText([] { istd::FromString<int>(" 12"); }), "Bad cast from  12 to int");
  EXPECT_EQ(ThrownText([] { istd::FromString<int>("4294967296"); }),
            "Bad cast from 4294967296 to int");
  EXPECT_EQ(ThrownText([] { istd::FromString<unsigned int>("-1"); }),
            "Bad cast from -1 to unsigned int");
  EXPECT_EQ(ThrownText([] { istd::FromString<unsigned long long>("-0"); }),
            "Bad cast from -0 to unsigned long long");
}

TEST(FromStringTest, BoolFloatingAndStringRules) {
  EXPECT_TRUE(istd::FromString<bool>("0x1"));
  EXPECT_FALSE(istd::FromString<bool>("0x0"));
  EXPECT_TRUE(istd::FromString<bool>("true"));
  EXPECT_EQ(ThrownText([] { istd::FromString<bool>("True"); }),
            "Invalid cast from string to boolean.");
  EXPECT_DOUBLE_EQ(istd::FromString<double>("1.5e3"), 1500.0);
  EXPECT_FLOAT_EQ(istd::FromString<float>("-0.25"), -0.25f);
  EXPECT_EQ(ThrownText([] { istd::FromString<double>("1.5x"); }), "Bad cast from 1.5x to double");
  EXPECT_EQ(istd::FromString<std::string>(" as is "), " as is ");
}

TEST(FromStringTest, HexToReadsWholeTextAndNamesTheType) {
  EXPECT_EQ(istd::HexTo<unsigned int>("ff"), 255u);
  EXPECT_EQ(istd::HexTo<unsigned int>("0x10"), 16u);
  EXPECT_EQ(ThrownText([] { istd::HexTo<unsigned int>("zz"); }),
            "Bad hex cast from zz to unsigned int");
  EXPECT_EQ(ThrownText([] { istd::HexTo<unsigned int>("12g"); }),
            "Bad hex cast from 12g to unsigned int");
  EXPECT_EQ(ThrownText([] { istd::HexTo<unsigned int>("1FFFFFFFF"); }),
            "Bad hex cast from 1FFFFFFFF to unsigned int");
}

}  // namespace
