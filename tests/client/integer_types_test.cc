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

// The table sends each integer code to the element type of its width and
// signedness (negative: signed).
constexpr int SignedWidth(NodeValType_e type) {
  return roz::VisitValueType(
      type,
      [](auto tag) {
        using E = typename decltype(tag)::Type;
        return std::is_signed_v<E> ? -static_cast<int>(sizeof(E)) : static_cast<int>(sizeof(E));
      },
      [] { return 0; });
}
static_assert(SignedWidth(eLong) == -4 && SignedWidth(eULong) == 4 &&
              SignedWidth(eLongLong) == -8 && SignedWidth(eULongLong) == 8 &&
              SignedWidth(eUndefined) == 0);

// ---- every name through every typed member ----

// One readable, writable array per integer value type, each holding the
// largest value of its type (which no narrower or differently signed type
// can hold) and 1.
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
  const auto stored = [&] { return v->template Values<Fixed>(node.GetRelPath()); };

  T value = 0;
  EXPECT_TRUE(node.GetValue(value, 1));
  EXPECT_EQ(value, T{1});
  const T converted = node;
  EXPECT_EQ(converted, c_max);
  EXPECT_TRUE(node.SetValue(T{8}, 1));
  EXPECT_THAT(stored(), ElementsAre(c_max, 8));

  EXPECT_TRUE(node.SetValue(std::vector<T>{c_max, 2, 3}, 0));
  std::vector<T> values;
  EXPECT_TRUE(node.GetValue(values, 1, 2));
  EXPECT_THAT(values, ElementsAre(2, 3));
  const std::vector<T> all = node;
  EXPECT_THAT(all, ElementsAre(c_max, 2, 3));
  EXPECT_EQ(node.template PrintValue<T>(), "[" + std::to_string(c_max) + ",2,3]");

  T raw[3] = {};
  node.template GetArray<T>(raw, sizeof raw);
  raw[2] = 4;
  node.template SetArray<T>(raw);
  char cells[3][24] = {};
  node.template GetStringArray<T>(cells, sizeof cells, sizeof cells[0]);
  std::strcpy(cells[1], "0x10");
  node.template SetStringArray<T>(cells, sizeof cells[0]);
  EXPECT_THAT(stored(), ElementsAre(c_max, 16, 4));

  const istd::Any any(std::vector<T>{1, c_max});
  EXPECT_TRUE(any.Holds<std::vector<Fixed>>());
  EXPECT_EQ(any.Get<std::vector<T>>(), (std::vector<T>{1, c_max}));
  EXPECT_EQ(istd::Any(c_max).Get<T>(), c_max);
}

TEST(IntegerNameTest, LiteralsAndMixedNamesPickTheirSlots) {
  const auto v = IntegerNode();
  const roz::Node l(v, {"Long"}), ll(v, {"LongLong"});
  EXPECT_TRUE(l.SetValue(5, 0));  // an int literal: Long
  EXPECT_TRUE(ll.SetValue(std::vector<long long>{-1, -2}, 0));
  EXPECT_TRUE(ll.SetValue(5LL, 0));
  // long is LongLong on x86-64 and Long on i386.
  const bool wideLong = sizeof(long) == 8;
  const roz::Node& longNode = wideLong ? ll : l;
  EXPECT_TRUE(longNode.SetValue(std::vector<long>{-3, -4}, 0));
  EXPECT_TRUE(longNode.SetValue(6L, 1));
  EXPECT_THAT(v->Values<int32_t>({"Long"}), wideLong ? ElementsAre(5, 1) : ElementsAre(-3, 6));
  EXPECT_THAT(v->Values<int64_t>({"LongLong"}), wideLong ? ElementsAre(-3, 6) : ElementsAre(5, -2));

  int64_t fixed = 0;
  long long named = 0;
  EXPECT_TRUE(ll.GetValue(fixed, 1));
  EXPECT_TRUE(ll.GetValue(named, 1));
  EXPECT_EQ(named, fixed);
  const int64_t fixedFirst = ll;
  const long long namedFirst = ll;
  EXPECT_EQ(namedFirst, fixedFirst);
  EXPECT_EQ(fixedFirst, wideLong ? -3 : 5);
  // A slot of another width is another type.
  EXPECT_FALSE(l.SetValue(5LL, 0));
}

}  // namespace
