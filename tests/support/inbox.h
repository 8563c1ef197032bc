// testsupport::Inbox: a notification callback for tests that keeps every
// record it receives, and the thread it ran on, for the test to wait for
// and inspect.
//
// Thread-safety: the callback runs on dispatcher threads while the test
// thread reads; a mutex guards the records. The Inbox must outlive every
// NotificationClient that holds its callback.
#ifndef VARNEK_TESTS_SUPPORT_INBOX_H
#define VARNEK_TESTS_SUPPORT_INBOX_H

#include <mutex>
#include <thread>
#include <vector>

#include "client/roz.h"
#include "common/test_util.h"

namespace testsupport {

class Inbox {
 public:
  // A callback that records into this inbox.
  roz::Callback Take() {
    return roz::Callback([this](const roz::NotificationData& record) {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_records.push_back(record);
      m_threads.push_back(std::this_thread::get_id());
    });
  }
  // True once at least `count` records arrived, false after `timeoutS`.
  bool WaitFor(size_t count, double timeoutS = 10.0) {
    return testutil::WaitUntil([&] { return Count() >= count; }, timeoutS);
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records.size();
  }
  // The record `i` (in arrival order) and the thread that delivered it;
  // std::out_of_range past the end.
  roz::NotificationData At(size_t i) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records.at(i);
  }
  std::thread::id ThreadAt(size_t i) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_threads.at(i);
  }

 private:
  std::mutex m_mutex;
  std::vector<roz::NotificationData> m_records;
  std::vector<std::thread::id> m_threads;
};

}  // namespace testsupport

#endif  // VARNEK_TESTS_SUPPORT_INBOX_H
