// Conversion between the system's dynamic value istd::Any and CORBA::Any,
// readable names of type-code kinds, one-line texts of CORBA exceptions and
// the stream operators that write them.
//
// The value mapping covers eight scalar kinds and their i_NET buffers:
//   long <-> int32_t               Int32Buffer  <-> std::vector<int32_t>
//   unsigned long <-> uint32_t     UInt32Buffer <-> std::vector<uint32_t>
//   long long <-> int64_t          Int64Buffer  <-> std::vector<int64_t>
//   unsigned long long <-> uint64_t UInt64Buffer <-> std::vector<uint64_t>
//   float, double, boolean         FloatBuffer, DoubleBuffer, BooleanBuffer
//   string <-> std::string         StringBuffer <-> std::vector<std::string>
// (CORBA kinds on the left, the element types of istd/value_types.h on the
// right; an istd::Any made from long long or another name of an integer
// type holds the fixed-width type already.)
// A sequence is recognised only through its i_NET alias: a StringVec or a
// NodeNames is not a StringBuffer, an Int8Buffer (IDL char) is not a
// UInt8Buffer, and an unaliased sequence is not an array.
//
// The stream operators live in namespaces CORBA and omniORB, so argument
// lookup finds them; omniORB's own <omniORB4/streamOperators.h> declares
// competing global ones and is not to be included next to this header.
//
// omniORB copies an any by marshalling its value, and marshalling strings
// needs the code sets that ORB_init sets up: copy anys holding strings only
// once the ORB is initialised. The functions here copy no any themselves.
//
// Thread-safety: all functions are reentrant; the values converted belong to
// the caller, the results are new values owned by the caller.
#ifndef VARNEK_NETWORK_CONVERSION_H
#define VARNEK_NETWORK_CONVERSION_H

#include <omniORB4/CORBA.h>

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <type_traits>
#include <vector>

#include "istd/any.h"
#include "network/i_types.h"
#include "network/orb_manager.h"

namespace inet {

// The value of `value` as an istd::Any: a scalar of the table above, or a
// vector when `value` holds one of the eight buffers. Throws istd::Exception
// "CORBA::Any to istd::Any is available only for simple types." for any
// other content (an empty any included), and "Internal error: Can't convert
// CORBA::Any to istd::Any" when a sequence of a simple kind is not the
// matching i_NET buffer (a StringVec, for example).
istd::Any CorbaAnyToAny(const CORBA::Any& value);

// The value of `value` in a new CORBA::Any: scalars as the matching CORBA
// type, vectors as the matching i_NET buffer of the same length. Throws
// istd::Exception "istd::Any to CORBA::Any is available only for simple
// types." for an empty istd::Any or a type outside the table.
CORBA::Any AnyToCorbaAny(const istd::Any& value);

// True when `sequence` (an i_NET buffer) has no more elements than one
// GIOP message of OrbManager::c_defaultMaxMsgSize bytes can carry (each
// element takes its size on the wire, a string at least 5 bytes). omniORB
// checks a received sequence's length against the bytes there are in
// 32-bit arithmetic, which a length of 2^29 doubles wraps around: such a
// sequence arrives with the length it claims and no values behind it, and
// whoever walks its elements reads gigabytes that were never sent. This
// concerns sequences that are operation arguments or results (signal
// blocks); those inside an any are decoded element by element.
template <typename Buffer>
bool PlausibleLength(const Buffer& sequence) {
  using Element = std::remove_reference_t<decltype(sequence[0])>;
  constexpr size_t wireSize =
      std::is_class_v<Element> ? 5 : sizeof(Element);  // string elements are classes
  return sequence.length() <= OrbManager::c_defaultMaxMsgSize / wireSize;
}

namespace detail {

// Copies `count` elements of `values` (a pointer or a vector, anything
// indexable) into `sequence`, which takes exactly that length; strings are
// duplicated, other elements converted to the buffer's element type.
// Numbers are copied through the sequence's buffer in one pass, without
// the per-element bound check of its operator[].
template <typename Buffer, typename Values>
void FillSequence(Buffer& sequence, const Values& values, size_t count) {
  sequence.length(static_cast<CORBA::ULong>(count));
  if constexpr (std::is_same_v<std::decay_t<decltype(values[0])>, std::string>) {
    for (CORBA::ULong i = 0; i < sequence.length(); ++i) {
      sequence[i] = values[i].c_str();  // the string element takes a copy
    }
  } else {
    using Element = std::remove_pointer_t<decltype(sequence.get_buffer())>;
    Element* out = sequence.get_buffer();
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<Element>(values[i]);
  }
}

// Replaces the content of `values` with the elements of `sequence`, in
// order (strings copied, booleans converted element by element, numbers
// copied from the sequence's buffer in one pass).
template <typename Buffer, typename Local>
void CopySequence(const Buffer& sequence, std::vector<Local>& values) {
  if constexpr (std::is_same_v<Local, std::string>) {
    values.clear();
    values.reserve(sequence.length());
    for (CORBA::ULong i = 0; i < sequence.length(); ++i) {
      values.emplace_back(static_cast<const char*>(sequence[i]));
    }
  } else if constexpr (std::is_same_v<Local, bool>) {
    // A boolean travels as an octet, and omniORB copies a received
    // sequence's octets as they came: read them as octets (a stored bool
    // other than 0 or 1 may not be read), anything but 0 is true.
    static_assert(sizeof(*sequence.get_buffer()) == 1, "booleans are octets");
    const auto* octets = reinterpret_cast<const unsigned char*>(sequence.get_buffer());
    values.clear();
    values.reserve(sequence.length());
    for (CORBA::ULong i = 0; i < sequence.length(); ++i) values.push_back(octets[i] != 0);
  } else {
    const auto* in = sequence.get_buffer();
    values.assign(in, in + sequence.length());
  }
}

// Puts a new Buffer with the elements of `values` into `any`, which takes
// ownership of it (no copy of the any or of the sequence).
template <typename Local, typename Buffer>
void InsertSequence(CORBA::Any& any, const std::vector<Local>& values) {
  auto* sequence = new Buffer;
  FillSequence(*sequence, values, values.size());
  any <<= sequence;
}

// Inserts the CORBA scalar `value` (CORBA::Boolean, Long, ULong, LongLong,
// ULongLong, Float, Double, or a const char* string, which is copied).
template <typename Corba>
void InsertScalar(CORBA::Any& any, Corba value) {
  if constexpr (std::is_same_v<Corba, CORBA::Boolean>) {
    any <<= CORBA::Any::from_boolean(value);
  } else {
    any <<= value;
  }
}

// Extracts a CORBA scalar of exactly the type Corba; false when `any` holds
// something else, or a malformed value of that type (omniORB decodes the
// value of an any that came over the network only when it is extracted: a
// string without its terminating NUL is found out here). A const char*
// points into `any`.
template <typename Corba>
bool ExtractScalar(const CORBA::Any& any, Corba& value) {
  try {
    if constexpr (std::is_same_v<Corba, CORBA::Boolean>) {
      return any >>= CORBA::Any::to_boolean(value);
    } else if constexpr (std::is_same_v<Corba, const char*>) {
      return (any >>= value) && value != nullptr;
    } else {
      return any >>= value;
    }
  } catch (const CORBA::SystemException&) {
    return false;
  }
}

// The Buffer (an i_NET buffer type) held by `any`, owned by it; null when
// `any` holds no value of exactly the alias type `alias`
// (inet::HoldsAlias), or a malformed one (as ExtractScalar). (An any's
// value is decoded element by element: a sequence in an any cannot claim
// more elements than it brought.)
template <typename Buffer>
const Buffer* ExtractBuffer(const CORBA::Any& any, CORBA::TypeCode_ptr alias);

}  // namespace detail

// A new any holding a Buffer (an i_NET buffer type) with the elements of
// `values` in order; strings are duplicated. Buffer's element type must be
// the CORBA counterpart of Local (LocalSeqToCorbaAny<std::string,
// i_NET::StringBuffer>, LocalSeqToCorbaAny<int32_t, i_NET::Int32Buffer>, ...).
template <typename Local, typename Buffer>
CORBA::Any LocalSeqToCorbaAny(const std::vector<Local>& values) {
  CORBA::Any any;
  detail::InsertSequence<Local, Buffer>(any, values);
  return any;
}

// True when `value` holds a value of exactly the named type `type` (same
// repository id), e.g. HoldsAlias(any, i_NET::_tc_StringBuffer). omniORB's
// extraction operators compare type codes by equivalence, which sees
// through aliases; this is the check that tells the i_NET buffers apart.
bool HoldsAlias(const CORBA::Any& value, CORBA::TypeCode_ptr type);

template <typename Buffer>
const Buffer* detail::ExtractBuffer(const CORBA::Any& any, CORBA::TypeCode_ptr alias) {
  if (!HoldsAlias(any, alias)) return nullptr;
  const Buffer* sequence = nullptr;
  try {
    if (!(any >>= sequence) || sequence == nullptr) return nullptr;
  } catch (const CORBA::SystemException&) {
    return nullptr;
  }
  return sequence;
}

// The CORBA name of `kind` ("tk_null" ... "tk_local_interface"; 13 is
// "tk_Principal", 17 "tk_enum"); "unknown kind" above tk_local_interface.
std::string CorbaKindToString(CORBA::TCKind kind);

// "CORBA::" + the exception's name (user exceptions included, so an
// i_NET::NotFound reads CORBA::NotFound); "CORBA::Exception?" if the text
// cannot be built. Never throws.
std::string CORBAExceptionToString(const CORBA::Exception& e);

// "CORBA::" + name + "#" + the ORB's text of the minor code (for instance
// CORBA::TRANSIENT#TRANSIENT_ConnectFailed), or the minor code in hex
// (0x...) when the ORB has no text for it; "CORBA::SystemException?" if the
// text cannot be built. Never throws.
std::string CORBASysExceptionToString(const CORBA::SystemException& e);

}  // namespace inet

namespace CORBA {

// The text of inet::CORBAExceptionToString.
std::ostream& operator<<(std::ostream& os, const CORBA::Exception& e);
// The text of inet::CORBASysExceptionToString.
std::ostream& operator<<(std::ostream& os, const CORBA::SystemException& e);
// "CORBA::" + the type code's name + "#" + its repository id, of the
// reference put into an any; "CORBA::Object?" if that fails.
std::ostream& operator<<(std::ostream& os, CORBA::Object* const& obj);
// "<Long> 5", "<ULong> 5", "<Float> 1.5", "<Double> 1.5", "<Boolean> 1",
// "<String> text", "<LongLong> 5", "<ULongLong> 5"; anything else (aliases
// and sequences included) "<other CORBA::Any type>"; a malformed value
// that came over the network "<malformed CORBA::Any>".
std::ostream& operator<<(std::ostream& os, const CORBA::Any& value);

}  // namespace CORBA

namespace omniORB {

// "** MAJOR PROBLEM: Caught omniORB::fatalException:" and the exception's
// file, line and message on three indented lines.
std::ostream& operator<<(std::ostream& os, const omniORB::fatalException& e);

}  // namespace omniORB

#endif  // VARNEK_NETWORK_CONVERSION_H
