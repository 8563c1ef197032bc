// The counters behind regd's diagnostic nodes: what clients, notification
// sinks and signal receivers have done so far. The server owns one set; the
// client table and the signal servants count into it.
//
// Thread-safety: every counter is an atomic, read and written from any
// thread without a lock (the diagnostic nodes read them under the registry
// mutex, so counting must never need that mutex).
#ifndef VARNEK_TOOLS_REGD_COUNTERS_H
#define VARNEK_TOOLS_REGD_COUNTERS_H

#include <atomic>

namespace regd {

struct Counters {
  std::atomic<unsigned long long> m_clients{0};  // connected clients now
  std::atomic<unsigned long long> m_getRemoteNodeCalls{0};
  std::atomic<unsigned long long> m_releaseCalls{0};          // ReleaseRemoteNode calls
  std::atomic<unsigned long long> m_subscriptions{0};         // subscribed paths, all clients
  std::atomic<unsigned long long> m_receivers{0};             // registered signal receivers
  std::atomic<unsigned long long> m_notificationsSent{0};     // Emit calls that returned
  std::atomic<unsigned long long> m_notificationsDropped{0};  // lost to a full sink queue
  std::atomic<unsigned long long> m_sinksDropped{0};          // sinks dropped after a failed Emit
  std::atomic<unsigned long long> m_blocksPushed{0};          // Dispatch calls that returned
  std::atomic<unsigned long long> m_stressEmitted{0};         // stress emissions done
};

}  // namespace regd

#endif  // VARNEK_TOOLS_REGD_COUNTERS_H
