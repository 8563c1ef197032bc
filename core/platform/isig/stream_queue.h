// isig::StreamQueue<TRAITS>, the queue of one stream client: the stream
// pushes shared blocks (block + meta-data) into it, the client reads them
// out in order, waiting up to a time-out for the next one.
//
// The queue is bounded: a block pushed into a full queue is rejected (the
// newest is dropped, the queued ones stay) and counted. Cancel ends the
// queue with a completion code: blocks already queued are still read, then
// every read answers the code at once; pushes are rejected until Reset.
//
// Thread-safety: every operation takes the queue's own lock (the innermost
// lock of a stream: stream locks may be held while it is taken, nothing is
// called under it but the trace). Push runs on the dispatching thread (for a
// remote stream, a request broker thread); Read on the client's thread;
// Cancel and Reset on any thread. Push never blocks.
//
// Ownership: the queue shares the blocks with every other queue of the
// stream; each block lives until its last reader lets go of it.
#ifndef VARNEK_ISIG_STREAM_QUEUE_H
#define VARNEK_ISIG_STREAM_QUEUE_H

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "isig/array.h"
#include "isig/signal_types.h"
#include "istd/log.h"

namespace isig {

template <typename TRAITS>
class StreamQueue {
 public:
  using Pair = MetaBufferPair<TRAITS>;
  using Block = std::shared_ptr<const Pair>;

  // A queue named `name` holding at most `capacity` blocks (0 is taken as
  // 1) of atoms described by `traits`.
  StreamQueue(const TRAITS& traits, const std::string& name, unsigned int capacity)
      : m_traits(traits), m_name(name), m_capacity(std::max(capacity, 1u)) {}
  StreamQueue(const StreamQueue&) = delete;
  StreamQueue& operator=(const StreamQueue&) = delete;

  // Appends `block`. Returns false, counting the block as rejected, when
  // the queue is full or cancelled.
  bool Push(const Block& block) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_total;
    if (m_cancelled || m_blocks.size() >= m_capacity) {
      ++m_rejected;
      ISTD_TRACE(istd::eDetail, m_name << ": block rejected, " << m_blocks.size() << " of "
                                       << m_capacity << " queued, cancelled " << m_cancelled);
      return false;
    }
    m_blocks.push_back(block);
    m_available.notify_one();
    return true;
  }

  // Takes the next block into `block` and returns eSuccess, waiting at most
  // `timeoutMs` milliseconds for one. Without a block: the completion code
  // when the queue is cancelled, eTimeout otherwise (`block` untouched).
  SuccessCode_e Read(Block& block, unsigned int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_available.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [this] { return !m_blocks.empty() || m_cancelled; });
    if (!m_blocks.empty()) {
      block = std::move(m_blocks.front());
      m_blocks.pop_front();
      return eSuccess;
    }
    return m_cancelled ? m_code : eTimeout;
  }

  // Ends the queue with `code` (eSuccess becomes eCancelled) and wakes the
  // waiting readers. A later Cancel replaces the code.
  void Cancel(SuccessCode_e code) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_cancelled = true;
    m_code = code == eSuccess ? eCancelled : code;
    m_available.notify_all();
  }

  // Makes a cancelled queue usable again: empty, not cancelled. The
  // counters stay.
  void Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_blocks.clear();
    m_cancelled = false;
    m_code = eSuccess;
  }

  bool IsCancelled() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_cancelled;
  }
  // The completion code; eSuccess while not cancelled.
  SuccessCode_e CompletionCode() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_code;
  }
  // The queue's line: name, blocks pushed, blocks rejected, blocks queued.
  SignalStatItem Statistics() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    SignalStatItem item;
    item.name = m_name;
    item.total = m_total;
    item.rejected = m_rejected;
    item.asize = static_cast<unsigned int>(m_blocks.size());
    return item;
  }
  unsigned int Capacity() const { return m_capacity; }
  const std::string& Name() const { return m_name; }
  const TRAITS& Traits() const { return m_traits; }

 private:
  const TRAITS m_traits;
  const std::string m_name;
  const unsigned int m_capacity;
  mutable std::mutex m_mutex;
  std::condition_variable m_available;  // a block arrived or the queue was cancelled
  std::deque<Block> m_blocks;
  bool m_cancelled = false;
  SuccessCode_e m_code = eSuccess;
  unsigned long long m_total = 0;
  unsigned long long m_rejected = 0;
};

}  // namespace isig

#endif  // VARNEK_ISIG_STREAM_QUEUE_H
