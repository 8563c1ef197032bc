// isig::StreamClient<TRAITS>, a reader of a stream, and
// isig::StreamQueueHost<TRAITS>, what a stream offers its clients. A client
// (made by the stream's NewSignalClient) owns its queue, attaches it to the
// stream when opened (the stream opens its input when it is not open; for a
// remote stream that registers its receiver at the server) and detaches it
// when closed (the last client to close closes the input), and reads the
// blocks that the stream pushed, each one shared with the other clients of
// the stream.
//
// The streams themselves (isig::Stream and the remote stream built on it)
// implement StreamQueueHost; this header knows nothing of them.
//
// Lifetime: a client keeps its stream alive when the stream is owned by a
// std::shared_ptr (as every source made by the client library is);
// otherwise the stream must outlive its clients. The destructor closes.
//
// Thread-safety: Open, Close and Read are meant for the client's own
// thread; Cancel may come from any thread and ends a waiting Read. Opening
// and closing of the clients of one stream are serialised by the stream.
#ifndef VARNEK_ISIG_STREAM_CLIENT_H
#define VARNEK_ISIG_STREAM_CLIENT_H

#include <atomic>
#include <exception>
#include <memory>
#include <string>
#include <utility>

#include "isig/signal_source.h"
#include "isig/signal_types.h"
#include "isig/stream_queue.h"
#include "istd/log.h"

namespace isig {

// The side of a stream that its clients see.
template <typename TRAITS>
class StreamQueueHost {
 public:
  // Adds `queue` to the stream (once), then opens the stream's input (an
  // open input stays as it is). Throws what opening the input throws, and
  // istd::Exception "isig: stream is shut down." after the stream's
  // shutdown; the queue is then not attached.
  virtual void AttachQueue(StreamQueue<TRAITS>& queue) = 0;
  // Removes `queue`; when it was the last one, closes the input. Throws what
  // closing the input throws; the queue is removed all the same.
  virtual void DetachQueue(StreamQueue<TRAITS>& queue) = 0;

 protected:
  virtual ~StreamQueueHost() = default;
};

template <typename TRAITS>
class StreamClient : public SignalClientBase {
 public:
  using Queue = StreamQueue<TRAITS>;
  using Block = typename Queue::Block;

  // A closed client of `stream` named `name` whose queue holds `queueSize`
  // blocks. `owner` is the stream's shared owner, kept while the client
  // lives (empty when the stream is not owned by a std::shared_ptr).
  StreamClient(StreamQueueHost<TRAITS>& stream, std::shared_ptr<SignalSource> owner,
               const TRAITS& traits, const std::string& name, unsigned int queueSize)
      : SignalClientBase(name),
        m_owner(std::move(owner)),
        m_stream(&stream),
        m_traits(traits),
        m_queue(traits, name, queueSize) {}

  ~StreamClient() override {
    try {
      Close();
    } catch (const std::exception& e) {
      ISTD_TRACE(istd::eLow, Name() << ": closing failed: " << e.what());
    } catch (...) {
      ISTD_TRACE(istd::eLow, Name() << ": closing failed.");
    }
  }

  // Attaches the queue to the stream; a queue that was cancelled starts
  // afresh. Does nothing when open. Throws what opening the stream's input
  // throws (for a remote stream "isig: can't register signal receiver.")
  // and istd::Exception "isig: stream is shut down." after the stream's
  // shutdown; the client then stays closed.
  void Open() {
    if (m_open) return;
    if (m_queue.IsCancelled()) m_queue.Reset();
    m_stream->AttachQueue(m_queue);
    m_open = true;
  }

  // Detaches the queue; blocks still queued stay readable. Does nothing
  // when closed. Throws what closing the stream's input
  // throws; the client is closed all the same.
  void Close() {
    if (!m_open) return;
    m_open = false;
    m_stream->DetachQueue(m_queue);
  }

  bool IsOpen() const { return m_open; }

  // The next block, waiting at most `timeoutMs` milliseconds: eSuccess with
  // `block` set; eTimeout; the completion code once the stream cancelled
  // this client (its queued blocks are read first); eClosed when the client
  // was never opened or has been closed and holds no block.
  SuccessCode_e Read(Block& block, unsigned int timeoutMs) {
    if (!m_open) {
      const SuccessCode_e code = m_queue.Read(block, 0);
      return code == eSuccess ? code : eClosed;
    }
    return m_queue.Read(block, timeoutMs);
  }

  // Ends the client's reads with `code` (0 becomes eCancelled) until the
  // next Open.
  void Cancel(SuccessCode_e code) override { m_queue.Cancel(code); }

  // The queue's line: name, blocks pushed, blocks rejected, blocks queued.
  SignalStatItem Statistics() const { return m_queue.Statistics(); }
  unsigned int QueueSize() const { return m_queue.Capacity(); }
  const TRAITS& Traits() const { return m_traits; }

 private:
  const std::shared_ptr<SignalSource> m_owner;  // keeps the stream alive, or empty
  StreamQueueHost<TRAITS>* const m_stream;
  const TRAITS m_traits;
  Queue m_queue;
  std::atomic<bool> m_open{false};
};

}  // namespace isig

#endif  // VARNEK_ISIG_STREAM_CLIENT_H
