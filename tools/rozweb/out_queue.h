// rozweb::OutQueue, the outgoing messages of one WebSocket, bounded so that
// a slow browser costs a fixed amount of memory and never holds up anyone
// else:
//   - control messages (answers to requests, registry states) are kept in
//     order, at most c_maxControl of them; one more and the socket is to be
//     closed (a browser that sends requests and does not read);
//   - changes are coalesced per key (registry and path): a key that already
//     waits gets the latest message in place, keeping its place in line;
//   - blocks of a stream wait at most c_maxBlocksPerKey per key; a further
//     one drops the oldest, and the drops of a key are announced once by a
//     {"op":"dropped"} message before that key's next block.
// Pop hands out control messages first, then changes and blocks in turn.
//
// The queue also keeps whether its socket's writer is busy: a Push that
// finds it idle marks it busy and returns true (the caller then starts the
// writer), and a Pop that finds nothing marks it idle again.
//
// Thread-safety: every member takes the queue's mutex; producers on any
// thread (dispatcher, stream readers, workers), the consumer on the
// socket's strand. Messages are shared, immutable texts.
#ifndef VARNEK_TOOLS_ROZWEB_OUT_QUEUE_H
#define VARNEK_TOOLS_ROZWEB_OUT_QUEUE_H

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace rozweb {

using Message = std::shared_ptr<const std::string>;

class OutQueue {
 public:
  static constexpr size_t c_maxControl = 1024;
  static constexpr size_t c_maxBlocksPerKey = 4;

  // What a Push asks of its caller.
  enum Push_e {
    eQueued,    // nothing: the writer is busy and will take it
    eStartWriter,  // the writer was idle: start it
    eOverflow,  // too many control messages: close the socket
  };

  // `droppedMessage(key, count)` makes the {"op":"dropped"} text of a key
  // (called under the queue's mutex; it must not call back).
  explicit OutQueue(std::function<std::string(const std::string&, unsigned long long)> droppedMessage)
      : m_droppedMessage(std::move(droppedMessage)) {}

  Push_e PushControl(Message message);
  Push_e PushChange(const std::string& key, Message message);
  Push_e PushBlock(const std::string& key, Message message);

  // The next message, or nullptr (and the writer marked idle).
  Message Pop();

  // Counters: changes replaced by a later one, blocks dropped.
  unsigned long long Coalesced() const;
  unsigned long long Dropped() const;

 private:
  Push_e Started();  // under m_mutex

  std::function<std::string(const std::string&, unsigned long long)> m_droppedMessage;
  mutable std::mutex m_mutex;
  std::deque<Message> m_control;
  std::deque<std::string> m_changeOrder;  // keys with a change waiting, oldest first
  std::map<std::string, Message> m_changes;
  std::deque<std::string> m_blockOrder;  // one entry per waiting block, by key
  std::map<std::string, std::deque<Message>> m_blocks;
  std::map<std::string, unsigned long long> m_droppedByKey;  // not yet announced
  bool m_busy = false;
  bool m_blockTurn = false;
  unsigned long long m_coalesced = 0;
  unsigned long long m_dropped = 0;
};

}  // namespace rozweb

#endif  // VARNEK_TOOLS_ROZWEB_OUT_QUEUE_H
