// The bounded, coalescing outgoing queue of one WebSocket.
#include "out_queue.h"

namespace rozweb {

OutQueue::Push_e OutQueue::Started() {
  if (m_busy) return eQueued;
  m_busy = true;
  return eStartWriter;
}

OutQueue::Push_e OutQueue::PushControl(Message message) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_control.size() >= c_maxControl) return eOverflow;
  m_control.push_back(std::move(message));
  return Started();
}

OutQueue::Push_e OutQueue::PushChange(const std::string& key, Message message) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto [where, added] = m_changes.emplace(key, message);
  if (added) {
    m_changeOrder.push_back(key);
  } else {
    where->second = std::move(message);
    ++m_coalesced;
  }
  return Started();
}

OutQueue::Push_e OutQueue::PushBlock(const std::string& key, Message message) {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::deque<Message>& waiting = m_blocks[key];
  if (waiting.size() >= c_maxBlocksPerKey) {
    // The oldest goes; its place in m_blockOrder now stands for the next
    // block of the key, so the order list is left as it is.
    waiting.pop_front();
    ++m_droppedByKey[key];
    ++m_dropped;
  } else {
    m_blockOrder.push_back(key);
  }
  waiting.push_back(std::move(message));
  return Started();
}

Message OutQueue::Pop() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_control.empty()) {
    Message message = std::move(m_control.front());
    m_control.pop_front();
    return message;
  }
  const bool changes = !m_changeOrder.empty();
  const bool blocks = !m_blockOrder.empty();
  if (blocks && (!changes || m_blockTurn)) {
    m_blockTurn = false;
    const std::string key = m_blockOrder.front();
    const auto dropped = m_droppedByKey.find(key);
    if (dropped != m_droppedByKey.end()) {
      // The announcement goes first; the block keeps its turn.
      Message message = std::make_shared<const std::string>(m_droppedMessage(key, dropped->second));
      m_droppedByKey.erase(dropped);
      return message;
    }
    m_blockOrder.pop_front();
    auto waiting = m_blocks.find(key);
    Message message = std::move(waiting->second.front());
    waiting->second.pop_front();
    if (waiting->second.empty()) m_blocks.erase(waiting);
    return message;
  }
  if (changes) {
    m_blockTurn = true;
    const std::string key = std::move(m_changeOrder.front());
    m_changeOrder.pop_front();
    auto found = m_changes.find(key);
    Message message = std::move(found->second);
    m_changes.erase(found);
    return message;
  }
  m_busy = false;
  return nullptr;
}

unsigned long long OutQueue::Coalesced() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_coalesced;
}

unsigned long long OutQueue::Dropped() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_dropped;
}

}  // namespace rozweb
