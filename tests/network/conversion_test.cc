// istd::Any <-> CORBA::Any conversion, kind names and exception texts.
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <set>
#include <sstream>
#include <utility>

#include "common/test_util.h"
#include "network/conversion.h"

namespace {

// omniORB copies an any by marshalling it, and marshalling strings needs the
// code sets of an initialised ORB, as in every program of the system. ORB_init
// alone opens no end point: the server side starts with the root POA, which
// these tests never touch.
class ClientOrbEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    int argc = 0;
    m_orb = CORBA::ORB_init(argc, nullptr, "omniORB4");
  }
  void TearDown() override {
    m_orb->destroy();
    CORBA::release(m_orb);
  }

 private:
  CORBA::ORB_ptr m_orb = CORBA::ORB::_nil();
};
::testing::Environment* const c_clientOrb =
    ::testing::AddGlobalTestEnvironment(new ClientOrbEnvironment);

using testutil::ThrownText;

template <typename T>
std::string Written(const T& value) {
  std::ostringstream os;
  os << value;
  return os.str();
}

const char* const c_notSimpleCorba = "CORBA::Any to istd::Any is available only for simple types.";
const char* const c_cantConvert = "Internal error: Can't convert CORBA::Any to istd::Any";
const char* const c_notSimpleLocal = "istd::Any to CORBA::Any is available only for simple types.";

template <typename Buffer>
CORBA::Any BufferAny(
    std::initializer_list<typename std::remove_reference_t<decltype(std::declval<Buffer&>()[0])>>
        values) {
  Buffer buffer;
  buffer.length(static_cast<CORBA::ULong>(values.size()));
  CORBA::ULong i = 0;
  for (const auto& v : values) buffer[i++] = v;
  CORBA::Any any;
  any <<= buffer;
  return any;
}

TEST(ConversionTest, CorbaScalarsBecomeTheirLocalTypes) {
  CORBA::Any a;
  a <<= static_cast<CORBA::Long>(INT_MIN);
  EXPECT_EQ(inet::CorbaAnyToAny(a).Get<int32_t>(), INT_MIN);
  a <<= static_cast<CORBA::ULong>(UINT_MAX);
  EXPECT_EQ(inet::CorbaAnyToAny(a).Get<uint32_t>(), UINT_MAX);
  a <<= static_cast<CORBA::LongLong>(LLONG_MIN);
  EXPECT_EQ(inet::CorbaAnyToAny(a).Get<int64_t>(), LLONG_MIN);
  a <<= static_cast<CORBA::ULongLong>(ULLONG_MAX);
  EXPECT_EQ(inet::CorbaAnyToAny(a).Get<uint64_t>(), ULLONG_MAX);
  a <<= static_cast<CORBA::Float>(1.5f);
  EXPECT_EQ(inet::CorbaAnyToAny(a).Get<float>(), 1.5f);
  a <<= static_cast<CORBA::Double>(DBL_MAX);
  EXPECT_EQ(inet::CorbaAnyToAny(a).Get<double>(), DBL_MAX);
  a <<= CORBA::Any::from_boolean(true);
  EXPECT_EQ(inet::CorbaAnyToAny(a).Get<bool>(), true);
  a <<= "text";
  EXPECT_EQ(inet::CorbaAnyToAny(a).Get<std::string>(), "text");
}

TEST(ConversionTest, CorbaBuffersBecomeVectorsOfTheirLength) {
  EXPECT_EQ(inet::CorbaAnyToAny(BufferAny<i_NET::Int32Buffer>({1, 2})).Get<std::vector<int32_t>>(),
            (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(
      inet::CorbaAnyToAny(BufferAny<i_NET::UInt32Buffer>({UINT_MAX})).Get<std::vector<uint32_t>>(),
      (std::vector<uint32_t>{UINT_MAX}));
  EXPECT_EQ(inet::CorbaAnyToAny(BufferAny<i_NET::Int64Buffer>({LLONG_MIN, 3}))
                .Get<std::vector<int64_t>>(),
            (std::vector<int64_t>{LLONG_MIN, 3}));
  EXPECT_EQ(inet::CorbaAnyToAny(BufferAny<i_NET::UInt64Buffer>({ULLONG_MAX}))
                .Get<std::vector<uint64_t>>(),
            (std::vector<uint64_t>{ULLONG_MAX}));
  EXPECT_EQ(
      inet::CorbaAnyToAny(BufferAny<i_NET::FloatBuffer>({0.25f, -1.0f})).Get<std::vector<float>>(),
      (std::vector<float>{0.25f, -1.0f}));
  EXPECT_EQ(inet::CorbaAnyToAny(BufferAny<i_NET::DoubleBuffer>({})).Get<std::vector<double>>(),
            std::vector<double>{});
  EXPECT_EQ(
      inet::CorbaAnyToAny(BufferAny<i_NET::BooleanBuffer>({1, 0, 1})).Get<std::vector<bool>>(),
      (std::vector<bool>{true, false, true}));

  i_NET::StringBuffer strings;
  strings.length(2);
  strings[0] = "a";
  strings[1] = "b c";
  CORBA::Any a;
  a <<= strings;
  EXPECT_EQ(inet::CorbaAnyToAny(a).Get<std::vector<std::string>>(),
            (std::vector<std::string>{"a", "b c"}));
}

// Inserts `value`, then checks the alias of the any and converts it back.
template <typename T>
void ExpectRoundTrip(const T& value, CORBA::TypeCode_ptr expected) {
  SCOPED_TRACE(inet::CorbaKindToString(expected->kind()));
  const CORBA::Any any = inet::AnyToCorbaAny(istd::Any(value));
  CORBA::TypeCode_var type = any.type();
  EXPECT_TRUE(type->equal(expected)) << "inserted as " << type->id();
  EXPECT_EQ(inet::CorbaAnyToAny(any).Get<T>(), value);
}

TEST(ConversionTest, EveryLocalTypeTravelsAsItsCorbaTypeAndBack) {
  ExpectRoundTrip(std::string("s"), CORBA::_tc_string);
  ExpectRoundTrip(false, CORBA::_tc_boolean);
  ExpectRoundTrip(INT_MAX, CORBA::_tc_long);
  ExpectRoundTrip(UINT_MAX, CORBA::_tc_ulong);
  ExpectRoundTrip(LLONG_MAX, CORBA::_tc_longlong);
  ExpectRoundTrip(ULLONG_MAX, CORBA::_tc_ulonglong);
  ExpectRoundTrip(-2.5, CORBA::_tc_double);
  ExpectRoundTrip(FLT_MIN, CORBA::_tc_float);
  ExpectRoundTrip(std::vector<std::string>{"x", "", "z"}, i_NET::_tc_StringBuffer);
  ExpectRoundTrip(std::vector<bool>{false, true}, i_NET::_tc_BooleanBuffer);
  ExpectRoundTrip(std::vector<int32_t>{INT_MIN, 0, INT_MAX}, i_NET::_tc_Int32Buffer);
  ExpectRoundTrip(std::vector<uint32_t>{0, UINT_MAX}, i_NET::_tc_UInt32Buffer);
  ExpectRoundTrip(std::vector<int64_t>{LLONG_MIN, LLONG_MAX}, i_NET::_tc_Int64Buffer);
  ExpectRoundTrip(std::vector<uint64_t>{ULLONG_MAX}, i_NET::_tc_UInt64Buffer);
  ExpectRoundTrip(std::vector<double>{}, i_NET::_tc_DoubleBuffer);
  ExpectRoundTrip(std::vector<float>{1.0f, -0.5f}, i_NET::_tc_FloatBuffer);
  // Other names of the integer types travel as the type of their width.
  const bool wideLong = sizeof(long) == 8;
  ExpectRoundTrip(LONG_MIN, wideLong ? CORBA::_tc_longlong : CORBA::_tc_long);
  ExpectRoundTrip(std::vector<unsigned long>{ULONG_MAX, 0},
                  wideLong ? i_NET::_tc_UInt64Buffer : i_NET::_tc_UInt32Buffer);
  ExpectRoundTrip(std::vector<long long>{LLONG_MIN}, i_NET::_tc_Int64Buffer);

  const CORBA::Any sequence = inet::AnyToCorbaAny(istd::Any(std::vector<int32_t>{4, 5, 6}));
  const i_NET::Int32Buffer* held = nullptr;
  ASSERT_TRUE(sequence >>= held);
  EXPECT_EQ(held->length(), 3u);
  EXPECT_EQ((*held)[2], 6);
}

TEST(ConversionTest, LocalStringSequenceIsDuplicatedIntoAStringBuffer) {
  CORBA::Any any;
  {
    std::vector<std::string> values{"first", "second"};
    any = inet::LocalSeqToCorbaAny<std::string, i_NET::StringBuffer>(values);
    values[0] = "changed";
  }
  EXPECT_TRUE(inet::HoldsAlias(any, i_NET::_tc_StringBuffer));
  const i_NET::StringBuffer* held = nullptr;
  ASSERT_TRUE(any >>= held);
  ASSERT_EQ(held->length(), 2u);
  EXPECT_STREQ((*held)[0], "first");
  EXPECT_STREQ((*held)[1], "second");
}

TEST(ConversionTest, BuffersAreRecognisedOnlyByTheirOwnAlias) {
  // Int8Buffer is a sequence of IDL char: not a UInt8Buffer, and not a
  // simple type.
  i_NET::Int8Buffer chars;
  chars.length(1);
  chars[0] = 'x';
  CORBA::Any a;
  a <<= chars;
  const i_NET::UInt8Buffer* octets = nullptr;
  EXPECT_FALSE(a >>= octets);
  EXPECT_EQ(ThrownText([&] { inet::CorbaAnyToAny(a); }), c_notSimpleCorba);

  // The three string sequences are distinct named types.
  i_NET::StringVec vec;
  vec.length(1);
  vec[0] = "v";
  a <<= vec;
  EXPECT_FALSE(inet::HoldsAlias(a, i_NET::_tc_StringBuffer));
  EXPECT_TRUE(inet::HoldsAlias(a, i_NET::_tc_StringVec));
  EXPECT_EQ(ThrownText([&] { inet::CorbaAnyToAny(a); }), c_cantConvert);
  a = inet::AnyToCorbaAny(istd::Any(std::vector<std::string>{"b"}));
  EXPECT_FALSE(inet::HoldsAlias(a, i_NET::_tc_StringVec));
  EXPECT_FALSE(inet::HoldsAlias(a, i_NET::_tc_NodeNames));

  // NodeNames holds NodeName aliases, not plain strings.
  i_NET::NodeNames names;
  names.length(1);
  names[0] = "n";
  a <<= names;
  EXPECT_EQ(ThrownText([&] { inet::CorbaAnyToAny(a); }), c_notSimpleCorba);

  // A sequence of longs under a foreign alias is not an Int32Buffer.
  CORBA::LongSeq foreign;
  foreign.length(1);
  foreign[0] = 1;
  a <<= foreign;
  EXPECT_EQ(ThrownText([&] { inet::CorbaAnyToAny(a); }), c_cantConvert);
}

TEST(ConversionTest, OtherContentIsRefusedWithItsText) {
  CORBA::Any a;
  EXPECT_EQ(ThrownText([&] { inet::CorbaAnyToAny(a); }), c_notSimpleCorba) << "empty any";
  a <<= static_cast<CORBA::Short>(3);
  EXPECT_EQ(ThrownText([&] { inet::CorbaAnyToAny(a); }), c_notSimpleCorba);
  i_NET::SignalMetaPair pair{1, 2};
  a <<= pair;
  EXPECT_EQ(ThrownText([&] { inet::CorbaAnyToAny(a); }), c_notSimpleCorba);

  EXPECT_EQ(ThrownText([] { inet::AnyToCorbaAny(istd::Any()); }), c_notSimpleLocal);
  EXPECT_EQ(ThrownText([] { inet::AnyToCorbaAny(istd::Any(static_cast<short>(1))); }),
            c_notSimpleLocal);
  EXPECT_EQ(ThrownText([] { inet::AnyToCorbaAny(istd::Any(std::vector<char>{'a'})); }),
            c_notSimpleLocal);
}

// `any` as it arrives from a peer that sent the strings "ab" without their
// terminating NUL: marshalled, the terminators overwritten, and decoded
// again (omniORB keeps a received any's value undecoded until it is
// extracted).
// `any` as a peer would send it after `edit` changed its encoded bytes.
template <typename Edit>
CORBA::Any Received(const CORBA::Any& any, Edit edit) {
  cdrEncapsulationStream out(CORBA::ULong(0), true);
  any >>= out;
  auto* bytes = static_cast<CORBA::Octet*>(out.bufPtr());
  const CORBA::ULong size = out.bufSize();
  edit(bytes, size);
  cdrEncapsulationStream in(bytes, size);
  CORBA::Any received;
  received <<= in;
  return received;
}

// `any` with the NUL after each "ab" replaced.
CORBA::Any Unterminated(const CORBA::Any& any) {
  return Received(any, [](CORBA::Octet* bytes, CORBA::ULong size) {
    for (CORBA::ULong i = 0; i + 2 < size; ++i) {
      if (bytes[i] == 'a' && bytes[i + 1] == 'b' && bytes[i + 2] == 0) bytes[i + 2] = 'x';
    }
  });
}

TEST(ConversionTest, MalformedValuesFromThePeerAreRefusedWithTheConversionText) {
  CORBA::Any text;
  text <<= "ab";
  const CORBA::Any scalar = Unterminated(text);
  const CORBA::Any buffer =
      Unterminated(inet::LocalSeqToCorbaAny<std::string, i_NET::StringBuffer>({"ab", "ab"}));
  CORBA::TypeCode_var type = scalar.type();
  ASSERT_EQ(type->kind(), CORBA::tk_string);
  ASSERT_TRUE(inet::HoldsAlias(buffer, i_NET::_tc_StringBuffer));

  EXPECT_EQ(ThrownText([&] { inet::CorbaAnyToAny(scalar); }), c_cantConvert);
  EXPECT_EQ(ThrownText([&] { inet::CorbaAnyToAny(buffer); }), c_cantConvert);
  const char* held = nullptr;
  EXPECT_FALSE(inet::detail::ExtractScalar(scalar, held));
  EXPECT_EQ(inet::detail::ExtractBuffer<i_NET::StringBuffer>(buffer, i_NET::_tc_StringBuffer),
            nullptr);
  EXPECT_EQ(Written(scalar), "<malformed CORBA::Any>");
  // The well-formed originals pass.
  EXPECT_EQ(inet::CorbaAnyToAny(text).Get<std::string>(), "ab");

  // A boolean of the wire is an octet and a sequence's octets are kept as
  // they came: one that is neither 0 nor 1 reads as true.
  const CORBA::Any flags = Received(BufferAny<i_NET::BooleanBuffer>({false, true, false}),
                                    [](CORBA::Octet* bytes, CORBA::ULong size) {
                                      ASSERT_EQ(bytes[size - 1], 0);
                                      bytes[size - 1] = 42;
                                    });
  EXPECT_EQ(inet::CorbaAnyToAny(flags).Get<std::vector<bool>>(),
            (std::vector<bool>{false, true, true}));
}

TEST(ConversionTest, KindNamesFollowTheCorbaEnumeration) {
  EXPECT_EQ(inet::CorbaKindToString(CORBA::tk_null), "tk_null");
  EXPECT_EQ(inet::CorbaKindToString(CORBA::tk_long), "tk_long");
  EXPECT_EQ(inet::CorbaKindToString(static_cast<CORBA::TCKind>(19)), "tk_sequence");
  EXPECT_EQ(inet::CorbaKindToString(CORBA::tk_alias), "tk_alias");
  EXPECT_EQ(inet::CorbaKindToString(CORBA::tk_ulonglong), "tk_ulonglong");
  EXPECT_EQ(inet::CorbaKindToString(CORBA::tk_local_interface), "tk_local_interface");
  EXPECT_EQ(inet::CorbaKindToString(static_cast<CORBA::TCKind>(34)), "unknown kind");
  std::set<std::string> names;
  for (int k = 0; k <= 33; ++k)
    names.insert(inet::CorbaKindToString(static_cast<CORBA::TCKind>(k)));
  EXPECT_EQ(names.size(), 34u) << "every kind has a name of its own";
  EXPECT_EQ(names.count("unknown kind"), 0u);
}

TEST(ConversionTest, ExceptionTextsNameTheExceptionAndTheMinorCode) {
  const CORBA::TRANSIENT transient(omni::TRANSIENT_ConnectFailed, CORBA::COMPLETED_NO);
  EXPECT_EQ(inet::CORBASysExceptionToString(transient), "CORBA::TRANSIENT#TRANSIENT_ConnectFailed");
  EXPECT_EQ(inet::CORBAExceptionToString(transient), "CORBA::TRANSIENT");
  EXPECT_EQ(inet::CORBASysExceptionToString(CORBA::BAD_PARAM(0x12345, CORBA::COMPLETED_MAYBE)),
            "CORBA::BAD_PARAM#0x12345");
  EXPECT_EQ(inet::CORBAExceptionToString(i_NET::NotFound("a.b")), "CORBA::NotFound");

  // The overload follows the static type.
  const CORBA::Exception& asException = transient;
  const CORBA::SystemException& asSystem = transient;
  EXPECT_EQ(Written(asException), "CORBA::TRANSIENT");
  EXPECT_EQ(Written(asSystem), "CORBA::TRANSIENT#TRANSIENT_ConnectFailed");
  EXPECT_EQ(Written(transient), "CORBA::TRANSIENT#TRANSIENT_ConnectFailed");
  EXPECT_EQ(Written(i_NET::ValueException("no")), "CORBA::ValueException");
}

TEST(ConversionTest, StreamOperatorsWriteAnysObjectsAndFatalExceptions) {
  CORBA::Any a;
  a <<= static_cast<CORBA::Long>(-7);
  EXPECT_EQ(Written(a), "<Long> -7");
  a <<= static_cast<CORBA::ULong>(7);
  EXPECT_EQ(Written(a), "<ULong> 7");
  a <<= static_cast<CORBA::Float>(0.5f);
  EXPECT_EQ(Written(a), "<Float> 0.5");
  a <<= static_cast<CORBA::Double>(2.25);
  EXPECT_EQ(Written(a), "<Double> 2.25");
  a <<= CORBA::Any::from_boolean(true);
  EXPECT_EQ(Written(a), "<Boolean> 1");
  a <<= "hi";
  EXPECT_EQ(Written(a), "<String> hi");
  a <<= static_cast<CORBA::LongLong>(-9000000000LL);
  EXPECT_EQ(Written(a), "<LongLong> -9000000000");
  a <<= static_cast<CORBA::ULongLong>(ULLONG_MAX);
  EXPECT_EQ(Written(a), "<ULongLong> 18446744073709551615");
  a = inet::AnyToCorbaAny(istd::Any(std::vector<int32_t>{1}));
  EXPECT_EQ(Written(a), "<other CORBA::Any type>");
  EXPECT_EQ(Written(CORBA::Any()), "<other CORBA::Any type>");

  CORBA::Object_ptr nil = CORBA::Object::_nil();
  EXPECT_EQ(Written(nil), "CORBA::#IDL:omg.org/CORBA/Object:1.0");

  const omniORB::fatalException fatal("giopStream.cc", 42, "broken");
  EXPECT_EQ(Written(fatal),
            "** MAJOR PROBLEM: Caught omniORB::fatalException:\n"
            "  file: giopStream.cc\n"
            "  line: 42\n"
            "  mesg: broken");
}

}  // namespace
