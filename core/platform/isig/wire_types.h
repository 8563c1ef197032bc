// The meeting of the signal library and the i_NET interfaces: for each
// element type T of a signal, the i_NET buffer that carries its values, the
// receiver operation that pushes them and the data-on-demand read of
// i_NET::RemoteSignal that returns them (isig::WireType<T>, usable by
// servers as well); copies between buffers and values; the
// conversion of the wire meta-data (a sequence of id/value pairs) to and
// from isig::SignalMeta; and which failures of a call mean that the object
// behind a reference is gone.
//
// The wire element type is not always T: an Int8Buffer holds CORBA::Char
// (unsigned char) for the signed char values, and CORBA::Long/LongLong map
// to long or int/long long depending on the platform. Values are converted
// one by one (bit patterns kept), so no pointer of one type reads another.
//
// Thread-safety: stateless; any thread.
#ifndef VARNEK_ISIG_WIRE_TYPES_H
#define VARNEK_ISIG_WIRE_TYPES_H

#include <omniORB4/CORBA.h>

#include <type_traits>
#include <utility>
#include <vector>

#include "isig/signal_types.h"
#include "network/i_remote_signal.h"

namespace isig {

template <typename T>
struct WireType;

#define ISIG_WIRE_TYPE(T, BUFFER, READ, DISPATCH)                                           \
  template <>                                                                               \
  struct WireType<T> {                                                                      \
    using Buffer = i_NET::BUFFER;                                                           \
    using BufferVar = i_NET::BUFFER##_var;                                                  \
    using BufferOut = i_NET::BUFFER##_out;                                                  \
    /* The receiver operation through which a server pushes this type. */                   \
    static void Dispatch(i_NET::SignalReceiver_ptr receiver, const Buffer& data,            \
                         const i_NET::SignalMeta& meta) {                                   \
      receiver->DISPATCH(data, meta);                                                       \
    }                                                                                       \
    /* The server's data-on-demand read for this element type. */                           \
    static CORBA::ULong DodRead(i_NET::RemoteSignal_ptr signal,                             \
                                i_NET::SignalReceiver_ptr receiver, CORBA::ULongLong start, \
                                CORBA::ULong count, BufferVar& data,                        \
                                i_NET::SignalMeta_var& meta) {                              \
      return signal->READ(receiver, start, count, data.out(), meta.out());                  \
    }                                                                                       \
  }

ISIG_WIRE_TYPE(signed char, Int8Buffer, DodReadI8, DispatchInt8);
ISIG_WIRE_TYPE(unsigned char, UInt8Buffer, DodReadUI8, DispatchUInt8);
ISIG_WIRE_TYPE(short, Int16Buffer, DodReadI16, DispatchInt16);
ISIG_WIRE_TYPE(unsigned short, UInt16Buffer, DodReadUI16, DispatchUInt16);
ISIG_WIRE_TYPE(int, Int32Buffer, DodReadI32, DispatchInt32);
ISIG_WIRE_TYPE(unsigned int, UInt32Buffer, DodReadUI32, DispatchUInt32);
ISIG_WIRE_TYPE(long long, Int64Buffer, DodReadI64, DispatchInt64);
ISIG_WIRE_TYPE(unsigned long long, UInt64Buffer, DodReadUI64, DispatchUInt64);
ISIG_WIRE_TYPE(float, FloatBuffer, DodReadFloat, DispatchFloat);
ISIG_WIRE_TYPE(double, DoubleBuffer, DodReadDouble, DispatchDouble);

#undef ISIG_WIRE_TYPE

// The element type of an i_NET buffer.
template <typename Buffer>
using WireElement = std::remove_cv_t<std::remove_reference_t<decltype(std::declval<Buffer&>()[0])>>;

// The values of `buffer` as T: its own storage when the element type is T,
// otherwise a converted copy in `scratch`. Valid while both live unchanged.
template <typename T, typename Buffer>
const T* ValuesOf(const Buffer& buffer, std::vector<T>& scratch) {
  if constexpr (std::is_same_v<WireElement<Buffer>, T>) {
    return buffer.get_buffer();
  } else {
    scratch.resize(buffer.length());
    for (CORBA::ULong i = 0; i < buffer.length(); ++i) scratch[i] = static_cast<T>(buffer[i]);
    return scratch.data();
  }
}

// Fills `buffer` with `count` values from `values`.
template <typename T, typename Buffer>
void FillBuffer(Buffer& buffer, const T* values, CORBA::ULong count) {
  buffer.length(count);
  for (CORBA::ULong i = 0; i < count; ++i) buffer[i] = static_cast<WireElement<Buffer>>(values[i]);
}

// The pairs of `wire` as a map; of repeated ids the last one counts.
SignalMeta FromWireMeta(const i_NET::SignalMeta& wire);
// The entries of `meta` as pairs, in id order.
i_NET::SignalMeta ToWireMeta(const SignalMeta& meta);

// Whether `e`, raised by a call through an object reference, says that the
// object cannot be reached through that reference any more: it does not
// exist (a server that restarted hands out new objects), nothing answers at
// its address, or the connection broke. A holder that can find the object
// again tries the call once more on the object found; a time-out or a
// refusal of the server is not such a failure.
bool ReferenceLost(const CORBA::SystemException& e);

}  // namespace isig

#endif  // VARNEK_ISIG_WIRE_TYPES_H
