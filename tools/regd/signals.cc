// regd's signal servants and pushers.
#include "signals.h"

#include <omniORB4/CORBA.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <type_traits>

#include "istd/log.h"
#include "network/conversion.h"
#include "network/orb_manager.h"

namespace regd {

namespace {

using Receiver = i_NET::_objref_SignalReceiver;

// Element type T of a signal, the buffer that carries it and the receiver
// operation that takes it.
template <typename T, typename Buffer,
          void (Receiver::*Dispatch)(const Buffer&, const i_NET::SignalMeta&)>
struct SignalType {
  using Value = T;
  using Buf = Buffer;
  static void Send(Receiver* receiver, const Buffer& data, const i_NET::SignalMeta& meta) {
    (receiver->*Dispatch)(data, meta);
  }
};

// Calls f(SignalType<...>{}) for atom type code `code` (1 to 10).
template <typename F>
void WithSignalType(int code, F&& f) {
  switch (code) {
    case 1:
      f(SignalType<double, i_NET::DoubleBuffer, &Receiver::DispatchDouble>{});
      break;
    case 2:
      f(SignalType<float, i_NET::FloatBuffer, &Receiver::DispatchFloat>{});
      break;
    case 3:
      f(SignalType<unsigned long long, i_NET::UInt64Buffer, &Receiver::DispatchUInt64>{});
      break;
    case 4:
      f(SignalType<long long, i_NET::Int64Buffer, &Receiver::DispatchInt64>{});
      break;
    case 5:
      f(SignalType<unsigned int, i_NET::UInt32Buffer, &Receiver::DispatchUInt32>{});
      break;
    case 6:
      f(SignalType<int, i_NET::Int32Buffer, &Receiver::DispatchInt32>{});
      break;
    case 7:
      f(SignalType<unsigned short, i_NET::UInt16Buffer, &Receiver::DispatchUInt16>{});
      break;
    case 8:
      f(SignalType<short, i_NET::Int16Buffer, &Receiver::DispatchInt16>{});
      break;
    case 9:
      f(SignalType<unsigned char, i_NET::UInt8Buffer, &Receiver::DispatchUInt8>{});
      break;
    case 10:
      f(SignalType<signed char, i_NET::Int8Buffer, &Receiver::DispatchInt8>{});
      break;
    default:
      break;
  }
}

// `atoms` atoms of `description` from signal index `first`, as values of T.
template <typename T, typename Buffer>
void Fill(Buffer& buffer, const SignalDescription& description, unsigned long long first,
          unsigned long atoms) {
  using Element = std::remove_reference_t<decltype(buffer[0])>;
  const unsigned int components = description.Components();
  buffer.length(static_cast<CORBA::ULong>(atoms * components));
  CORBA::ULong i = 0;
  for (unsigned long a = 0; a < atoms; ++a) {
    for (unsigned int c = 0; c < components; ++c) {
      buffer[i++] =
          static_cast<Element>(detail::FromSample<T>(description.m_generator.Sample(first + a, c)));
    }
  }
}

i_NET::SignalMeta Meta(unsigned long long block, unsigned long long first) {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  i_NET::SignalMeta meta;
  meta.length(3);
  meta[0].id = c_metaBlockCounter;
  meta[0].value = static_cast<CORBA::LongLong>(block);
  meta[1].id = c_metaTimestamp;
  meta[1].value = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
  meta[2].id = c_metaFirstAtom;
  meta[2].value = static_cast<CORBA::LongLong>(first);
  return meta;
}

}  // namespace

Pusher::Pusher(const RegNode& node, i_NET::SignalReceiver_ptr receiver, unsigned int groupSize,
               Counters& counters, unsigned int callTimeoutMs)
    : Worker("regd-push-" + node.m_name),
      m_node(node),
      m_description(*node.m_signal),
      m_receiver(i_NET::SignalReceiver::_duplicate(receiver)),
      m_groupSize(groupSize),
      m_counters(counters) {
  // Every call to the receiver (the blocks, Cancel) gives up after this.
  omniORB::setClientCallTimeout(m_receiver.in(), callTimeoutMs);
}

void Pusher::Run() {
  const std::chrono::duration<double> period(
      m_description.m_blockRateHz > 0 ? 1.0 / m_description.m_blockRateHz : 0.0);
  const auto step = std::chrono::duration_cast<Clock::duration>(period);
  Clock::time_point next = Clock::now();
  unsigned long long block = 0;
  unsigned long long first = 0;
  while (!Stopping()) {
    if (m_description.m_dispatchDelayMs != 0 &&
        !WaitUntil(Clock::now() + std::chrono::milliseconds(m_description.m_dispatchDelayMs))) {
      return;
    }
    try {
      WithSignalType(m_description.m_elementCode, [&](auto type) {
        using S = decltype(type);
        typename S::Buf data;
        Fill<typename S::Value>(data, m_description, first, m_groupSize);
        S::Send(m_receiver.in(), data, Meta(block, first));
      });
    } catch (const CORBA::Exception& e) {
      ++m_rejected;
      m_ended = true;
      istd::LogWarning("regd: signal " + m_node.PathText() + ": receiver failed (" +
                       inet::CORBAExceptionToString(e) + "): pushing stopped");
      return;
    }
    ++m_total;
    ++m_counters.m_blocksPushed;
    ISTD_TRACE(istd::eDetail, "Block " << block << " of " << m_node.PathText() << " pushed");
    ++block;
    first += m_groupSize;
    if (m_description.m_cancelAfterBlocks != 0 && block >= m_description.m_cancelAfterBlocks) {
      m_ended = true;
      try {
        m_receiver->Cancel(m_description.m_cancelCode);
      } catch (const CORBA::Exception& e) {
        ISTD_TRACE(istd::eLow, "Cancel of a receiver of " << m_node.PathText() << ": " << e);
      }
      return;
    }
    if (step.count() > 0) {
      next += step;
      // After a stall, carry on at the rate instead of catching up in a burst.
      if (next < Clock::now() - step) next = Clock::now();
      if (!WaitUntil(next)) return;
    }
  }
}

bool Pusher::WaitUntil(Clock::time_point until) {
  while (Clock::now() < until) {
    if (SleepUntil(until)) return true;
    if (Stopping()) return false;
  }
  return !Stopping();
}

i_RemoteSignal_impl::i_RemoteSignal_impl(const RegNode& node, Counters& counters,
                                         unsigned int callTimeoutMs)
    : m_node(node),
      m_description(*node.m_signal),
      m_counters(counters),
      m_callTimeoutMs(callTimeoutMs) {}

i_RemoteSignal_impl::~i_RemoteSignal_impl() { StopAll(m_pushers); }

void i_RemoteSignal_impl::StopAll(std::vector<std::unique_ptr<Pusher>>& pushers) {
  for (std::unique_ptr<Pusher>& pusher : pushers) pusher->Shutdown();
  for (std::unique_ptr<Pusher>& pusher : pushers) pusher->Join();
}

CORBA::ULong i_RemoteSignal_impl::RegisterReceiver(i_NET::SignalReceiver_ptr receiver,
                                                   CORBA::ULong mode, CORBA::ULong groupSize,
                                                   CORBA::LongLong offset, CORBA::ULong queueSize) {
  ISTD_TRACE_FNC();
  std::vector<std::unique_ptr<Pusher>> ended;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_shutdown) return 3;
    if (CORBA::is_nil(receiver)) return 4;
    if (!m_description.m_push) return 5;
    if (m_description.m_refuseRegister) return 2;
    for (auto it = m_pushers.begin(); it != m_pushers.end(); ++it) {
      if (!(*it)->Receiver()->_is_equivalent(receiver)) continue;
      if (!(*it)->Ended()) return 1;
      // Its stream ended (failure or cancel hook): the receiver starts anew.
      ended.push_back(std::move(*it));
      m_pushers.erase(it);
      --m_counters.m_receivers;
      break;
    }
    const unsigned int atoms = std::min<CORBA::ULong>(
        groupSize != 0 ? groupSize : m_description.m_groupSize, c_maxDodAtoms);
    m_pushers.push_back(
        std::make_unique<Pusher>(m_node, receiver, atoms, m_counters, m_callTimeoutMs));
    m_pushers.back()->Start();
    ++m_counters.m_receivers;
    ISTD_TRACE(istd::eMedium, "Receiver registered for " << m_node.PathText() << ", group size "
                                                         << atoms << ", queue size " << queueSize);
  }
  StopAll(ended);
  return 0;
}

void i_RemoteSignal_impl::UnregisterReceiver(i_NET::SignalReceiver_ptr receiver) {
  ISTD_TRACE_FNC();
  std::vector<std::unique_ptr<Pusher>> gone;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_pushers.begin(); it != m_pushers.end(); ++it) {
      if ((*it)->Receiver()->_is_equivalent(receiver)) {
        gone.push_back(std::move(*it));
        m_pushers.erase(it);
        --m_counters.m_receivers;
        ISTD_TRACE(istd::eMedium, "Receiver unregistered from " << m_node.PathText());
        break;
      }
    }
  }
  // The pushing has stopped when this returns.
  StopAll(gone);
}

i_NET::SignalStats* i_RemoteSignal_impl::GetStatistics(i_NET::SignalReceiver_ptr receiver) {
  ISTD_TRACE_FNC();
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const std::unique_ptr<Pusher>& pusher : m_pushers) {
    if (!pusher->Receiver()->_is_equivalent(receiver)) continue;
    auto* stats = new i_NET::SignalStats;
    stats->length(1);
    (*stats)[0].name = m_node.m_name.c_str();
    (*stats)[0].total = pusher->Total();
    (*stats)[0].rejected = pusher->Rejected();
    (*stats)[0].asize = m_description.Components() * ElementTypeSize(m_description.m_elementCode);
    return stats;
  }
  throw i_NET::NotFound(("receiver not registered: " + m_node.PathText()).c_str());
}

void i_RemoteSignal_impl::Shutdown(CORBA::Long code) {
  ISTD_TRACE_FNC();
  std::vector<std::unique_ptr<Pusher>> pushers;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_shutdown = true;
    pushers.swap(m_pushers);
    m_counters.m_receivers -= pushers.size();
  }
  StopAll(pushers);
  for (const std::unique_ptr<Pusher>& pusher : pushers) {
    if (pusher->Ended()) continue;  // failed, or cancelled already
    try {
      pusher->Receiver()->Cancel(code);
      ISTD_TRACE(istd::eMedium, "Receiver of " << m_node.PathText() << " cancelled");
    } catch (const CORBA::Exception& e) {
      ISTD_TRACE(istd::eLow, "Cancel of a receiver of " << m_node.PathText() << ": " << e);
    }
  }
}

template <typename T, typename Buffer, typename Out>
CORBA::ULong i_RemoteSignal_impl::DodRead(int code, CORBA::ULongLong start, CORBA::ULong count,
                                          Out& data, i_NET::SignalMeta_out& meta) {
  ISTD_TRACE_FNC();
  if (code != m_description.m_elementCode) {
    throw i_NET::InvalidType((std::string("signal ") + m_node.PathText() + " holds " +
                              ElementTypeName(m_description.m_elementCode) + ", not " +
                              ElementTypeName(code))
                                 .c_str());
  }
  unsigned long long atoms = std::min<CORBA::ULong>(count, c_maxDodAtoms);
  if (m_description.m_length != 0) {
    const unsigned long long available =
        start >= m_description.m_length ? 0 : m_description.m_length - start;
    atoms = std::min(atoms, available);
  }
  if (m_description.m_dispatchDelayMs != 0) {
    // A slow source: the answer comes late (on this ORB thread only).
    std::this_thread::sleep_for(std::chrono::milliseconds(m_description.m_dispatchDelayMs));
  }
  unsigned long long read = 0;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    read = m_reads++;
  }
  auto* buffer = new Buffer;
  Fill<T>(*buffer, m_description, start, static_cast<unsigned long>(atoms));
  data = buffer;
  meta = new i_NET::SignalMeta(Meta(read, start));
  ISTD_TRACE(istd::eDetail, "Data-on-demand read of " << m_node.PathText() << " at " << start
                                                      << ": " << atoms << " atom(s)");
  return (atoms == 0 && count != 0) ? 1 : 0;
}

#define REGD_DOD_READ(Operation, Code, T, Buffer)                                                \
  CORBA::ULong i_RemoteSignal_impl::Operation(i_NET::SignalReceiver_ptr, CORBA::ULongLong start, \
                                              CORBA::ULong count, i_NET::Buffer##_out data,      \
                                              i_NET::SignalMeta_out meta) {                      \
    return DodRead<T, i_NET::Buffer>(Code, start, count, data, meta);                            \
  }

REGD_DOD_READ(DodReadDouble, 1, double, DoubleBuffer)
REGD_DOD_READ(DodReadFloat, 2, float, FloatBuffer)
REGD_DOD_READ(DodReadUI64, 3, unsigned long long, UInt64Buffer)
REGD_DOD_READ(DodReadI64, 4, long long, Int64Buffer)
REGD_DOD_READ(DodReadUI32, 5, unsigned int, UInt32Buffer)
REGD_DOD_READ(DodReadI32, 6, int, Int32Buffer)
REGD_DOD_READ(DodReadUI16, 7, unsigned short, UInt16Buffer)
REGD_DOD_READ(DodReadI16, 8, short, Int16Buffer)
REGD_DOD_READ(DodReadUI8, 9, unsigned char, UInt8Buffer)
REGD_DOD_READ(DodReadI8, 10, signed char, Int8Buffer)

#undef REGD_DOD_READ

}  // namespace regd
