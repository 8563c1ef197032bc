// Client-side servants for tests that talk to a server through the raw i_NET
// stubs: a notification sink and a signal receiver that record what the
// server sends, and Active<S>, which keeps a servant activated (in the
// bidirectional adapter of the ORB manager) for its own lifetime.
//
//   testsupport::Active<testsupport::NotificationSink> sink;
//   i_NET::Notification_var ref = sink.Ref();
//   i_NET::RemoteNode_var root = application->GetRemoteNode(ref);
//   root->Subscribe(path);  ...  ASSERT_TRUE(sink->WaitFor(1));
//   sink.Deactivate();      // the "client" is gone: the server's calls fail
//
// Needs an initialised ORB (inet::OrbManager::Init). The servants' remote
// operations run on ORB threads; the recording and waiting functions may be
// called from any thread (one mutex per servant).
#ifndef VARNEK_TESTS_SUPPORT_TEST_SERVANTS_H
#define VARNEK_TESTS_SUPPORT_TEST_SERVANTS_H

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "istd/any.h"
#include "network/conversion.h"
#include "network/i_notification.h"
#include "network/i_signal_receiver.h"
#include "network/orb_manager.h"

namespace testsupport {

// Owns one servant of type S, active from construction until Deactivate or
// destruction. The servant object itself stays readable until destruction.
template <typename S>
class Active {
 public:
  template <typename... Args>
  explicit Active(Args&&... args) : m_servant(new S(std::forward<Args>(args)...)) {
    inet::OM()->Activate(m_servant);
  }
  ~Active() {
    try {
      if (m_active) {
        inet::OM()->Deactivate(m_servant);  // drops the creation reference
      } else {
        m_servant->_remove_ref();
      }
    } catch (...) {
      // The ORB is gone already.
    }
  }
  Active(const Active&) = delete;
  Active& operator=(const Active&) = delete;

  S* operator->() const { return m_servant; }
  S& operator*() const { return *m_servant; }
  // A new object reference (the caller releases it, e.g. in a _var).
  auto Ref() const { return m_servant->_this(); }
  // Deactivates the servant now: later calls to it fail (OBJECT_NOT_EXIST),
  // as if its process had left. The object stays readable.
  void Deactivate() {
    if (!m_active) return;
    m_servant->_add_ref();
    inet::OM()->Deactivate(m_servant);
    m_active = false;
  }

 private:
  S* m_servant;
  bool m_active = true;
};

// Waits on `condition` for `predicate`, at most `timeoutS` seconds.
template <typename Lock, typename Predicate>
bool WaitOn(std::condition_variable& condition, Lock& lock, double timeoutS, Predicate predicate) {
  return condition.wait_for(lock, std::chrono::duration<double>(timeoutS), predicate);
}

// Records every Emit. Hold() makes Emit block until Release(), to play a
// client that does not answer.
class NotificationSink : public POA_i_NET::Notification {
 public:
  struct Record {
    std::vector<std::string> path;
    CORBA::Long type = 0;
    bool hasData = false;
    istd::Any data;  // the payload converted, when it is one of the value types
    CORBA::ULong pos = 0;
  };

  void Emit(const i_NET::NotificationData& data) override {
    Record record;
    for (CORBA::ULong i = 0; i < data.path.length(); ++i) record.path.emplace_back(data.path[i]);
    record.type = data.type;
    record.pos = data.pos;
    CORBA::TypeCode_var type = data.data.type();
    record.hasData = type->kind() != CORBA::tk_null;
    try {
      if (record.hasData) record.data = inet::CorbaAnyToAny(data.data);
    } catch (const istd::Exception&) {
      // Not a value type: recorded without a converted payload.
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    ++m_inEmit;
    m_changed.notify_all();
    m_changed.wait(lock, [&] { return !m_held; });
    --m_inEmit;
    m_records.push_back(std::move(record));
    m_changed.notify_all();
  }

  // True once at least `count` records arrived.
  bool WaitFor(size_t count, double timeoutS = 10.0) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return WaitOn(m_changed, lock, timeoutS, [&] { return m_records.size() >= count; });
  }
  std::vector<Record> Records() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records;
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records.size();
  }

  void Hold() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_held = true;
  }
  void Release() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_held = false;
    m_changed.notify_all();
  }
  // True once an Emit is blocked by Hold.
  bool WaitForHeldEmit(double timeoutS = 10.0) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return WaitOn(m_changed, lock, timeoutS, [&] { return m_inEmit > 0; });
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<Record> m_records;
  bool m_held = false;
  int m_inEmit = 0;
};

// Records every pushed block (values converted to double) and every Cancel.
class SignalSink : public POA_i_NET::SignalReceiver {
 public:
  struct Block {
    std::string type;  // "Double", "Float", ..., "Int8": the Dispatch operation's suffix
    std::vector<double> values;
    std::map<CORBA::ULong, CORBA::LongLong> meta;
  };

#define TESTSUPPORT_DISPATCH(Suffix)                                                      \
  void Dispatch##Suffix(const i_NET::Suffix##Buffer& data, const i_NET::SignalMeta& meta) \
      override {                                                                          \
    Add(#Suffix, data, meta);                                                             \
  }
  TESTSUPPORT_DISPATCH(Int8)
  TESTSUPPORT_DISPATCH(UInt8)
  TESTSUPPORT_DISPATCH(Int16)
  TESTSUPPORT_DISPATCH(UInt16)
  TESTSUPPORT_DISPATCH(Int32)
  TESTSUPPORT_DISPATCH(UInt32)
  TESTSUPPORT_DISPATCH(Int64)
  TESTSUPPORT_DISPATCH(UInt64)
  TESTSUPPORT_DISPATCH(Float)
  TESTSUPPORT_DISPATCH(Double)
#undef TESTSUPPORT_DISPATCH
  void Cancel(CORBA::Long code) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_cancels.push_back(code);
    m_changed.notify_all();
  }

  bool WaitForBlocks(size_t count, double timeoutS = 10.0) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return WaitOn(m_changed, lock, timeoutS, [&] { return m_blocks.size() >= count; });
  }
  bool WaitForCancel(double timeoutS = 10.0) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return WaitOn(m_changed, lock, timeoutS, [&] { return !m_cancels.empty(); });
  }
  std::vector<Block> Blocks() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_blocks;
  }
  size_t BlockCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_blocks.size();
  }
  std::vector<CORBA::Long> Cancels() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_cancels;
  }

 private:
  template <typename Buffer>
  void Add(const char* type, const Buffer& data, const i_NET::SignalMeta& meta) {
    Block block;
    block.type = type;
    for (CORBA::ULong i = 0; i < data.length(); ++i) {
      block.values.push_back(static_cast<double>(data[i]));
    }
    for (CORBA::ULong i = 0; i < meta.length(); ++i) block.meta[meta[i].id] = meta[i].value;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_blocks.push_back(std::move(block));
    m_changed.notify_all();
  }

  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<Block> m_blocks;
  std::vector<CORBA::Long> m_cancels;
};

}  // namespace testsupport

#endif  // VARNEK_TESTS_SUPPORT_TEST_SERVANTS_H
