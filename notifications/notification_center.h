#pragma once

#include <any>
#include <map>
#include <memory>
#include <string>

#include "brisvane_export.h"
#include "reactive/publisher.h"

namespace platform {

using UserInfo = std::map<std::string, std::any>;

struct BRISVANE_EXPORT Notification {
  std::string name;
  const void* object = nullptr;  // identity only; never dereferenced
  UserInfo userInfo;
};

// In-process notification center.
//
// post() delivers synchronously, on the posting thread, to the subscribers of that name (and, for
// a subscription with an object, of that object only), in the order they subscribed; each
// subscriber's delivery follows the publisher library's rules (reactive/publisher.h). A
// subscription cancelled while a post is being delivered, also from inside another subscriber's
// callback, receives nothing more; one added meanwhile gets the next post.
//
// Threads: every member may be called from any thread. Centers are independent of each other;
// the default center lives until the process exits.
class BRISVANE_EXPORT NotificationCenter {
 public:
  NotificationCenter();
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  static NotificationCenter& defaultCenter();

  void post(Notification notification);
  void post(std::string name, const void* object = nullptr, UserInfo userInfo = {});

  // Notifications of `name` (and, when object is non-null, of that object only). Each
  // subscription registers an observer for as long as it lasts.
  Publisher<Notification> publisher(std::string name, const void* object = nullptr);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace platform
