// Fuzz target of the client's receipt of change notifications: the bytes
// are an i_NET::NotificationData as a registry would send it
// (fuzz/cdr_input.h), handed to the Emit of the notification servant
// (called directly, no network) of a local tree node on which two
// notification clients with callbacks registered: one for the paths "a.b"
// and "" (the node itself), the other for "a.b". Checks: Emit never throws;
// a record for a subscribed path whose payload is empty or a value of the
// eight value types reaches exactly the clients of that path, with the
// path, type, position and payload sent; every other notification is
// dropped (no callback runs for it).
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

#include "cdr_input.h"
#include "client/internal/i_notification_impl.h"
#include "client/notifying_node.h"
#include "client/roz.h"
#include "fuzz_check.h"
#include "network/conversion.h"

namespace {

const roz::Path c_deep{"a", "b"};
const roz::Path c_self{};

// Counts the records one client received; the callback checks each
// against the notification being sent.
class Receiver {
 public:
  roz::Callback Take() {
    return roz::Callback([this](const roz::NotificationData& record) {
      std::lock_guard<std::mutex> lock(m_mutex);
      FUZZ_CHECK(m_sent != nullptr, "a record when nothing was sent");
      FUZZ_CHECK(record.node.GetRelPath() == m_path, roz::ToString(record.node.GetRelPath()));
      FUZZ_CHECK(record.type == m_sent->type && record.pos == m_sent->pos, "type or position");
      FUZZ_CHECK(record.data.Empty() == m_empty, "payload presence");
      if (!record.data.Empty()) {
        std::ostringstream text;
        text << record;  // the payload's text form, which every value has
      }
      ++m_count;
      m_changed.notify_all();
    });
  }
  void Expect(const i_NET::NotificationData* sent, const roz::Path& path, bool empty) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sent = sent;
    m_path = path;
    m_empty = empty;
  }
  // Waits (generously) until `count` records in all arrived.
  void WaitFor(unsigned long count) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const bool arrived = m_changed.wait_for(lock, std::chrono::seconds(30),
                                            [&] { return m_count >= count; });
    FUZZ_CHECK(arrived, "a notification was not delivered");
  }
  unsigned long Count() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_count;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  const i_NET::NotificationData* m_sent = nullptr;
  roz::Path m_path;
  bool m_empty = false;
  unsigned long m_count = 0;
};

struct Setup {
  Setup() : node(testutil::NotifyingNode::Make("fuzz")) {
    first = std::make_unique<roz::NotificationClient>(one.Take());
    second = std::make_unique<roz::NotificationClient>(two.Take());
    servant = new roz::i_Notification_impl;
    servant->SetNode(node);
    Subscribe(*first, c_deep);
    Subscribe(*first, c_self);
    Subscribe(*second, c_deep);
  }
  void Subscribe(roz::NotificationClient& client, const roz::Path& path) {
    const roz::Node handle(node, path);
    FUZZ_CHECK(client.Register(handle), "register");
    bool fresh = false;
    FUZZ_CHECK(servant->Subscribe(client.GetClientId(), handle, fresh), "subscribe");
  }

  std::shared_ptr<testutil::NotifyingNode> node;
  Receiver one;
  Receiver two;
  std::unique_ptr<roz::NotificationClient> first;
  std::unique_ptr<roz::NotificationClient> second;
  roz::i_Notification_impl* servant;  // never activated; lives as long as the process
};

// True when the library takes `payload` as a notification's value.
bool Deliverable(const CORBA::Any& payload) {
  CORBA::TypeCode_var type = payload.type();
  if (type->kind() == CORBA::tk_null) return true;
  try {
    inet::CorbaAnyToAny(payload);
    return true;
  } catch (const istd::Exception&) {
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup* setup = new Setup;  // lives as long as the process
  fuzzcdr::Input input(data, size);
  i_NET::NotificationData sent;
  if (!input.Read(sent)) return 0;

  const roz::Path path = roz::RemoteNodeNamesToPath(sent.path);
  const bool deliverable = Deliverable(sent.data);
  CORBA::TypeCode_var type = sent.data.type();
  const bool empty = type->kind() == CORBA::tk_null;
  const unsigned long one = setup->one.Count();
  const unsigned long two = setup->two.Count();
  const bool toOne = deliverable && (path == c_deep || path == c_self);
  const bool toTwo = deliverable && path == c_deep;
  setup->one.Expect(&sent, path, empty);
  setup->two.Expect(&sent, path, empty);
  setup->servant->Emit(sent);
  setup->one.WaitFor(one + (toOne ? 1 : 0));
  setup->two.WaitFor(two + (toTwo ? 1 : 0));
  // Records are delivered one by one, in order: a record that should not
  // have come, or a second one, arrives before the next input's is awaited
  // and is counted then, or fails the check of the callback.
  setup->one.Expect(nullptr, path, empty);
  setup->two.Expect(nullptr, path, empty);
  FUZZ_CHECK(setup->one.Count() == one + (toOne ? 1 : 0), "records of the first client");
  FUZZ_CHECK(setup->two.Count() == two + (toTwo ? 1 : 0), "records of the second client");
  return 0;
}
