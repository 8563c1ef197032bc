// roz::NotificationData text form.
#include "client/notification_data.h"

namespace roz {

std::ostream& operator<<(std::ostream& os, const NotificationData& record) {
  return os << record.data;
}

}  // namespace roz
