// What a listener of one MOLTRAGlobalClass instance hears around a user switch. Both events are
// raised synchronously on the thread that asked for the switch.
#ifndef VELMO_USER_EVENTS_H_
#define VELMO_USER_EVENTS_H_

#include <string_view>

#include "velmo/export.h"

namespace velmo {

class VELMO_EXPORT UserEvents {
 public:
  virtual ~UserEvents() = default;
  // Before the switch. Every listener gets the same `cancel` in turn; its value after the last
  // one decides, and true refuses the switch.
  virtual void UserChanging(std::u16string_view new_user, bool& cancel) = 0;
  // After it: the new user's configuration is loaded and the parameter cache is empty.
  virtual void UserChanged(std::u16string_view old_user, std::u16string_view new_user) = 0;
};

}  // namespace velmo

#endif  // VELMO_USER_EVENTS_H_
