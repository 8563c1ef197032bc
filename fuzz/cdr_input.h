// Shared helper of the wire fuzz targets: the ORB they need, and values
// decoded by omniORB's own CDR stream classes from the fuzz bytes, as a peer
// would have sent them. The bytes are laid out as a CDR encapsulation: the
// first octet gives the byte order (bit 0 set: little endian), the values
// follow with the usual alignment.
//
// Thread-safety: used by libFuzzer's single fuzzing thread. The ORB is
// initialised once, on first use, and lives until the process exits.
#ifndef VARNEK_FUZZ_CDR_INPUT_H
#define VARNEK_FUZZ_CDR_INPUT_H

#include <omniORB4/CORBA.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

namespace fuzzcdr {

// The process's ORB, initialised on first use without arguments (the ORB
// sets up the code sets that strings inside anys need when they are
// unmarshalled). Only used inside the private network namespace of
// ./dev.sh fuzz.
inline CORBA::ORB_ptr Orb() {
  static CORBA::ORB_ptr orb = [] {
    static char name[] = "fuzz";
    static char* argv[] = {name, nullptr};
    int argc = 1;
    return CORBA::ORB_init(argc, argv);
  }();
  return orb;
}

// A read-only CDR stream over a copy of `size` fuzz bytes. Reading past the
// end, like every other malformed input that omniORB rejects, makes Read
// answer false.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : m_storage(size / 8 + 1), m_size(size) {
    Orb();
    if (size == 0) return;
    // A read-only stream over an aligned copy checks every length against
    // the bytes there are (the bytes are 8-aligned as in a GIOP buffer).
    std::memcpy(m_storage.data(), data, size);
    if (HoldsValueTypeCode(size)) return;
    try {
      m_stream.reset(new cdrMemoryStream(m_storage.data(), size));
      m_stream->setByteSwapFlag((m_stream->unmarshalOctet() & 1) != 0);
    } catch (const CORBA::SystemException&) {
      m_stream.reset();
    }
  }

  // Decodes one T (a type with an omniORB unmarshalling operator <<=, or
  // a type code); false when omniORB refuses the bytes (`value` is then
  // unspecified).
  template <typename T>
  bool Read(T& value) {
    if (!m_stream) return false;
    try {
      if constexpr (IsNumberSequence<T>::value) {
        if (!AffordableLength(sizeof(Element<T>))) return false;
      }
      if constexpr (std::is_same_v<T, CORBA::TypeCode_var>) {
        value = CORBA::TypeCode::unmarshalTypeCode(*m_stream);
      } else if constexpr (std::is_same_v<T, CORBA::Octet>) {
        value = m_stream->unmarshalOctet();
      } else {
        value <<= *m_stream;
      }
      return true;
    } catch (const CORBA::SystemException&) {
      return false;
    } catch (const omniORB::fatalException&) {
      // omniORB's own assertion on values it decoded (a fixed-point type
      // code of more than 31 digits): a refusal of omniORB's as well.
      return false;
    }
  }

 private:
  // omniORB's own decoder crashes on a malformed value type code: when the
  // body of a tk_value type code fails to decode, the
  // half-made type code is destroyed with members never set, and their
  // garbage pointers are freed (a SEGV in omni::TypeCode_value's
  // destructor). That is omniORB's fault and out of the library's reach
  // (a peer's any is decoded before any of the library's code runs), so
  // inputs that may hold one are not decoded: a 4-aligned word tk_value,
  // in either byte order, followed by an encapsulation length that
  // the bytes could back.
  bool HoldsValueTypeCode(size_t size) const {
    const auto* bytes = reinterpret_cast<const uint8_t*>(m_storage.data());
    for (size_t at = 0; at + 8 <= size; at += 4) {
      for (const bool little : {true, false}) {
        const auto word = [&](size_t i) {
          uint32_t w = 0;
          for (int b = 0; b < 4; ++b) {
            w |= uint32_t{bytes[i + (little ? b : 3 - b)]} << (8 * b);
          }
          return w;
        };
        if (word(at) == CORBA::tk_value && word(at + 4) <= size) {
          return true;
        }
      }
    }
    return false;
  }

  // A sequence of numbers, as omniORB's templates of fixed-size elements
  // decode it.
  template <typename T>
  using Element = std::remove_reference_t<decltype(std::declval<T&>()[0])>;
  template <typename T, typename = void>
  struct IsNumberSequence : std::false_type {};
  template <typename T>
  struct IsNumberSequence<T, std::void_t<Element<T>>>
      : std::bool_constant<std::is_arithmetic_v<Element<T>> &&
                           std::is_base_of_v<_CORBA_Sequence<Element<T>>, T>> {};

  // omniORB checks a sequence's length against the bytes left in 32-bit
  // arithmetic: a length whose bytes reach 2^32 or more passes when the
  // wrapped count fits, and omniORB then allocates every element it
  // claims (up to 32 GiB) and, when the bytes are in the other order,
  // swaps each one of them in place. That is omniORB's and happens before
  // any of the library's code runs; the library's part is to drop such a
  // sequence once it arrives. So the smallest wrap (under 4 GiB + the
  // input, allocated but never touched, in the machine's byte order) is
  // decoded and the rest are not: the sanitizer's shadow of more would
  // exceed the fuzzer's memory limit. False when the length at the
  // stream's position, of elements of `size` bytes, is one of the rest.
  bool AffordableLength(size_t size) const {
    // The length is the next 4-aligned word (a memory stream's position
    // counts from its first byte); without one omniORB refuses anyway.
    const size_t at = (size_t{m_stream->currentInputPtr()} + 3) & ~size_t{3};
    if (at + 4 > m_size) return true;
    uint32_t length = 0;
    std::memcpy(&length, reinterpret_cast<const char*>(m_storage.data()) + at, 4);
    if (m_stream->unmarshal_byte_swap()) length = cdrStream::byteSwap(length);
    const uint64_t bytes = uint64_t{length} * size;
    if (bytes <= 0xFFFFFFFFu) return true;
    return bytes < (uint64_t{1} << 33) && !m_stream->unmarshal_byte_swap();
  }

  std::vector<uint64_t> m_storage;
  size_t m_size;
  std::unique_ptr<cdrMemoryStream> m_stream;
};

// Writes `value` as Input::Read reads it.
template <typename T>
void Put(const T& value, cdrStream& stream) {
  value >>= stream;
}
inline void Put(CORBA::Octet value, cdrStream& stream) { stream.marshalOctet(value); }
inline void Put(CORBA::TypeCode_ptr value, cdrStream& stream) {
  CORBA::TypeCode::marshalTypeCode(value, stream);
}

// The bytes of an encapsulation (byte order octet first) holding the
// values, in order, as Input reads them: the content of a seed file.
template <typename... T>
std::vector<uint8_t> Encode(const T&... values) {
  Orb();
  cdrEncapsulationStream stream(CORBA::ULong(0), true);
  (void)std::initializer_list<int>{(Put(values, stream), 0)...};
  const auto* bytes = static_cast<const uint8_t*>(stream.bufPtr());
  return std::vector<uint8_t>(bytes, bytes + stream.bufSize());
}

}  // namespace fuzzcdr

#endif  // VARNEK_FUZZ_CDR_INPUT_H
