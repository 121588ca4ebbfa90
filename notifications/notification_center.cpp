#include "notifications/notification_center.h"

#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

namespace platform {

struct BRISVANE_NO_EXPORT NotificationCenter::State {
  struct Observer {
    std::uint64_t id;
    std::string name;
    const void* object;
    Emitter<Notification> emitter;
  };

  std::mutex mutex;
  std::vector<Observer> observers;  // guarded by mutex, in subscription order
  std::uint64_t nextId = 1;         // guarded by mutex

  std::uint64_t add(std::string name, const void* object, Emitter<Notification> emitter) {
    std::lock_guard<std::mutex> lock(mutex);
    const std::uint64_t id = nextId++;
    observers.push_back(Observer{id, std::move(name), object, std::move(emitter)});
    return id;
  }

  void remove(std::uint64_t id) {
    Emitter<Notification> removed;
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = observers.begin(); it != observers.end(); ++it) {
      if (it->id == id) {
        removed = std::move(it->emitter);
        observers.erase(it);
        break;
      }
    }
  }

  std::vector<Emitter<Notification>> matching(const Notification& notification) {
    std::vector<Emitter<Notification>> emitters;
    std::lock_guard<std::mutex> lock(mutex);
    for (const Observer& observer : observers) {
      if (observer.name == notification.name &&
          (observer.object == nullptr || observer.object == notification.object)) {
        emitters.push_back(observer.emitter);
      }
    }
    return emitters;
  }
};

NotificationCenter::NotificationCenter() : state_(std::make_shared<State>()) {}

NotificationCenter::~NotificationCenter() = default;

NotificationCenter& NotificationCenter::defaultCenter() {
  // Never destroyed, so that subscriptions cancelled during static destruction stay safe.
  static NotificationCenter* center = new NotificationCenter;
  return *center;
}

void NotificationCenter::post(Notification notification) {
  // Delivered outside the lock. An observer removed in the meantime has a cancelled emitter,
  // which drops the notification.
  for (const Emitter<Notification>& emitter : state_->matching(notification)) {
    emitter.send(notification);
  }
}

void NotificationCenter::post(std::string name, const void* object, UserInfo userInfo) {
  post(Notification{std::move(name), object, std::move(userInfo)});
}

Publisher<Notification> NotificationCenter::publisher(std::string name, const void* object) {
  std::weak_ptr<State> weakState = state_;
  return Publisher<Notification>::create(
      [weakState, name = std::move(name), object](Emitter<Notification> emitter) {
        std::shared_ptr<State> state = weakState.lock();
        if (!state) return AnyCancellable();
        const std::uint64_t id = state->add(name, object, std::move(emitter));
        return AnyCancellable([weakState, id] {
          if (std::shared_ptr<State> strong = weakState.lock()) strong->remove(id);
        });
      });
}

}  // namespace platform
