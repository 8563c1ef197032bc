// isig::DodRemoteClient<TRAITS>, a reader of a data-on-demand source, and
// isig::DodClientHost<TRAITS>, what such a source offers its clients (the
// client library's isig::DataOnDemandRemoteSource implements it; this
// header knows nothing of it). Read fetches a block of atoms at a chosen
// position from the server with the DodRead operation of the element type
// (isig::WireType), and Cancel ends a pending read at once with a
// completion code.
//
// The wire call. DodRead<Type>(receiver, start, count, data, meta): the
// client passes a nil receiver (it has none), `start` is the position of
// the first atom, `count` the number of atoms; the server answers 0 and up
// to count * Length() values with their meta-data, or a non-zero refusal.
// When the call finds the server's object gone (isig::ReferenceLost: the
// server restarted, for instance), the client asks the source for the
// object anew and, when the source finds another one, makes the call once
// more there.
//
// Threads: each Read runs the remote call on a helper thread of the client
// and waits for it, so that Cancel (from any thread) can end the wait. A
// cancelled call runs on until the server answers (bounded by the ORB's
// call timeout); its answer is dropped, and the next Read or the
// destructor waits for it. Read is meant for one thread at a time.
//
// Attachment: the constructor adds the client to the source
// (DodClientHost::AddClient) and the destructor removes it; once that
// returns, no cancellation of the source touches the client any more. The
// client refers to its source weakly: a source destroyed first leaves the
// client alive, and its reads answer eClosed.
#ifndef VARNEK_ISIG_DOD_REMOTE_CLIENT_H
#define VARNEK_ISIG_DOD_REMOTE_CLIENT_H

#include <omniORB4/CORBA.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "isig/array.h"
#include "isig/signal_source.h"
#include "isig/signal_types.h"
#include "isig/wire_types.h"
#include "istd/exception.h"
#include "istd/log.h"
#include "network/conversion.h"

namespace isig {

template <typename TRAITS>
class DodRemoteClient;

// The side of a data-on-demand source that its clients see. Every
// operation may be called from any thread.
template <typename TRAITS>
class DodClientHost {
 public:
  // Values per atom; 0 when the source holds no valid atom.
  virtual unsigned int ValuesPerAtom() const = 0;
  // Adds `client` to the clients that the source's Cancel reaches.
  virtual void AddClient(DodRemoteClient<TRAITS>& client) = 0;
  // Removes `client`; once this returns, no Cancel of the source calls it.
  virtual void RemoveClient(DodRemoteClient<TRAITS>& client) = 0;
  // The server's signal object: a new reference (the caller releases it),
  // nil when the source has none.
  virtual i_NET::_objref_RemoteSignal* SignalReference() const = 0;
  // A call through `lost` (a reference SignalReference gave) found the
  // object gone: the object found anew (a new reference the caller
  // releases), or nil when no other object can be found. Never throws.
  virtual i_NET::_objref_RemoteSignal* RenewSignalReference(i_NET::_objref_RemoteSignal* lost) = 0;

 protected:
  virtual ~DodClientHost() = default;
};

template <typename TRAITS>
class DodRemoteClient : public SignalClientBase {
 public:
  using Source = DodClientHost<TRAITS>;
  using Element = typename TRAITS::Element;
  using Buffer = Array<TRAITS>;

  // A client named `name` attached to `source`. Throws istd::Exception
  // "isig: data-on-demand client without source." for an empty pointer.
  DodRemoteClient(const std::shared_ptr<Source>& source, const std::string& name)
      : SignalClientBase(name), m_source(source) {
    if (!source) throw istd::Exception("isig: data-on-demand client without source.", true);
    source->AddClient(*this);
  }

  // Detaches from the source (if it still exists) and waits for a call
  // still running.
  ~DodRemoteClient() override {
    if (std::shared_ptr<Source> source = m_source.lock()) source->RemoveClient(*this);
    if (m_caller.joinable()) m_caller.join();
  }

  // Reads `atomCount` atoms from atom `position` on into `block` (resized
  // to the whole atoms received, possibly fewer; atoms beyond `atomCount`
  // that the server sent anyway are dropped) and their meta-data into
  // `meta`. Returns eSuccess; the cancellation code when Cancel ended the
  // read; eNoData when the server refused (non-zero answer); eFailure when
  // the call failed (InvalidType, server unreachable also after asking the
  // source for the object anew; traced at Low) or the source's traits hold
  // no valid atom; eClosed when the source no longer exists. `block` and
  // `meta` change only on eSuccess.
  SuccessCode_e Read(unsigned long long position, unsigned int atomCount, Buffer& block,
                     SignalMeta& meta) {
    ISTD_TRACE_FNC();
    std::shared_ptr<Source> source = m_source.lock();
    if (!source) return eClosed;
    if (source->ValuesPerAtom() == 0) {
      ISTD_TRACE(istd::eLow, Name() << ": read refused: the runtime atom is not valid.");
      return eFailure;
    }
    if (m_caller.joinable()) m_caller.join();  // a cancelled call ends first
    auto call = std::make_shared<Call>();
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_pending = call;
    }
    m_caller = std::thread(
        [call, source, position, atomCount, this] { Fetch(*call, *source, position, atomCount); });
    SuccessCode_e code;
    bool finished;
    {
      std::unique_lock<std::mutex> lock(call->mutex);
      call->changed.wait(lock, [&call] { return call->finished || call->cancelled; });
      finished = call->finished;
      code = finished ? call->code : call->cancelCode;
      if (finished && code == eSuccess) {
        block = std::move(call->block);
        meta = std::move(call->meta);
      }
    }
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_pending.reset();
    }
    if (finished) m_caller.join();
    return code;
  }

  // Ends the pending read, if any, with `code` (0 gives eCancelled). A
  // read started later is not affected.
  void Cancel(SuccessCode_e code) override {
    std::shared_ptr<Call> call;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      call = m_pending;
    }
    if (!call) return;
    std::lock_guard<std::mutex> lock(call->mutex);
    if (call->finished) return;
    call->cancelled = true;
    call->cancelCode = code == eSuccess ? eCancelled : code;
    call->changed.notify_all();
  }

 private:
  // One read, shared by the reader and the helper thread that calls the
  // server.
  struct Call {
    std::mutex mutex;
    std::condition_variable changed;  // finished or cancelled
    bool finished = false;
    bool cancelled = false;
    SuccessCode_e code = eFailure;
    SuccessCode_e cancelCode = eCancelled;
    Buffer block;
    SignalMeta meta;
  };

  // Runs on the helper thread: the remote call (once more on the object
  // found anew when the first call finds the object gone) and the
  // conversion of its answer into `call`.
  void Fetch(Call& call, Source& source, unsigned long long position, unsigned int atomCount) {
    SuccessCode_e code = eFailure;
    Buffer block;
    SignalMeta meta;
    i_NET::RemoteSignal_var signal = source.SignalReference();
    for (bool renewed = false;; renewed = true) {
      try {
        code = ReadFrom(signal.in(), source.ValuesPerAtom(), position, atomCount, block, meta);
      } catch (const i_NET::InvalidType& e) {
        ISTD_TRACE(istd::eLow, Name() << ": read failed: " << e << ": " << e.what.in());
      } catch (const CORBA::SystemException& e) {
        if (!renewed && ReferenceLost(e)) {
          i_NET::RemoteSignal_var found = source.RenewSignalReference(signal.in());
          if (!CORBA::is_nil(found.in())) {
            ISTD_TRACE(istd::eMedium, Name() << ": read failed: " << e
                                             << "; reading from the signal object found anew.");
            signal = found._retn();
            continue;
          }
        }
        ISTD_TRACE(istd::eLow, Name() << ": read failed: " << e);
      } catch (const CORBA::Exception& e) {
        ISTD_TRACE(istd::eLow, Name() << ": read failed: " << e);
      } catch (const std::exception& e) {
        ISTD_TRACE(istd::eLow, Name() << ": read failed: " << e.what());
      }
      break;
    }
    std::lock_guard<std::mutex> lock(call.mutex);
    call.finished = true;
    call.code = code;
    call.block = std::move(block);
    call.meta = std::move(meta);
    call.changed.notify_all();
  }

  // One DodRead through `signal` of atoms `length` values long. Throws the
  // call's CORBA exceptions.
  SuccessCode_e ReadFrom(i_NET::RemoteSignal_ptr signal, unsigned int length,
                         unsigned long long position, unsigned int atomCount, Buffer& block,
                         SignalMeta& meta) {
    typename WireType<Element>::BufferVar data;
    i_NET::SignalMeta_var wireMeta;
    const CORBA::ULong result = WireType<Element>::DodRead(signal, i_NET::SignalReceiver::_nil(),
                                                           position, atomCount, data, wireMeta);
    if (result != 0) {
      ISTD_TRACE(istd::eHigh, Name()
                                  << ": server refused the read at " << position << ": " << result);
      return eNoData;
    }
    if (!inet::PlausibleLength(data.in())) {
      // Longer than one message can carry: the length is a faulty
      // server's, with no values behind it.
      ISTD_TRACE(istd::eLow, Name() << ": server answered " << data->length()
                                    << " values, more than one message can carry: refused.");
      return eFailure;
    }
    std::vector<Element> scratch;
    const Element* values = ValuesOf<Element>(data.in(), scratch);
    unsigned int atoms = data->length() / length;
    if (atoms > atomCount) {
      ISTD_TRACE(istd::eLow, Name() << ": server answered " << atoms << " atoms for " << atomCount
                                    << " asked: the rest dropped.");
      atoms = atomCount;
    }
    block = Buffer(length, atoms);
    std::copy(values, values + block.Size(), block.Data());
    meta = FromWireMeta(wireMeta.in());
    return eSuccess;
  }

  const std::weak_ptr<Source> m_source;
  std::mutex m_mutex;               // guards m_pending
  std::shared_ptr<Call> m_pending;  // the read in progress
  std::thread m_caller;             // helper thread of the last read
};

}  // namespace isig

#endif  // VARNEK_ISIG_DOD_REMOTE_CLIENT_H
