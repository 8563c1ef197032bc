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
// Server restarts. The server reference comes with a resolver that finds
// the signal object again (isig/remote_signal_ref.h). A registration that
// finds the object gone looks it up anew and registers there. When the
// proxy of the signal's registry has reconnected, it calls OnReconnected:
// an open stream then registers its receiver with the object as the server
// has it now, and its clients go on receiving blocks (the server's count
// starts anew); when that fails, the failure is traced at Low and every
// client is cancelled with eFailure, so that no reader waits for blocks
// that cannot come. A closed stream registers anew when it is opened.
//
// Threads: pushes arrive on request broker threads; OpenInput, CloseInput
// and GetStatistics make one blocking remote call each (bounded by the
// ORB's call timeout; a registration that looks the object up again makes
// two more) on the caller's thread; OnReconnected runs on the thread that
// reconnected the proxy. The stream's clients call OpenInput and
// CloseInput under the stream's input lock, and OnReconnected takes it as
// well; a program that calls OpenInput or CloseInput directly does so from
// one thread at a time. The destructor must run when no client acts on the
// stream any more (clients keep a shared-owned stream alive, and the proxy
// holds it only weakly, so that is the normal case).
//
// Ownership: the stream holds its own duplicate of the server reference and
// the creation reference of its receiver.
#ifndef VARNEK_ISIG_REMOTE_STREAM_H
#define VARNEK_ISIG_REMOTE_STREAM_H

#include <omniORB4/CORBA.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <string>
#include <utility>

#include "isig/i_signal_receiver_impl.h"
#include "isig/remote_signal_ref.h"
#include "isig/signal_types.h"
#include "isig/stream.h"
#include "isig/wire_types.h"
#include "istd/exception.h"
#include "istd/log.h"
#include "network/conversion.h"
#include "network/i_remote_signal.h"

namespace isig {

template <typename STREAM_TRAITS>
class RemoteStream : public Stream<STREAM_TRAITS>, public Reconnectable {
 public:
  using Traits = STREAM_TRAITS;
  using Buffer = typename Stream<STREAM_TRAITS>::Buffer;

  // Receiver queue size sent to the server at least.
  static constexpr size_t c_minQueueSize = 4;

  // A stream named `name` on the server's `signal` (duplicated; nil is
  // accepted, OpenInput then fails), atoms as `traits`, asking the server
  // for a receiver queue of `queueSize` blocks (raised to 4); `resolver`
  // (may be empty) finds the signal object again after the server
  // restarted. Throws istd::Exception "isig: Runtime atom is not valid."
  // when the trace runs at High and `traits` hold no valid atom, and what
  // i_SignalReceiver_impl::Create throws.
  RemoteStream(const std::string& name, i_NET::_objref_RemoteSignal* signal, const Traits& traits,
               size_t queueSize, SignalResolver resolver = SignalResolver())
      : Stream<STREAM_TRAITS>(name, traits),
        m_remoteSignal(signal, std::move(resolver)),
        m_receiver(nullptr),
        m_queueSize(std::max(queueSize, c_minQueueSize)),
        m_registered(false) {
    ISTD_TRACE_FNC();
    ISTD_TRACE(istd::eHigh, "Group size: " << traits.GroupSize());
    m_receiver = i_SignalReceiver_impl::Create(this);
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
  }

  // Registers the receiver with the server (mode 0, the stream's group
  // size, offset 0, the queue size) unless it is registered; when the
  // server's object is gone, once more with the object looked up anew.
  // Throws istd::Exception "OpenInput: Missing remote signal reference."
  // without a server reference, and "isig: can't register signal
  // receiver." when the server refuses (a non-zero answer, traced at Low
  // with the answer), the call fails (CORBA exceptions traced at High) or
  // the traits hold no valid atom. The receiver then stays unregistered
  // and a later OpenInput tries again.
  void OpenInput() override {
    ISTD_TRACE_FNC();
    if (m_registered) return;
    i_NET::RemoteSignal_var signal = m_remoteSignal.Get();
    if (CORBA::is_nil(signal.in())) {
      throw istd::Exception("OpenInput: Missing remote signal reference.", true);
    }
    CORBA::ULong result = 0;
    if (Register(signal, result) && result == 0) {
      m_registered = true;
      return;
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
    i_NET::RemoteSignal_var signal = m_remoteSignal.Get();
    if (CORBA::is_nil(signal.in())) {
      ISTD_TRACE(istd::eHigh, "Close: Missing remote signal reference.");
      return;
    }
    try {
      i_NET::SignalReceiver_var receiver = m_receiver->_this();
      signal->UnregisterReceiver(receiver.in());
    } catch (const CORBA::SystemException& e) {
      ISTD_TRACE(istd::eHigh, "Can't access remote signal: " << e);
    } catch (const CORBA::Exception& e) {
      ISTD_TRACE(istd::eHigh, "Can't access remote signal: " << e);
      throw istd::Exception("isig: can't register signal receiver.", true);
    } catch (...) {
      ISTD_TRACE(istd::eHigh, "Can't access remote signal.");
    }
  }

  // The proxy of the signal's registry reconnected (Reconnectable). An open
  // stream looks the server's object up again and registers its receiver
  // there (with the same object, after unregistering it, which drops a
  // registration the server may still hold). When that fails the stream
  // says so in the trace (Low) and cancels every client with eFailure; the
  // next client to open tries again. A closed or shut-down stream does
  // nothing. Never throws.
  void OnReconnected() override {
    ISTD_TRACE_FNC();
    const auto input = this->LockInput();
    if (!m_registered || this->State() == eStreamShutDown) return;
    m_registered = false;
    i_NET::RemoteSignal_var before = m_remoteSignal.Get();
    i_NET::RemoteSignal_var signal = m_remoteSignal.Resolve(this->Name());
    CORBA::ULong result = 0;
    bool registered = false;
    if (!CORBA::is_nil(signal.in())) {
      if (signal->_is_equivalent(before.in())) Unregister(signal.in());
      registered = Register(signal, result) && result == 0;
    }
    if (registered) {
      m_registered = true;
      ISTD_TRACE(istd::eMedium, this->Name()
                                    << ": receiver registered again after the reconnection.");
      return;
    }
    ISTD_TRACE(istd::eLow, this->Name() << ": can't register the receiver again after the "
                                           "reconnection; cancelling the clients.");
    this->CancelClients(eFailure);
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
      i_NET::RemoteSignal_var signal = m_remoteSignal.Get();
      i_NET::SignalReceiver_var receiver = m_receiver->_this();
      i_NET::SignalStats_var items = signal->GetStatistics(receiver.in());
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
  // Calls RegisterReceiver through `signal`; when that finds the object
  // gone, once more through the object looked up anew (`signal` then holds
  // it). True with the server's answer in `result` (a refusal traced at
  // Low); false when the call failed (traced at High) or the traits hold no
  // valid atom.
  bool Register(i_NET::RemoteSignal_var& signal, CORBA::ULong& result) {
    for (bool renewed = false;; renewed = true) {
      try {
        i_NET::SignalReceiver_var receiver = m_receiver->_this();
        result = signal->RegisterReceiver(receiver.in(), 0, this->GroupSize(), 0,
                                          static_cast<CORBA::ULong>(m_queueSize));
        if (result != 0) {
          ISTD_TRACE(istd::eLow, this->Name()
                                     << ": the server refused the receiver: result " << result);
        }
        return true;
      } catch (const CORBA::SystemException& e) {
        ISTD_TRACE(istd::eHigh, "Can't access remote signal: " << e);
        if (renewed || !ReferenceLost(e)) return false;
        i_NET::RemoteSignal_var found = m_remoteSignal.Renew(signal.in(), this->Name());
        if (CORBA::is_nil(found.in())) return false;
        signal = found._retn();
      } catch (const CORBA::Exception& e) {
        ISTD_TRACE(istd::eHigh, "Can't access remote signal: " << e);
        return false;
      } catch (...) {
        return false;
      }
    }
  }

  // Unregisters the receiver at `signal`; failures are traced at High and
  // ignored.
  void Unregister(i_NET::RemoteSignal_ptr signal) {
    try {
      i_NET::SignalReceiver_var receiver = m_receiver->_this();
      signal->UnregisterReceiver(receiver.in());
    } catch (const CORBA::Exception& e) {
      ISTD_TRACE(istd::eHigh, "Can't access remote signal: " << e);
    }
  }

  RemoteSignalRef m_remoteSignal;
  i_SignalReceiver_impl* m_receiver;
  size_t m_queueSize;
  std::atomic<bool> m_registered;  // changed under the stream's input lock
};

}  // namespace isig

#endif  // VARNEK_ISIG_REMOTE_STREAM_H
