// Every standard name of an integer type reaches the value slot of its width
// and signedness through roz::Node and istd::Any, on x86-64 (int64_t is long,
// long long is another name of it) and on i386 (int64_t is long long, long is
// another name of int32_t). The list of which name is which type is written
// out per word size, so that a wrong mapping on either build fails to
// compile.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include "client/roz.h"
#include "client/value_type.h"
#include "istd/value_types.h"
#include "value_node.h"

namespace {

using namespace roz::enums;
using ::testing::ElementsAre;
using testutil::MakeValueNode;
using testutil::ValueNodePtr;

// ---- the mapping, by word size ----

static_assert(roz::c_valueTypeOf<int> == eLong && roz::c_valueTypeOf<unsigned int> == eULong);
static_assert(roz::c_valueTypeOf<long long> == eLongLong &&
              roz::c_valueTypeOf<unsigned long long> == eULongLong);
static_assert(roz::c_valueTypeOf<int32_t> == eLong && roz::c_valueTypeOf<uint32_t> == eULong &&
              roz::c_valueTypeOf<int64_t> == eLongLong &&
              roz::c_valueTypeOf<uint64_t> == eULongLong);
#if LONG_MAX == INT64_MAX
static_assert(std::is_same_v<int64_t, long> && std::is_same_v<uint64_t, unsigned long>);
static_assert(roz::c_valueTypeOf<long> == eLongLong &&
              roz::c_valueTypeOf<unsigned long> == eULongLong);
static_assert(std::is_same_v<istd::FixedWidth_t<long long>, long> &&
              std::is_same_v<istd::FixedWidth_t<std::vector<unsigned long long>>,
                             std::vector<unsigned long>>);
#else
static_assert(std::is_same_v<int64_t, long long> && std::is_same_v<uint64_t, unsigned long long>);
static_assert(roz::c_valueTypeOf<long> == eLong && roz::c_valueTypeOf<unsigned long> == eULong);
static_assert(
    std::is_same_v<istd::FixedWidth_t<long>, int> &&
    std::is_same_v<istd::FixedWidth_t<std::vector<unsigned long>>, std::vector<unsigned int>>);
#endif
// No value types: they keep their own type and have no slot.
static_assert(std::is_same_v<istd::FixedWidth_t<short>, short> &&
              std::is_same_v<istd::FixedWidth_t<char>, char>);
static_assert(roz::c_valueTypeOf<short> == eUndefined &&
              roz::c_valueTypeOf<signed char> == eUndefined);

// The table sends each code to the element type of its width.
static_assert(roz::VisitValueType(
                  eULongLong, [](auto tag) { return sizeof(typename decltype(tag)::Type); },
                  [] { return size_t{0}; }) == 8);

// ---- every name through every typed member ----

// A node with one readable, writable array per integer value type; each
// holds the largest value of its type, which no narrower or differently
// signed type can hold.
ValueNodePtr IntegerNode() {
  const auto v = MakeValueNode("v");
  const roz::Flags flags = eRead | eWrite | eArray;
  v->Define<int32_t>({"Long"}, flags, {INT32_MAX, 1});
  v->Define<uint32_t>({"ULong"}, flags, {UINT32_MAX, 1});
  v->Define<int64_t>({"LongLong"}, flags, {INT64_MAX, 1});
  v->Define<uint64_t>({"ULongLong"}, flags, {UINT64_MAX, 1});
  return v;
}

template <typename T>
class IntegerNameTest : public ::testing::Test {};
using IntegerNames = ::testing::Types<int, unsigned int, long, unsigned long, long long,
                                      unsigned long long, int32_t, uint32_t, int64_t, uint64_t>;
TYPED_TEST_SUITE(IntegerNameTest, IntegerNames);

TYPED_TEST(IntegerNameTest, ReachesTheSlotOfItsWidthAndSignedness) {
  using T = TypeParam;
  using Fixed = istd::FixedWidth_t<T>;
  constexpr T c_max = std::numeric_limits<T>::max();
  const auto v = IntegerNode();
  roz::Node node(v, {istd::EnumMap<NodeValType_e>::items.FindText(roz::c_valueTypeOf<T>)});

  // Scalars: typed read, reporting read, conversion operator.
  T value = 0;
  node.Get(value, 0);
  EXPECT_EQ(value, c_max);
  value = 0;
  EXPECT_TRUE(node.GetValue(value, 1));
  EXPECT_EQ(value, T{1});
  const T converted = node;
  EXPECT_EQ(converted, c_max);
  node.Set(T{7}, 1);
  EXPECT_TRUE(node.SetValue(T{8}, 0));
  EXPECT_THAT(v->template Values<Fixed>(node.GetRelPath()), ElementsAre(8, 7));

  // Vectors.
  EXPECT_TRUE(node.SetValue(std::vector<T>{c_max, 2, 3}, 0));
  std::vector<T> values;
  node.Get(values, 1, 2);
  EXPECT_THAT(values, ElementsAre(2, 3));
  EXPECT_TRUE(node.GetValue(values, 0, 0));
  EXPECT_THAT(values, ElementsAre(c_max, 2, 3));
  const std::vector<T> all = node;
  EXPECT_EQ(all, values);

  // Text forms, raw buffers and text cells of the type itself.
  EXPECT_EQ(node.template PrintValue<T>(), "[" + std::to_string(c_max) + ",2,3]");
  T raw[3] = {};
  node.template GetArray<T>(raw, sizeof raw);
  EXPECT_THAT(raw, ElementsAre(c_max, 2, 3));
  raw[2] = 4;
  node.template SetArray<T>(raw);
  EXPECT_THAT(v->template Values<Fixed>(node.GetRelPath()), ElementsAre(c_max, 2, 4));
  char cells[3][24] = {};
  node.template GetStringArray<T>(cells, sizeof cells, sizeof cells[0]);
  EXPECT_STREQ(cells[0], std::to_string(c_max).c_str());
  std::strcpy(cells[1], "0x10");
  node.template SetStringArray<T>(cells, sizeof cells[0]);
  EXPECT_THAT(v->template Values<Fixed>(node.GetRelPath()), ElementsAre(c_max, 16, 4));

  // The by-type forms agree with the typed ones.
  Fixed byType[3] = {};
  node.GetArrayByType(byType, sizeof byType);
  EXPECT_THAT(byType, ElementsAre(c_max, 16, 4));

  // A dynamic value of this name holds the fixed-width type and gives it
  // back under every name of it.
  const istd::Any any(c_max);
  EXPECT_TRUE(any.Holds<Fixed>());
  EXPECT_EQ(any.Get<T>(), c_max);
  EXPECT_EQ(any.Get<Fixed>(), c_max);
  const istd::Any anyVector(std::vector<T>{1, c_max});
  EXPECT_TRUE(anyVector.IsArray());
  EXPECT_EQ(anyVector.Size(), 2u);
  EXPECT_EQ(anyVector.Get<std::vector<Fixed>>(), (std::vector<Fixed>{1, c_max}));
  EXPECT_EQ(anyVector.Get<std::vector<T>>(), (std::vector<T>{1, c_max}));
}

TEST(IntegerNameTest, LiteralsAndMixedNamesPickTheirSlots) {
  const auto v = IntegerNode();
  const roz::Node l(v, {"Long"}), ll(v, {"LongLong"}), ull(v, {"ULongLong"});
  EXPECT_TRUE(l.SetValue(5, 0));  // an int literal: Long
  EXPECT_TRUE(ll.SetValue(std::vector<long long>{-1, -2}, 0));
  EXPECT_TRUE(ll.SetValue(5LL, 0));
  EXPECT_TRUE(ull.SetValue(5ULL, 1));
  // long is LongLong on x86-64 and Long on i386.
  const bool wideLong = sizeof(long) == 8;
  const roz::Node& longNode = wideLong ? ll : l;
  EXPECT_TRUE(longNode.SetValue(std::vector<long>{-3, -4}, 0));
  EXPECT_TRUE(longNode.SetValue(6L, 1));
  if (wideLong) {
    EXPECT_THAT(v->Values<int32_t>({"Long"}), ElementsAre(5, 1));
    EXPECT_THAT(v->Values<int64_t>({"LongLong"}), ElementsAre(-3, 6));
  } else {
    EXPECT_THAT(v->Values<int32_t>({"Long"}), ElementsAre(-3, 6));
    EXPECT_THAT(v->Values<int64_t>({"LongLong"}), ElementsAre(5, -2));
  }
  EXPECT_THAT(v->Values<uint64_t>({"ULongLong"}), ElementsAre(UINT64_MAX, 5u));

  int64_t fixed = 0;
  long long named = 0;
  EXPECT_TRUE(ll.GetValue(fixed, 1));
  EXPECT_TRUE(ll.GetValue(named, 1));
  EXPECT_EQ(fixed, wideLong ? 6 : -2);
  EXPECT_EQ(named, fixed);
  const int64_t fixedFirst = ll;
  const long long namedFirst = ll;
  const unsigned long long unsignedFirst = ull;
  EXPECT_EQ(fixedFirst, wideLong ? -3 : 5);
  EXPECT_EQ(namedFirst, fixedFirst);
  EXPECT_EQ(unsignedFirst, UINT64_MAX);

  // A slot of another width is another type: the node refuses it.
  EXPECT_FALSE(l.SetValue(5LL, 0));
  int narrow = 0;
  EXPECT_FALSE(ll.GetValue(narrow, 0));
}

}  // namespace
