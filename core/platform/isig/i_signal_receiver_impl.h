// isig::i_SignalReceiver_impl, the servant of i_NET::SignalReceiver through
// which a server pushes signal data to a stream: every Dispatch<Type>
// becomes Dispatch on the target (an isig::SignalDispatchBase, normally the
// stream that created the receiver) with the meta-data pairs as a map, and
// A block claiming more values than one message can carry
// (inet::PlausibleLength) is dropped.
// Cancel(long) becomes Cancel(isig::SuccessCode_e): the server's code,
// except that 0 (eSuccess) and eTimeout, which a client's read answers
// without the stream having ended, become eCancelled.
//
// Threads: incoming calls run on the request broker's threads, several at
// once; failures of the target are traced at Low and never reach the
// server. Destroy may come from any other thread: it detaches the target
// and waits until no call is running on it any more, so that the target may
// be destroyed as soon as Destroy returns. It must not be called from inside
// a call of the same receiver (that call would wait for itself).
//
// Ownership: Create makes the servant and activates it through the ORB
// manager ("NET-bidir"); the creator holds the creation reference until
// Destroy, which deactivates the servant and drops that reference. The
// servant is deleted once the adapter has let go of it too. The target is
// not owned.
#ifndef VARNEK_ISIG_I_SIGNAL_RECEIVER_IMPL_H
#define VARNEK_ISIG_I_SIGNAL_RECEIVER_IMPL_H

#include <condition_variable>
#include <mutex>

#include "isig/signal_dispatch_base.h"
#include "network/i_signal_receiver.h"

namespace isig {

class i_SignalReceiver_impl : public POA_i_NET::SignalReceiver {
 public:
  // A new receiver forwarding to `target`, active in the ORB manager's
  // bidirectional adapter. Throws istd::Exception "isig: can't activate
  // signal receiver." when the ORB manager is not active (no ORB yet, or
  // already shut down); CORBA exceptions of the activation propagate.
  static i_SignalReceiver_impl* Create(SignalDispatchBase* target);
  // Detaches the target (waiting for running calls), deactivates the
  // servant and drops the creation reference. Calls that arrive later find
  // no object (the server sees CORBA::OBJECT_NOT_EXIST). Null is ignored.
  // Never throws.
  static void Destroy(i_SignalReceiver_impl* receiver);

  void DispatchInt8(const i_NET::Int8Buffer& data, const i_NET::SignalMeta& meta) override;
  void DispatchUInt8(const i_NET::UInt8Buffer& data, const i_NET::SignalMeta& meta) override;
  void DispatchInt16(const i_NET::Int16Buffer& data, const i_NET::SignalMeta& meta) override;
  void DispatchUInt16(const i_NET::UInt16Buffer& data, const i_NET::SignalMeta& meta) override;
  void DispatchInt32(const i_NET::Int32Buffer& data, const i_NET::SignalMeta& meta) override;
  void DispatchUInt32(const i_NET::UInt32Buffer& data, const i_NET::SignalMeta& meta) override;
  void DispatchInt64(const i_NET::Int64Buffer& data, const i_NET::SignalMeta& meta) override;
  void DispatchUInt64(const i_NET::UInt64Buffer& data, const i_NET::SignalMeta& meta) override;
  void DispatchFloat(const i_NET::FloatBuffer& data, const i_NET::SignalMeta& meta) override;
  void DispatchDouble(const i_NET::DoubleBuffer& data, const i_NET::SignalMeta& meta) override;
  void Cancel(CORBA::Long code) override;

 protected:
  ~i_SignalReceiver_impl() override;

 private:
  explicit i_SignalReceiver_impl(SignalDispatchBase* target);

  // Registers a running call; the target, or null once detached.
  SignalDispatchBase* Enter();
  void Leave();
  template <typename T, typename Buffer>
  void Forward(const char* operation, const Buffer& data, const i_NET::SignalMeta& meta);

  std::mutex m_mutex;
  std::condition_variable m_idle;  // signalled when the last running call leaves
  SignalDispatchBase* m_target;    // null after Destroy
  unsigned int m_calls = 0;        // calls running on the target
};

}  // namespace isig

#endif  // VARNEK_ISIG_I_SIGNAL_RECEIVER_IMPL_H
