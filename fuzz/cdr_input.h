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
  Input(const uint8_t* data, size_t size) : m_storage(size / 8 + 1) {
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

  std::vector<uint64_t> m_storage;
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
