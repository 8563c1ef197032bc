// The signal receiver servant: incoming pushes forwarded to the stream.
#include "isig/i_signal_receiver_impl.h"

#include <exception>
#include <vector>

#include "isig/wire_types.h"
#include "istd/exception.h"
#include "istd/log.h"
#include "network/conversion.h"
#include "network/orb_manager.h"

namespace isig {

i_SignalReceiver_impl::i_SignalReceiver_impl(SignalDispatchBase* target) : m_target(target) {}

i_SignalReceiver_impl::~i_SignalReceiver_impl() = default;

i_SignalReceiver_impl* i_SignalReceiver_impl::Create(SignalDispatchBase* target) {
  ISTD_TRACE_FNC();
  inet::OrbManager* om = inet::OM();
  if (!om->IsActive()) throw istd::Exception("isig: can't activate signal receiver.", true);
  auto* receiver = new i_SignalReceiver_impl(target);
  try {
    om->Activate(receiver);
  } catch (...) {
    receiver->_remove_ref();
    throw;
  }
  return receiver;
}

void i_SignalReceiver_impl::Destroy(i_SignalReceiver_impl* receiver) {
  ISTD_TRACE_FNC();
  if (receiver == nullptr) return;
  {
    std::unique_lock<std::mutex> lock(receiver->m_mutex);
    receiver->m_target = nullptr;
    receiver->m_idle.wait(lock, [receiver] { return receiver->m_calls == 0; });
  }
  inet::OrbManager* om = inet::OM();
  try {
    if (om->IsActive()) {
      om->Deactivate(receiver);  // drops the creation reference
      return;
    }
  } catch (const CORBA::Exception& e) {
    ISTD_TRACE(istd::eLow, "isig: signal receiver not deactivated: " << e);
  } catch (...) {
    ISTD_TRACE(istd::eLow, "isig: signal receiver not deactivated.");
  }
  // Requests are held or the ORB is gone: the adapter keeps (or kept) its
  // own reference; only the creator's goes here.
  receiver->_remove_ref();
}

SignalDispatchBase* i_SignalReceiver_impl::Enter() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_target != nullptr) ++m_calls;
  return m_target;
}

void i_SignalReceiver_impl::Leave() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (--m_calls == 0) m_idle.notify_all();
}

template <typename T, typename Buffer>
void i_SignalReceiver_impl::Forward(const char* operation, const Buffer& data,
                                    const i_NET::SignalMeta& meta) {
  ISTD_TRACE(istd::eDetail, operation << ": " << data.length() << " values, " << meta.length()
                                      << " meta-data entries");
  if (!inet::PlausibleLength(data)) {
    ISTD_TRACE(istd::eLow, operation << ": " << data.length()
                                     << " values claimed, more than a message carries: dropped");
    return;
  }
  SignalDispatchBase* target = Enter();
  if (target == nullptr) {
    ISTD_TRACE(istd::eMedium, operation << ": receiver destroyed, block dropped");
    return;
  }
  try {
    std::vector<T> scratch;
    const T* values = ValuesOf<T>(data, scratch);
    target->Dispatch(values, data.length(), FromWireMeta(meta));
  } catch (const std::exception& e) {
    ISTD_TRACE(istd::eLow, operation << ": dispatch failed: " << e.what());
  } catch (...) {
    ISTD_TRACE(istd::eLow, operation << ": dispatch failed.");
  }
  Leave();
}

void i_SignalReceiver_impl::DispatchInt8(const i_NET::Int8Buffer& data,
                                         const i_NET::SignalMeta& meta) {
  Forward<signed char>("DispatchInt8", data, meta);
}
void i_SignalReceiver_impl::DispatchUInt8(const i_NET::UInt8Buffer& data,
                                          const i_NET::SignalMeta& meta) {
  Forward<unsigned char>("DispatchUInt8", data, meta);
}
void i_SignalReceiver_impl::DispatchInt16(const i_NET::Int16Buffer& data,
                                          const i_NET::SignalMeta& meta) {
  Forward<short>("DispatchInt16", data, meta);
}
void i_SignalReceiver_impl::DispatchUInt16(const i_NET::UInt16Buffer& data,
                                           const i_NET::SignalMeta& meta) {
  Forward<unsigned short>("DispatchUInt16", data, meta);
}
void i_SignalReceiver_impl::DispatchInt32(const i_NET::Int32Buffer& data,
                                          const i_NET::SignalMeta& meta) {
  Forward<int>("DispatchInt32", data, meta);
}
void i_SignalReceiver_impl::DispatchUInt32(const i_NET::UInt32Buffer& data,
                                           const i_NET::SignalMeta& meta) {
  Forward<unsigned int>("DispatchUInt32", data, meta);
}
void i_SignalReceiver_impl::DispatchInt64(const i_NET::Int64Buffer& data,
                                          const i_NET::SignalMeta& meta) {
  Forward<long long>("DispatchInt64", data, meta);
}
void i_SignalReceiver_impl::DispatchUInt64(const i_NET::UInt64Buffer& data,
                                           const i_NET::SignalMeta& meta) {
  Forward<unsigned long long>("DispatchUInt64", data, meta);
}
void i_SignalReceiver_impl::DispatchFloat(const i_NET::FloatBuffer& data,
                                          const i_NET::SignalMeta& meta) {
  Forward<float>("DispatchFloat", data, meta);
}
void i_SignalReceiver_impl::DispatchDouble(const i_NET::DoubleBuffer& data,
                                           const i_NET::SignalMeta& meta) {
  Forward<double>("DispatchDouble", data, meta);
}

void i_SignalReceiver_impl::Cancel(CORBA::Long code) {
  ISTD_TRACE_FNC();
  ISTD_TRACE(istd::eMedium, "Cancel: code " << static_cast<SuccessCode_e>(code));
  // A code that a read answers without ending (a block read, a time-out)
  // would leave the clients waiting for blocks that no longer come.
  const auto ending = static_cast<SuccessCode_e>(code);
  const SuccessCode_e completion = ending == eSuccess || ending == eTimeout ? eCancelled : ending;
  SignalDispatchBase* target = Enter();
  if (target == nullptr) return;
  try {
    target->Cancel(completion);
  } catch (const std::exception& e) {
    ISTD_TRACE(istd::eLow, "Cancel: failed: " << e.what());
  } catch (...) {
    ISTD_TRACE(istd::eLow, "Cancel: failed.");
  }
  Leave();
}

}  // namespace isig
