// roz::NotificationData, the record of one change notification (the node it
// concerns, its kind, its payload and the element position), and
// roz::Callback, the holder of one client function that receives such
// records.
//
// Both are plain value types. Copies of a record are independent (the
// payload is cloned); the dispatcher shares one record between client
// queues through std::shared_ptr, and callbacks receive it by const
// reference. A copy of a Callback is the same callback (same identifier).
//
// Thread-safety: one object per thread; drawing a callback identifier holds
// the identifier tag's mutex.
#ifndef VARNEK_CLIENT_NOTIFICATION_DATA_H
#define VARNEK_CLIENT_NOTIFICATION_DATA_H

#include <functional>
#include <ostream>

#include "client/node.h"
#include "client/roz_util.h"
#include "istd/any.h"

namespace roz {

class NotificationData {
 public:
  NotificationData(const Node& node, const enums::NotificationType_e& type, const istd::Any& data,
                   const unsigned int& pos)
      : node(node), type(type), data(data), pos(pos) {}

  // The node that the notification concerns.
  Node node;
  // The kind of notification (passed on, never interpreted).
  enums::NotificationType_e type;
  // The new value, or an empty value.
  istd::Any data;
  // The element position concerned.
  unsigned int pos;
};

// Writes only `data` (istd::Any's text form); throws as that does for an
// empty payload.
std::ostream& operator<<(std::ostream& os, const NotificationData& record);

class Callback {
 public:
  using Function = std::function<void(const NotificationData&)>;

  // Holds a copy of `function` under a fresh identifier: two callbacks made
  // from one function object are two different callbacks.
  explicit Callback(const Function& function)
      : m_id(CallbackId::Generate()), m_function(function) {}

  // Same identifier (a callback and its copies).
  bool operator==(const Callback& other) const { return m_id == other.m_id; }
  bool operator!=(const Callback& other) const { return !(*this == other); }

  // Calls the function with `record`; throws std::bad_function_call for an
  // empty function, and whatever the function throws.
  void operator()(const NotificationData& record) const { m_function(record); }

  const CallbackId& GetId() const { return m_id; }

 private:
  CallbackId m_id;
  Function m_function;
};

}  // namespace roz

#endif  // VARNEK_CLIENT_NOTIFICATION_DATA_H
