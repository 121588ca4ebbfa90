#pragma once

#include <memory>
#include <utility>

#include "reactive/publisher.h"
#include "reactive/publisher_subject.h"

namespace platform {

// Holds one value. send() stores it and delivers it synchronously, on the sending thread, to
// every current subscriber, even when it equals the stored value. A new subscriber receives the
// stored value at once, on the subscribing thread, then every later send, in order: subscribing
// is atomic with respect to concurrent sends. After sendCompletion() sends are ignored, current
// subscribers receive the completion and new ones receive only the completion.
//
// The subject is a shared object: hold it by value or through std::make_shared; the publisher()
// it hands out keeps its state alive. Threads: every member may be called from any thread, also
// from inside a subscriber's callback (re-entrant sends are delivered, see reactive/publisher.h).
// No lock is held while subscribers run.
template <class T>
class CurrentValueSubject {
 public:
  explicit CurrentValueSubject(T initial)
      : state_(std::make_shared<State>(std::move(initial))),
        publisher_(std::make_shared<const detail::SubjectSource<T, true>>(state_)) {}
  CurrentValueSubject(const CurrentValueSubject&) = delete;
  CurrentValueSubject& operator=(const CurrentValueSubject&) = delete;

  T value() const { return state_->value(); }
  void send(T value) { state_->send(value); }
  void sendCompletion() { state_->sendCompletion(); }
  Publisher<T> publisher() const { return publisher_; }
  Publisher<T> eraseToAnyPublisher() const { return publisher(); }

 private:
  using State = detail::SubjectState<T, true>;
  std::shared_ptr<State> state_;
  Publisher<T> publisher_;
};

// Delivers each send synchronously, on the sending thread, to the current subscribers; stores
// nothing. Completion as for CurrentValueSubject. Threads: as for CurrentValueSubject.
template <class T>
class PassthroughSubject {
 public:
  PassthroughSubject()
      : state_(std::make_shared<State>()),
        publisher_(std::make_shared<const detail::SubjectSource<T, false>>(state_)) {}
  PassthroughSubject(const PassthroughSubject&) = delete;
  PassthroughSubject& operator=(const PassthroughSubject&) = delete;

  void send(T value) { state_->send(value); }
  void sendCompletion() { state_->sendCompletion(); }
  Publisher<T> publisher() const { return publisher_; }
  Publisher<T> eraseToAnyPublisher() const { return publisher(); }

 private:
  using State = detail::SubjectState<T, false>;
  std::shared_ptr<State> state_;
  Publisher<T> publisher_;
};

}  // namespace platform
