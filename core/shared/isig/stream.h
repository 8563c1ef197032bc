// isig::Stream<STREAM_TRAITS>, the stream of the signal library: it owns
// the list of its clients' queues and fans every block of atoms that enters
// it out to all of them, as one shared block (moved in, never copied per
// client), and it carries the stream's state through cancellation and
// shutdown. Remote streams (isig::RemoteStream) derive from it.
//
// Data enters a passive stream (the mode of every stream made with the
// public constructor, and of remote streams) through Dispatch, pushed from
// outside: for a remote stream by the signal receiver on a request broker
// thread. Derived streams may choose a mode with a dispatching thread of
// their own (m_thread, started by them); cancellation then stops that
// thread: in mode eDispatchThread always, in eDispatchThreadUntilShutDown
// only for eCancelled. Stopping closes the input (CloseInput) and joins the
// thread.
//
// Clients (isig::StreamClient, from NewSignalClient) attach their queues
// with AttachQueue, which then asks the input to open (OpenInput; an open
// input stays as it is), and detach them with DetachQueue; the last queue
// detached closes the input (CloseInput). Cancellation removes every queue
// from the list, ending each with the completion code; ShutDown cancels
// with eCancelled and leaves the stream shut down for good. A passive
// stream keeps its input open through a cancellation; the first client to
// open or close afterwards closes it (and an opening client opens it anew),
// so that a remote stream whose server ended the pushing registers again
// and one that nobody reads any more is unregistered.
//
// Every trace line of a stream starts with its name.
//
// Locks, in this order: the input lock (held while a client opens or closes
// the input, around OpenInput/CloseInput, which may call a server), the
// queues lock m_queuesMutex (the queue list; held while a block is pushed),
// the state lock m_stateMutex, then a queue's own lock. CloseInput from a
// stop of dispatching and the join of the dispatching thread run without
// the queues and state locks. Dispatch may run on several threads at once.
//
// Ownership: the queues belong to the clients; the list only points at
// them, and a client detaches its queue (under the queues lock) before it
// deletes it.
#ifndef VARNEK_ISIG_STREAM_H
#define VARNEK_ISIG_STREAM_H

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <typeinfo>
#include <utility>
#include <vector>

#include "isig/array.h"
#include "isig/signal_dispatch_base.h"
#include "isig/signal_source.h"
#include "isig/signal_traits.h"
#include "isig/signal_types.h"
#include "isig/stream_client.h"
#include "isig/stream_queue.h"
#include "istd/assert.h"
#include "istd/exception.h"
#include "istd/log.h"
#include "istd/process.h"

namespace isig {

template <typename STREAM_TRAITS>
class Stream : public SignalSource,
               public SignalDispatchBase,
               public StreamQueueHost<STREAM_TRAITS> {
 public:
  using Traits = STREAM_TRAITS;
  using Element = typename Traits::Element;
  using Buffer = Array<Traits>;
  using Pair = MetaBufferPair<Traits>;
  using Queue = StreamQueue<Traits>;
  using Client = StreamClient<Traits>;

  // Queue size of a client asked for with size 0.
  static constexpr unsigned int c_defaultQueueSize = 64;

  // A passive, idle stream without clients.
  Stream(const std::string& name, const Traits& traits) : Stream(name, traits, eDispatchPassive) {}

  // Shuts the stream down (cancelling every client with eCancelled) and
  // waits for a state change still in progress. A derived stream must have
  // stopped its dispatching thread by then (a joinable thread is a broken
  // invariant).
  ~Stream() override {
    ISTD_TRACE_FNC();
    Stream::ShutDown();
    { std::lock_guard<std::mutex> lock(m_stateMutex); }
    ISTD_ASSERT(!m_thread.joinable());
  }

  // The description, from the traits. AtomSize, GroupSize and
  // GetComponentNames throw istd::Exception "isig: Runtime atom is not
  // valid." when the traits hold no valid atom.
  size_t AtomSize() const override { return m_traits.AtomSize(); }
  unsigned int GroupSize() const override { return m_traits.GroupSize(); }
  const std::type_info& AtomType() const override { return typeid(typename Traits::Atom); }
  const std::type_info& BaseType() const override { return typeid(Element); }
  unsigned int Length() const override { return m_traits.Length(); }
  ComponentNames GetComponentNames() const override { return m_traits.GetComponentNames(); }
  AccessType_e AccessType() const override { return eAccessStream; }

  // A new closed client named `name` with a queue of `queueSize` blocks
  // (64 when 0); the caller owns it and opens it to receive blocks.
  SignalClientBase* NewSignalClient(const std::string& name, unsigned int queueSize) override {
    return new Client(*this, weak_from_this().lock(), m_traits, name,
                      queueSize == 0 ? c_defaultQueueSize : queueSize);
  }

  // Shuts the stream down for good: state eStreamShutDown, every client
  // cancelled with eCancelled. A second call returns at once.
  void ShutDown() override {
    ISTD_TRACE_FNC();
    StreamState state;
    {
      std::lock_guard<std::mutex> lock(m_stateMutex);
      state = m_state;
    }
    if (state == eStreamShutDown) return;
    ISTD_TRACE(istd::eMedium, Name() << ": Shutting down..");
    if (state != eStreamIdle) ISTD_TRACE(istd::eLow, Name() << ": Cancelling open handles.");
    {
      std::lock_guard<std::mutex> queues(m_queuesMutex);
      std::lock_guard<std::mutex> lock(m_stateMutex);
      if (m_state == eStreamShutDown) return;  // a concurrent ShutDown came first
      SetState(eStreamShutDown);
    }
    CancelClients(eCancelled);
    ISTD_TRACE(istd::eMedium, Name() << ": Shutdown finished.");
  }

  // Cancels every client with `code` (their queues answer it, eCancelled
  // for 0) and removes them from the stream. The stream stays usable:
  // clients may open again.
  void Cancel(SuccessCode_e code) override {
    ISTD_TRACE_FNC();
    CancelClients(code);
  }

  // Cancels every client with eCancelled; `reason` is traced.
  virtual void Cancel(std::string reason) {
    ISTD_TRACE_FNC();
    ISTD_TRACE(istd::eMedium, Name() << ": Cancel: " << reason);
    CancelClients(eCancelled);
  }

  // Copies the `count` values into a block of count / Length() atoms and
  // dispatches it. Values after the last whole atom are dropped; a stream
  // whose traits hold no valid atom refuses every block. Both traced at
  // Low.
  void Dispatch(const Element* data, unsigned int count, const SignalMeta& meta) override {
    const unsigned int length = m_traits.Length();
    if (length == 0) {
      ISTD_TRACE(istd::eLow, Name() << ": Dispatch: block of " << count
                                    << " values refused: the runtime atom is not valid.");
      return;
    }
    const unsigned int atoms = count / length;
    const size_t used = static_cast<size_t>(atoms) * length;
    if (used != count) {
      ISTD_TRACE(istd::eLow, Name() << ": Dispatch: " << count - used
                                    << " values after the last whole atom dropped.");
    }
    Buffer block(m_traits, atoms);
    std::copy(data, data + used, block.Data());
    Dispatch(std::move(block), meta);
  }

  // Hands `block` with `meta` to every attached queue as one shared pair.
  // The block's values are moved into the pair, not copied. A full queue
  // rejects the block (counted by the queue).
  void Dispatch(Buffer&& block, const SignalMeta& meta) {
    const unsigned int atoms = block.AtomCount();
    std::shared_ptr<const Pair> pair = std::make_shared<const Pair>(std::move(block), meta);
    std::lock_guard<std::mutex> lock(m_queuesMutex);
    ISTD_TRACE(istd::eDetail, Name() << ": Dispatching " << istd::CppName(AtomType())
                                     << ": #queues: " << m_queues.size() << ", atoms: " << atoms);
    for (Queue* queue : m_queues) queue->Push(pair);
    m_atomCount += atoms;
  }

  // Opens / closes the source of the data. Nothing here; remote streams
  // register and unregister their receiver.
  virtual void OpenInput() {}
  virtual void CloseInput() {}

  // Reads the next block from the input (for streams with a dispatching
  // thread). A passive stream cannot be read: throws istd::Exception
  // name + ": Running in passive mode.". Otherwise sets the block's atom
  // count to 0 and returns eNoData.
  virtual int ReadInput(Buffer& block) {
    if (m_mode == eDispatchPassive) {
      std::ostringstream os;
      os << Name() << ": Running in passive mode.";
      throw istd::Exception(os, true);
    }
    block.SetAtomCount(0);
    return eNoData;
  }

  // For the stream's clients (isig::StreamClient::Open): adds `queue` to
  // the list (once), then opens the input (OpenInput; it does nothing when
  // the input is open). The queue is attached first so that it sees the
  // first block the input delivers; when OpenInput throws, it is removed
  // again and the exception propagates. When a cancellation removed every
  // queue and left the input open (a passive stream does not stop; for a
  // remote stream the server may have ended its pushing), the input is
  // closed first (failures traced at Low) and opened anew. Throws
  // istd::Exception "isig: stream is shut down." after ShutDown.
  void AttachQueue(Queue& queue) override {
    ISTD_TRACE_FNC();
    std::lock_guard<std::mutex> input(m_inputMutex);
    bool stale = false;
    {
      std::lock_guard<std::mutex> queues(m_queuesMutex);
      {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        if (m_state == eStreamShutDown) {
          throw istd::Exception("isig: stream is shut down.", true);
        }
      }
      stale = m_inputStale && m_queues.empty();
      m_inputStale = false;
      if (std::find(m_queues.begin(), m_queues.end(), &queue) == m_queues.end()) {
        m_queues.push_back(&queue);
      }
      ISTD_TRACE(istd::eHigh, Name() << ": Client added, queue size: " << m_queues.size());
    }
    if (stale) CloseStaleInput();
    try {
      OpenInput();
    } catch (...) {
      std::lock_guard<std::mutex> queues(m_queuesMutex);
      auto it = std::find(m_queues.begin(), m_queues.end(), &queue);
      if (it != m_queues.end()) m_queues.erase(it);
      ISTD_TRACE(istd::eHigh, Name() << ": Client removed, queue size: " << m_queues.size());
      throw;
    }
  }

  // For the stream's clients (isig::StreamClient::Close): removes `queue`
  // from the list; when it was the last one, closes the input
  // (CloseInput, whose exceptions propagate). A queue that is not attached
  // any more (cancellation removed it) closes the input when a
  // cancellation left it open with no queue attached since.
  void DetachQueue(Queue& queue) override {
    ISTD_TRACE_FNC();
    std::lock_guard<std::mutex> input(m_inputMutex);
    bool last = false;
    bool stale = false;
    {
      std::lock_guard<std::mutex> queues(m_queuesMutex);
      auto it = std::find(m_queues.begin(), m_queues.end(), &queue);
      if (it != m_queues.end()) {
        m_queues.erase(it);
        last = m_queues.empty();
        ISTD_TRACE(istd::eHigh, Name() << ": Client removed, queue size: " << m_queues.size());
      } else {
        stale = m_inputStale && m_queues.empty();
      }
      if (m_queues.empty()) m_inputStale = false;
    }
    if (last) {
      CloseInput();
    } else if (stale) {
      CloseStaleInput();
    }
  }

  StreamState State() const {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_state;
  }
  DispatchMode_e Mode() const { return m_mode; }
  // Number of attached queues.
  size_t QueueCount() const {
    std::lock_guard<std::mutex> lock(m_queuesMutex);
    return m_queues.size();
  }
  // Atoms dispatched since the dispatching thread was last joined.
  unsigned int AtomCount() const {
    std::lock_guard<std::mutex> lock(m_queuesMutex);
    return m_atomCount;
  }
  const Traits& GetTraits() const { return m_traits; }

 protected:
  // A stream in `mode`; a derived stream with a dispatching thread starts
  // it in m_thread itself.
  Stream(const std::string& name, const Traits& traits, DispatchMode_e mode)
      : SignalSource(name, ""), m_traits(traits), m_mode(mode) {
    m_queues.reserve(30);
  }

  // The input lock, for a derived stream that opens or closes its input
  // on its own (a remote stream whose server came back); CancelClients may
  // be called under it in the passive mode, which never stops dispatching.
  std::unique_lock<std::mutex> LockInput() { return std::unique_lock<std::mutex>(m_inputMutex); }

  // Cancels and removes every queue; in the modes with a dispatching
  // thread, stops dispatching (state eStreamStopped, input closed, thread
  // joined) when the mode says so.
  void CancelClients(SuccessCode_e code) {
    ISTD_TRACE_FNC();
    const bool stop =
        m_mode == eDispatchThread || (m_mode == eDispatchThreadUntilShutDown && code == eCancelled);
    std::thread thread;
    {
      std::lock_guard<std::mutex> queues(m_queuesMutex);
      if (m_mode == eDispatchPassive && !m_queues.empty()) m_inputStale = true;
      while (!m_queues.empty()) {
        m_queues.front()->Cancel(code);
        m_queues.erase(m_queues.begin());
        ISTD_TRACE(istd::eHigh, Name() << ": Client removed, queue size: " << m_queues.size());
      }
      if (stop) {
        thread = std::move(m_thread);
        std::lock_guard<std::mutex> lock(m_stateMutex);
        if (m_state != eStreamShutDown) SetState(eStreamStopped);  // shut down is final
      }
    }
    ISTD_TRACE(istd::eMedium, Name() << ": stop = " << (stop ? 1 : 0) << ", a_code = " << code);
    if (stop) StopDispatching(thread);
  }

  // Closes the input (its exceptions are traced at Low and swallowed), then
  // joins `thread` in the modes with a dispatching thread, or returns a
  // passive stream to idle (unless it is shut down) and signals
  // m_stateChanged.
  void StopDispatching(std::thread& thread) {
    ISTD_TRACE_FNC();
    try {
      std::lock_guard<std::mutex> input(m_inputMutex);
      CloseInput();
    } catch (const std::exception& e) {
      ISTD_TRACE(istd::eLow, Name() << ": WARNING: CloseInput threw: " << e.what());
    } catch (...) {
      ISTD_TRACE(istd::eLow, Name() << ": WARNING: CloseInput threw exception.");
    }
    if (m_mode != eDispatchPassive) {
      if (thread.joinable()) {
        ISTD_TRACE(istd::eMedium, Name() << ": Input closed: will join the thread.");
        thread.join();
        std::lock_guard<std::mutex> queues(m_queuesMutex);
        m_atomCount = 0;
      }
      return;
    }
    std::lock_guard<std::mutex> queues(m_queuesMutex);
    {
      std::lock_guard<std::mutex> lock(m_stateMutex);
      if (m_state != eStreamShutDown) SetState(eStreamIdle);
    }
    m_stateChanged.notify_all();
  }

 private:
  // With the input lock held: closes an input that a cancellation left
  // open; failures are traced at Low and swallowed.
  void CloseStaleInput() {
    ISTD_TRACE(istd::eHigh, Name() << ": Closing the input left open by a cancellation.");
    try {
      CloseInput();
    } catch (const std::exception& e) {
      ISTD_TRACE(istd::eLow, Name() << ": WARNING: CloseInput threw: " << e.what());
    } catch (...) {
      ISTD_TRACE(istd::eLow, Name() << ": WARNING: CloseInput threw exception.");
    }
  }

  // Called with m_stateMutex held.
  void SetState(StreamState state) {
    ISTD_TRACE(istd::eHigh, Name() << ": Stream state: " << m_state << " --> " << state);
    m_state = state;
  }

  const Traits m_traits;
  const DispatchMode_e m_mode;
  unsigned int m_atomCount = 0;       // guarded by m_queuesMutex
  StreamState m_state = eStreamIdle;  // guarded by m_stateMutex
  mutable std::mutex m_stateMutex;
  std::vector<Queue*> m_queues;  // guarded by m_queuesMutex
  // A cancellation removed the queues and left the input open; guarded by
  // m_queuesMutex.
  bool m_inputStale = false;
  mutable std::mutex m_queuesMutex;
  std::condition_variable m_stateChanged;  // dispatching stopped

 protected:
  // The dispatching thread of the modes that have one (never started for
  // a passive stream).
  std::thread m_thread;

 private:
  std::mutex m_inputMutex;  // serialises the clients' OpenInput/CloseInput
};

}  // namespace isig

#endif  // VARNEK_ISIG_STREAM_H
