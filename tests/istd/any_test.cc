#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <vector>

#include "common/test_util.h"
#include "istd/any.h"

using testutil::ThrownText;

namespace {

std::string Printed(const istd::Any& a) {
  std::ostringstream os;
  os << a;
  return os.str();
}

using testutil::ThrownText;

TEST(AnyTest, GetRequiresTheExactHeldType) {
  const istd::Any five(5);
  EXPECT_EQ(five.Get<int>(), 5);
  EXPECT_EQ(ThrownText([&] { five.Get<unsigned int>(); }), "Invalid value type");
  EXPECT_EQ(ThrownText([&] { five.Get<long long>(); }), "Invalid value type");
  EXPECT_EQ(istd::Any("text").Get<std::string>(), "text");
  EXPECT_EQ(ThrownText([] { istd::Any().Get<int>(); }), "Invalid value type");
}

TEST(AnyTest, CopiesAreDeepAndIndependent) {
  istd::Any a(std::vector<double>{1.0, 2.0});
  istd::Any b = a;
  a = istd::Any(std::string("other"));
  EXPECT_EQ(b.Get<std::vector<double>>(), (std::vector<double>{1.0, 2.0}));
  EXPECT_EQ(a.Get<std::string>(), "other");
}

TEST(AnyTest, PrintsScalarsAndArraysOfEveryHeldType) {
  EXPECT_EQ(Printed(istd::Any(true)), "1");
  EXPECT_EQ(Printed(istd::Any(-3)), "-3");
  EXPECT_EQ(Printed(istd::Any(3u)), "3");
  EXPECT_EQ(Printed(istd::Any(-9000000000LL)), "-9000000000");
  EXPECT_EQ(Printed(istd::Any(18000000000000000000ULL)), "18000000000000000000");
  EXPECT_EQ(Printed(istd::Any(0.5)), "0.5");
  EXPECT_EQ(Printed(istd::Any(1.25f)), "1.25");
  EXPECT_EQ(Printed(istd::Any(std::string("no quotes"))), "no quotes");
  EXPECT_EQ(Printed(istd::Any(std::vector<bool>{true, false, true})), "1,0,1");
  EXPECT_EQ(Printed(istd::Any(std::vector<float>{})), "");
  EXPECT_EQ(Printed(istd::Any(std::vector<int>{1, -2})), "1,-2");
  EXPECT_EQ(Printed(istd::Any(std::vector<std::string>{"a", "b c"})), "a,b c");
  EXPECT_EQ(Printed(istd::Any(std::vector<unsigned long long>{7})), "7");

  std::ostringstream precise;
  precise.precision(3);
  precise << istd::Any(3.14159);
  EXPECT_EQ(precise.str(), "3.14") << "floating values use the stream's precision";
}

TEST(AnyTest, UnsupportedOrEmptyValuesCannotBePrinted) {
  EXPECT_EQ(ThrownText([] { Printed(istd::Any(static_cast<short>(1))); }),
            "Unsupported value type");
  EXPECT_EQ(ThrownText([] { Printed(istd::Any()); }), "Unsupported value type");
  EXPECT_EQ(ThrownText([] { Printed(istd::Any(std::vector<short>{1})); }),
            "Unsupported value type");
}

TEST(AnyTest, SizeAndArrayDetection) {
  EXPECT_EQ(istd::Any(1.0).Size(), 1u);
  EXPECT_EQ(istd::Any().Size(), 1u);
  EXPECT_EQ(istd::Any(std::vector<int>{}).Size(), 0u);
  EXPECT_EQ(istd::Any(std::vector<bool>{true, true, false}).Size(), 3u);
  EXPECT_EQ(istd::Any(std::vector<std::string>{"x", "y"}).Size(), 2u);
  EXPECT_TRUE(istd::Any(std::vector<float>{}).IsArray());
  EXPECT_FALSE(istd::Any(std::string("abc")).IsArray());
  EXPECT_FALSE(istd::Any().IsArray());
  EXPECT_FALSE(istd::Any(std::vector<short>{}).IsArray());
}

TEST(AnyTest, IntegersOfEveryNameHoldTheFixedWidthTypeOfTheirWidth) {
  // long long is int64_t or another name of it; so is long on x86-64, while
  // on i386 long is another name of int32_t.
  const istd::Any wide(-5LL);
  EXPECT_EQ(wide.Type(), typeid(int64_t));
  EXPECT_EQ(wide.Get<long long>(), -5);
  EXPECT_EQ(ThrownText([&] { wide.Get<int32_t>(); }), "Invalid value type");
  const istd::Any named(std::vector<long>{7});
  EXPECT_EQ(named.Type(),
            sizeof(long) == 8 ? typeid(std::vector<int64_t>) : typeid(std::vector<int32_t>));
  EXPECT_EQ(Printed(named), "7");

  // Written into a variable of any name of the same width and signedness.
  long long target = 0;
  istd::AnyReference ref(target);
  ref.Assign(istd::Any(int64_t{9}));
  EXPECT_EQ(target, 9);
  EXPECT_EQ(ThrownText([&] { ref.Assign(istd::Any(11)); }),
            "AnyReference: types differ in AnyReference::Assign ( long long != int).");
}

TEST(AnyReferenceTest, WritesMatchingValuesAndRefusesOthers) {
  int target = 0;
  istd::AnyReference ref(target);
  ref.Assign(42);
  EXPECT_EQ(target, 42);
  ref.Assign(istd::Any(7));
  EXPECT_EQ(target, 7);
  istd::AnyReference copy(ref);
  copy.Assign(9);
  EXPECT_EQ(target, 9) << "copies refer to the same variable";

  EXPECT_EQ(ThrownText([&] { ref.Assign(5u); }),
            "AnyReference: types differ in AnyReference::Assign ( int != unsigned int).");
  EXPECT_EQ(ThrownText([&] { ref.Assign(istd::Any(std::string("x"))); }),
            "AnyReference: types differ in AnyReference::Assign ( int != std::__cxx11::"
            "basic_string<char, std::char_traits<char>, std::allocator<char> >).");
  EXPECT_EQ(target, 9);

  std::string text;
  istd::AnyReference textRef(text);
  textRef.Assign(std::string("written"));
  EXPECT_EQ(text, "written");
  EXPECT_EQ(textRef.Type(), typeid(std::string));
}

TEST(AnyReferenceTest, TypeExceptionNamesConstnessDifference) {
  EXPECT_EQ(ThrownText([] {
              istd::AnyReference::ThrowTypeException("(place)", typeid(int), typeid(const int));
            }),
            "AnyReference: types differ in (place) ( difference in constness of type int).");
}

}  // namespace
