// roz::NotificationData, the record of one change notification: the node it
// concerns, its kind, its payload and the element position.
//
// A plain value type: copies are independent (the payload is cloned). The
// dispatcher shares one record between client queues through
// std::shared_ptr; callbacks receive it by const reference.
#ifndef VARNEK_CLIENT_NOTIFICATION_DATA_H
#define VARNEK_CLIENT_NOTIFICATION_DATA_H

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

}  // namespace roz

#endif  // VARNEK_CLIENT_NOTIFICATION_DATA_H
