// isig::RemoteStream<STREAM_TRAITS>, the local stream of a signal that a
// remote server pushes: a passive isig::Stream whose input is the server's
// i_NET::RemoteSignal. It owns a signal receiver servant
// (isig::i_SignalReceiver_impl) that forwards the server's pushes into the
// stream's Dispatch; OpenInput registers that receiver with the server,
// CloseInput unregisters it, GetStatistics asks the server for its lines.
// Instantiated for the ten element types signed char, unsigned char, short,
// unsigned short, int, unsigned int, long long, unsigned long long, float
// and double (isig::SignalTraits<T>), which behave the same.
//
// Lifecycle: created (receiver active, not registered) -> opened (the first
// client opens: registered, the server pushes) -> closed (the last client
// closes: unregistered) -> opened again as often as wanted -> destroyed:
// shut down (every client cancelled with eCancelled), unregistered if still
// registered (a server that is gone is ignored), receiver destroyed (no
// push reaches the stream after that), reference released. After the
// server cancelled the stream (its Cancel reaches every client), the next
// client to open registers the receiver anew, and closing the cancelled
// clients unregisters it.
//
// Threads: pushes arrive on request broker threads; OpenInput, CloseInput
// and GetStatistics make one blocking remote call each (bounded by the
// ORB's call timeout) on the caller's thread. The stream's clients call
// OpenInput and CloseInput under the stream's input lock; a program that
// calls them directly does so from one thread at a time. The destructor
// must run when no client acts on the stream any more (clients keep a
// shared-owned stream alive, so that is the normal case).
//
// Ownership: the stream holds its own duplicate of the server reference and
// the creation reference of its receiver.
#ifndef VARNEK_ISIG_REMOTE_STREAM_H
#define VARNEK_ISIG_REMOTE_STREAM_H

#include <omniORB4/CORBA.h>

#include <algorithm>
#include <cstddef>
#include <exception>
#include <string>

#include "isig/i_signal_receiver_impl.h"
#include "isig/signal_types.h"
#include "isig/stream.h"
#include "istd/exception.h"
#include "istd/log.h"
#include "network/conversion.h"
#include "network/i_remote_signal.h"

namespace isig {

template <typename STREAM_TRAITS>
class RemoteStream : public Stream<STREAM_TRAITS> {
 public:
  using Traits = STREAM_TRAITS;
  using Buffer = typename Stream<STREAM_TRAITS>::Buffer;

  // Receiver queue size sent to the server at least.
  static constexpr size_t c_minQueueSize = 4;

  // A stream named `name` on the server's `signal` (duplicated; nil is
  // accepted, OpenInput then fails), atoms as `traits`, asking the server
  // for a receiver queue of `queueSize` blocks (raised to 4). Throws
  // istd::Exception "isig: Runtime atom is not valid." when the trace runs
  // at High and `traits` hold no valid atom, and what
  // i_SignalReceiver_impl::Create throws.
  RemoteStream(const std::string& name, i_NET::_objref_RemoteSignal* signal, const Traits& traits,
               size_t queueSize)
      : Stream<STREAM_TRAITS>(name, traits),
        m_remoteSignal(i_NET::RemoteSignal::_duplicate(signal)),
        m_receiver(nullptr),
        m_queueSize(std::max(queueSize, c_minQueueSize)),
        m_registered(false) {
    ISTD_TRACE_FNC();
    try {
      ISTD_TRACE(istd::eHigh, "Group size: " << traits.GroupSize());
      m_receiver = i_SignalReceiver_impl::Create(this);
    } catch (...) {
      CORBA::release(m_remoteSignal);  // no destructor runs for this object
      throw;
    }
  }

  ~RemoteStream() override {
    ISTD_TRACE_FNC();
    this->ShutDown();
    if (m_registered) {
      // Shutting a passive stream down leaves the receiver registered; tell
      // the server, so that it stops pushing to a receiver that goes away.
      try {
        CloseInput();
      } catch (const std::exception& e) {
        ISTD_TRACE(istd::eLow, e.what());
      } catch (...) {
        ISTD_TRACE(istd::eLow, "Can't access remote signal.");
      }
    }
    i_SignalReceiver_impl::Destroy(m_receiver);
    CORBA::release(m_remoteSignal);
  }

  // Registers the receiver with the server (mode 0, the stream's group
  // size, offset 0, the queue size) unless it is registered. A refusal of
  // the server (non-zero result) leaves it unregistered, silently; a later
  // OpenInput tries again. Throws istd::Exception "OpenInput: Missing
  // remote signal reference." without a server reference, and "isig: can't
  // register signal receiver." when the call fails (CORBA exceptions traced
  // at High) or the traits hold no valid atom.
  void OpenInput() override {
    ISTD_TRACE_FNC();
    if (m_registered) return;
    if (CORBA::is_nil(m_remoteSignal)) {
      throw istd::Exception("OpenInput: Missing remote signal reference.", true);
    }
    try {
      i_NET::SignalReceiver_var receiver = m_receiver->_this();
      const CORBA::ULong result = m_remoteSignal->RegisterReceiver(
          receiver.in(), 0, this->GroupSize(), 0, static_cast<CORBA::ULong>(m_queueSize));
      if (result == 0) m_registered = true;
      return;
    } catch (const CORBA::SystemException& e) {
      ISTD_TRACE(istd::eHigh, "Can't access remote signal: " << e);
    } catch (const CORBA::Exception& e) {
      ISTD_TRACE(istd::eHigh, "Can't access remote signal: " << e);
    } catch (...) {
    }
    throw istd::Exception("isig: can't register signal receiver.", true);
  }

  // Unregisters the receiver when it is registered (the flag is cleared
  // first). A server that cannot be reached is traced at High and ignored;
  // a user exception of the server throws istd::Exception "isig: can't
  // register signal receiver.".
  void CloseInput() override {
    ISTD_TRACE_FNC();
    if (!m_registered) return;
    m_registered = false;
    if (CORBA::is_nil(m_remoteSignal)) {
      ISTD_TRACE(istd::eHigh, "Close: Missing remote signal reference.");
      return;
    }
    try {
      i_NET::SignalReceiver_var receiver = m_receiver->_this();
      m_remoteSignal->UnregisterReceiver(receiver.in());
    } catch (const CORBA::SystemException& e) {
      ISTD_TRACE(istd::eHigh, "Can't access remote signal: " << e);
    } catch (const CORBA::Exception& e) {
      ISTD_TRACE(istd::eHigh, "Can't access remote signal: " << e);
      throw istd::Exception("isig: can't register signal receiver.", true);
    } catch (...) {
      ISTD_TRACE(istd::eHigh, "Can't access remote signal.");
    }
  }

  // Data is never pulled from a remote stream: always throws
  // istd::Exception "RemoteStream::ReadInput should not be called.".
  int ReadInput(Buffer&) override {
    throw istd::Exception("RemoteStream::ReadInput should not be called.", true);
  }

  // The server's statistics lines for this stream's receiver, copied one to
  // one. Never throws: failures (a receiver the server does not know raises
  // NotFound) are traced at High and give the lines read so far (none).
  SignalStats GetStatistics() const override {
    ISTD_TRACE_FNC();
    SignalStats stats;
    try {
      i_NET::SignalReceiver_var receiver = m_receiver->_this();
      i_NET::SignalStats_var items = m_remoteSignal->GetStatistics(receiver.in());
      stats.reserve(items->length());
      for (CORBA::ULong i = 0; i < items->length(); ++i) {
        const i_NET::SignalStatItem& item = items[i];
        SignalStatItem line;
        line.name = item.name.in();
        line.total = item.total;
        line.rejected = item.rejected;
        line.asize = item.asize;
        stats.push_back(line);
      }
    } catch (const CORBA::SystemException& e) {
      ISTD_TRACE(istd::eHigh, "Can't get remote statistics (ignoring): " << e);
    } catch (const CORBA::Exception& e) {
      ISTD_TRACE(istd::eHigh, "Can't get remote statistics (ignoring): " << e);
    } catch (...) {
      ISTD_TRACE(istd::eHigh, "Can't get remote statistics (ignoring).");
    }
    return stats;
  }

  // The receiver queue size sent to the server.
  size_t QueueSize() const { return m_queueSize; }
  // Whether the receiver is registered with the server.
  bool IsRegistered() const { return m_registered; }

 private:
  i_NET::_objref_RemoteSignal* m_remoteSignal;
  i_SignalReceiver_impl* m_receiver;
  size_t m_queueSize;
  bool m_registered;
};

}  // namespace isig

#endif  // VARNEK_ISIG_REMOTE_STREAM_H
