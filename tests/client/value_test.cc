#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "client/roz.h"
#include "common/test_util.h"
#include "istd/log.h"
#include "istd/trace_fixture.h"
#include "value_node.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testutil::MakeLocalNode;
using testutil::MakeValueNode;
using testutil::ThrownText;
using testutil::ValueNode;
using namespace roz::enums;

namespace {

const roz::Flags c_rwArray = eRead | eWrite | eArray;

// A buffer with guard bytes before and after the usable part, so that a
// write outside [0, size) is seen.
class Guarded {
 public:
  explicit Guarded(size_t size) : m_bytes(size + 2 * c_guard, c_fill), m_size(size) {}
  char* Data() { return m_bytes.data() + c_guard; }
  // The bytes from `offset` up to the first NUL or the end of the buffer.
  std::string Text(size_t offset) const {
    const char* begin = m_bytes.data() + c_guard + offset;
    const char* end = m_bytes.data() + m_bytes.size();
    return std::string(begin, std::find(begin, end, '\0'));
  }
  bool GuardsIntact() const {
    for (size_t i = 0; i < c_guard; ++i) {
      if (m_bytes[i] != c_fill || m_bytes[c_guard + m_size + i] != c_fill) return false;
    }
    return true;
  }
  bool Untouched() const {
    for (char c : m_bytes) {
      if (c != c_fill) return false;
    }
    return true;
  }

 private:
  static constexpr size_t c_guard = 8;
  static constexpr char c_fill = '#';
  std::vector<char> m_bytes;
  size_t m_size;
};

TEST(NodeValueTest, TypedGetAndSetReachTheSlotsOfEveryType) {
  const auto v = MakeValueNode("v");
  v->Define<bool>({"b"}, eRead | eWrite, {false});
  v->Define<int32_t>({"i"}, eRead | eWrite, {0});
  v->Define<uint32_t>({"u"}, eRead | eWrite, {0});
  v->Define<int64_t>({"ll"}, eRead | eWrite, {0});
  v->Define<uint64_t>({"ull"}, eRead | eWrite, {0});
  v->Define<double>({"d"}, eRead | eWrite, {0});
  v->Define<float>({"f"}, eRead | eWrite, {0});
  v->Define<std::string>({"s"}, eRead | eWrite, {""});
  const roz::Node b(v, {"b"}), i(v, {"i"}), u(v, {"u"}), ll(v, {"ll"}), ull(v, {"ull"}),
      d(v, {"d"}), f(v, {"f"}), s(v, {"s"});
  b.Set(true, 0);
  i.Set(-5, 0);
  u.Set(7u, 0);
  ll.Set(-(1LL << 40), 0);
  ull.Set(1ULL << 63, 0);
  d.Set(2.5, 0);
  f.Set(1.25f, 0);
  s.Set("text", 0);  // a character pointer reaches the string slot, not the bool one
  EXPECT_TRUE(static_cast<bool>(b));
  EXPECT_EQ(static_cast<int32_t>(i), -5);
  EXPECT_EQ(static_cast<uint32_t>(u), 7u);
  EXPECT_EQ(static_cast<int64_t>(ll), -(1LL << 40));
  EXPECT_EQ(static_cast<uint64_t>(ull), 1ULL << 63);
  EXPECT_EQ(static_cast<double>(d), 2.5);
  EXPECT_EQ(static_cast<float>(f), 1.25f);
  const std::string text = s;
  EXPECT_EQ(text, "text");
  char mutableText[] = "again";
  char* pointer = mutableText;
  EXPECT_TRUE(s.SetValue(pointer, 0));
  EXPECT_EQ(static_cast<std::string>(s), "again");
  EXPECT_THROW(static_cast<void>(static_cast<int32_t>(s)), istd::Exception)
      << "conversion failures pass through";
}

TEST(NodeValueTest, VectorsPositionsCountsAndVectorBoolElements) {
  const auto v = MakeValueNode("v");
  v->Define<int32_t>({"a"}, c_rwArray, {1, 2, 3, 4});
  v->Define<bool>({"flags"}, c_rwArray, {false, false});
  const roz::Node a(v, {"a"});
  std::vector<int32_t> part;
  a.Get(part, 1, 2);
  EXPECT_THAT(part, ElementsAre(2, 3));
  EXPECT_TRUE(a.GetValue(part, 0, 0));
  EXPECT_THAT(part, ElementsAre(1, 2, 3, 4));
  a.Set(std::vector<int32_t>{9, 8}, 0);
  const std::vector<int32_t> all = a;
  EXPECT_THAT(all, ElementsAre(9, 8));
  a.Set(5, 1);
  EXPECT_THAT(v->Values<int32_t>({"a"}), ElementsAre(9, 5));

  const roz::Node flags(v, {"flags"});
  std::vector<bool> source{true, false};
  flags.Set(source[0], 1);
  EXPECT_TRUE(flags.SetValue(source[0], 0));
  const std::vector<bool> read = flags;
  EXPECT_THAT(read, ElementsAre(true, true));
}

using NodeValueTraceTest = TraceFixture;

TEST_F(NodeValueTraceTest, GetValueAndSetValueReportFailuresAndReturnFalse) {
  const auto v = MakeValueNode("v");
  v->Define<int32_t>({"i"}, eRead, {3});
  const roz::Node i(v, {"i"});
  StartTrace(istd::eLow);
  int32_t value = 0;
  EXPECT_TRUE(i.GetValue(value, 0));
  EXPECT_EQ(value, 3);
  double wrong = 0;
  EXPECT_FALSE(i.GetValue(wrong, 0));
  v->m_failure = ValueNode::eStdFailure;
  EXPECT_FALSE(i.SetValue(4, 0));
  roz::Node dead(MakeValueNode("d"), roz::c_noRelPath);
  EXPECT_FALSE(dead.GetValue(value, 0));
  EXPECT_EQ(value, 3) << "a failed read leaves the value alone";
  const std::vector<std::string> messages = TraceMessages();
  EXPECT_THAT(messages,
              Contains("Exception at getting value for ireg node i: ireg: invalid type: i"));
  EXPECT_THAT(messages,
              Contains("Exception at setting value for ireg node i: injected std failure"));
  EXPECT_THAT(
      messages,
      Contains("Exception at getting value for ireg node (null): Node is not valid anymore."));
}

TEST(NodeValueTest, UnknownExceptionsAreLoggedAsWarnings) {
  testutil::TempDir dir;
  const std::string log = dir.File("values.log");
  const testutil::ChildResult result = testutil::RunInChild([&] {
    istd::Log::Init(log);
    const auto v = MakeValueNode("v");
    v->Define<int32_t>(roz::c_noRelPath, eRead, {1});
    v->m_failure = ValueNode::eOtherFailure;
    int32_t value = 0;
    const roz::Node node(v, roz::c_noRelPath);
    if (node.GetValue(value, 0) || node.SetValue(2, 0)) throw 1;
  });
  ASSERT_EQ(result.exitCode, 0);
  const std::string text = testutil::ReadFile(log);
  EXPECT_THAT(text, HasSubstr("Warning : Unknown exception at getting value for ireg node v."));
  EXPECT_THAT(text, HasSubstr("Warning : Unknown exception at setting value for ireg node v."));
}

TEST(NodeValueTest, PrintValueAndToStringFormsAndCuts) {
  const auto v = MakeValueNode("v");
  v->Define<int32_t>({"one"}, eRead | eArray, {5});
  v->Define<int32_t>({"three"}, eRead | eArray, {1, 2, 3});
  v->Define<bool>({"bools"}, eRead | eArray, {true, false});
  v->Define<int32_t>({"empty"}, eRead | eArray, {});
  v->Define<std::string>({"s"}, eRead, {"abcdefghijkl"});
  v->Define<std::string>({"e"}, eRead, {"auto"}, eEnumeration);
  v->Define<double>({"d"}, eRead, {0.1234567});
  v->Define<int32_t>({"hidden"}, 0, {1});
  v->DefineEmpty({"none"}, eRead);
  EXPECT_EQ(roz::Node(v, {"one"}).PrintValue<int32_t>(), "5");
  EXPECT_EQ(roz::Node(v, {"three"}).PrintValue<int32_t>(), "[1,2,3]");
  EXPECT_EQ(roz::Node(v, {"bools"}).PrintValue<bool>(), "[true,false]");
  EXPECT_EQ(roz::Node(v, {"empty"}).PrintValue<int32_t>(), "N/A");
  EXPECT_EQ(roz::Node(v, {"s"}).PrintValue<int32_t>(), "N/A") << "a failed read";
  const roz::Node s(v, {"s"});
  EXPECT_EQ(s.ToString(10), "abcdefg...");
  EXPECT_EQ(s.ToString(2), "...");
  EXPECT_EQ(s.ToString(0), "abcdefghijkl");
  EXPECT_EQ(s.ToString(12), "abcdefghijkl");
  EXPECT_EQ(roz::Node(v, {"e"}).ToString(), "auto");
  EXPECT_EQ(roz::Node(v, {"d"}).ToString(), "0.123457");
  EXPECT_EQ(roz::Node(v, {"hidden"}).ToString(), "") << "not readable";
  EXPECT_EQ(roz::Node(v, {"none"}).ToString(), "") << "no value";
  std::ostringstream os;
  os << roz::Node(v, {"three"});
  EXPECT_EQ(os.str(), "[1,2,3]");
}

TEST(NodeValueTest, GetArrayByTypeWritesWholeElementsInsideTheBufferOnly) {
  const auto v = MakeValueNode("v");
  v->Define<int64_t>({"ll"}, eRead | eArray, {-2, 3});
  v->Define<bool>({"b"}, eRead | eArray, {true, false, true});
  v->Define<float>({"f"}, eRead | eArray, {1.5f});
  v->Define<int32_t>({"nr"}, eArray, {1});
  v->Define<int32_t>({"scalar"}, eRead, {1});
  v->Define<std::string>({"s"}, eRead | eArray, {"x"});
  v->Define<std::string>({"e"}, eRead | eArray, {"x"}, eEnumeration);

  Guarded twelve(12);
  roz::Node(v, {"ll"}).GetArrayByType(twelve.Data(), 12);
  int64_t first = 0;
  std::memcpy(&first, twelve.Data(), 8);
  EXPECT_EQ(first, -2);
  EXPECT_EQ(twelve.Text(8).substr(0, 4), "####") << "only one whole element fits";
  EXPECT_TRUE(twelve.GuardsIntact());

  Guarded bytes(3);
  roz::Node(v, {"b"}).GetArrayByType(bytes.Data(), 3);
  EXPECT_EQ(bytes.Data()[0], 1);
  EXPECT_EQ(bytes.Data()[1], 0);
  EXPECT_EQ(bytes.Data()[2], 1);
  EXPECT_TRUE(bytes.GuardsIntact());

  Guarded small(3);
  roz::Node(v, {"f"}).GetArrayByType(small.Data(), 3);
  EXPECT_TRUE(small.Untouched()) << "smaller than one element";
  for (const char* name : {"nr", "scalar", "s", "e"}) {
    Guarded buffer(16);
    roz::Node(v, {name}).GetArrayByType(buffer.Data(), 16);
    EXPECT_TRUE(buffer.Untouched()) << name;
  }
  v->m_failure = ValueNode::eIstdFailure;
  Guarded failed(16);
  roz::Node(v, {"ll"}).GetArrayByType(failed.Data(), 16);
  EXPECT_TRUE(failed.Untouched()) << "a failed read writes nothing";
}

TEST(NodeValueTest, SetArrayReadsExactlyTheNodeSizeFromTheBuffer) {
  const auto v = MakeValueNode("v");
  v->Define<uint32_t>({"u"}, c_rwArray, {0, 0});
  v->Define<bool>({"b"}, c_rwArray, {false, false, false});
  v->Define<double>({"none"}, c_rwArray, {});
  const uint32_t words[] = {7, 9, 11};
  roz::Node(v, {"u"}).SetArrayByType(const_cast<uint32_t*>(words));
  EXPECT_THAT(v->Values<uint32_t>({"u"}), ElementsAre(7u, 9u));
  unsigned char flags[] = {0, 5, 1};
  roz::Node(v, {"b"}).SetArrayByType(flags);
  EXPECT_THAT(v->Values<bool>({"b"}), ElementsAre(false, true, true));
  roz::Node(v, {"none"}).SetArray<double>(nullptr);
  EXPECT_EQ(v->m_lastSetCount, 0u) << "an empty vector is written";
  EXPECT_EQ(v->m_setCalls, 3);
}

TEST(NodeValueTest, TextCellsOutAreCutAndNeverWrittenPastTheBuffer) {
  const auto v = MakeValueNode("v");
  v->Define<bool>({"b"}, eRead | eArray, {true, false});
  v->Define<int32_t>({"big"}, eRead | eArray, {123456});
  v->Define<std::string>({"s"}, eRead | eArray, {"alpha", "be", "gamma"});
  v->Define<int32_t>({"empty"}, eRead | eArray, {});

  Guarded cells(8);
  roz::Node(v, {"b"}).GetStringArrayByType(cells.Data(), 8, 4);
  EXPECT_EQ(cells.Text(0), "1");
  EXPECT_EQ(cells.Text(4), "0");
  EXPECT_TRUE(cells.GuardsIntact());

  Guarded cut(4);
  roz::Node(v, {"big"}).GetStringArray<int32_t>(cut.Data(), 4, 4);
  EXPECT_EQ(cut.Text(0), "123");
  EXPECT_TRUE(cut.GuardsIntact());

  // 10 bytes are two whole cells of 4 and a partial one of 2.
  Guarded partial(10);
  roz::Node(v, {"s"}).GetStringArrayByType(partial.Data(), 10, 4);
  EXPECT_EQ(partial.Text(0), "alp");
  EXPECT_EQ(partial.Text(4), "be");
  EXPECT_EQ(partial.Text(8), "g");
  EXPECT_TRUE(partial.GuardsIntact());

  for (size_t cellLen : {size_t{0}, size_t{4}}) {
    Guarded nothing(8);
    roz::Node(v, {cellLen == 0 ? "b" : "empty"}).GetStringArrayByType(nothing.Data(), 8, cellLen);
    EXPECT_TRUE(nothing.Untouched()) << cellLen;
  }
  Guarded zeroBytes(4);
  roz::Node(v, {"b"}).GetStringArrayByType(zeroBytes.Data(), 0, 4);
  EXPECT_TRUE(zeroBytes.Untouched());
}

// Writes `texts` into cells of `cellLen` and returns the buffer.
std::vector<char> Cells(const std::vector<std::string>& texts, size_t cellLen) {
  std::vector<char> buffer(texts.size() * cellLen, '\0');
  for (size_t i = 0; i < texts.size(); ++i) {
    std::memcpy(buffer.data() + i * cellLen, texts[i].data(), std::min(texts[i].size(), cellLen));
  }
  return buffer;
}

TEST(NodeValueTest, TextCellsInConvertWholeTextsOrThrowAndWriteNothing) {
  const auto v = MakeValueNode("v");
  v->Define<int32_t>({"i"}, c_rwArray, {0, 0});
  v->Define<uint32_t>({"u"}, c_rwArray, {0});
  v->Define<bool>({"b"}, c_rwArray, {false, false});
  v->Define<std::string>({"s"}, c_rwArray, {"", ""});
  v->Define<double>({"d"}, c_rwArray, {0});
  roz::Node i(v, {"i"});

  auto buffer = Cells({"0x1F", "-3"}, 8);
  i.SetStringArrayByType(buffer.data(), 8);
  EXPECT_THAT(v->Values<int32_t>({"i"}), ElementsAre(31, -3));
  const int writes = v->m_setCalls;
  for (const char* bad : {"0x", "12a"}) {
    buffer = Cells({bad, "1"}, 8);
    EXPECT_EQ(ThrownText([&] { i.SetStringArray<int32_t>(buffer.data(), 8); }),
              std::string("Bad cast from ") + bad + " to int");
  }
  buffer = Cells({"0xZZ"}, 8);
  EXPECT_EQ(ThrownText([&] { roz::Node(v, {"u"}).SetStringArray<uint32_t>(buffer.data(), 8); }),
            "Bad hex cast from 0xZZ to unsigned int");
  buffer = Cells({"-1"}, 8);
  EXPECT_EQ(ThrownText([&] { roz::Node(v, {"u"}).SetStringArray<uint32_t>(buffer.data(), 8); }),
            "Bad cast from -1 to unsigned int");
  buffer = Cells({"1.5x"}, 8);
  EXPECT_EQ(ThrownText([&] { roz::Node(v, {"d"}).SetStringArray<double>(buffer.data(), 8); }),
            "Bad cast from 1.5x to double");
  EXPECT_EQ(v->m_setCalls, writes) << "failed conversions write nothing";
  EXPECT_THAT(v->Values<int32_t>({"i"}), ElementsAre(31, -3));

  buffer = Cells({"true", "0x0"}, 6);
  roz::Node(v, {"b"}).SetStringArrayByType(buffer.data(), 6);
  EXPECT_THAT(v->Values<bool>({"b"}), ElementsAre(true, false));

  // Cells without a terminating NUL are read up to their own end only.
  buffer = Cells({"abcd", "efgh"}, 4);
  roz::Node(v, {"s"}).SetStringArrayByType(buffer.data(), 4);
  EXPECT_THAT(v->Values<std::string>({"s"}), ElementsAre("abcd", "efgh"));
}

TEST(NodeValueTest, DumpSubTreeModes) {
  const roz::TreeNodePtr start = MakeLocalNode("start");
  const auto a = MakeValueNode("a");
  a->Define<int32_t>(roz::c_noRelPath, eRead, {1});
  start->Add(a);
  a->Add(MakeLocalNode("b"));
  const roz::Node node(start, roz::c_noRelPath);
  EXPECT_EQ(node.DumpSubTree(-1, 0, 0), "a=1\n  b\n");
  EXPECT_EQ(node.DumpSubTree(-1, 1, 0), "a=1\na.b\n");
  EXPECT_EQ(node.DumpSubTree(-1, 4, 0), "a=1\n");
  EXPECT_EQ(node.DumpSubTree(-1, 2, 0),
            "r        "
            " a=1\n"
            "         "
            "   b\n");
  EXPECT_EQ(node.DumpSubTree(1, 0, 0), "a=1\n");
  EXPECT_EQ(roz::Node(a, roz::c_noRelPath).DumpSubTree(-1, 0, 0), "b\n")
      << "paths are relative to the start node";
}

}  // namespace
