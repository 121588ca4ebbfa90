#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include "reactive/cancellable.h"
#include "reactive/publisher_chain.h"
#include "runtime/main_loop.h"

// Publishers that never fail, with the handful of operators the system needs.
//
// A Publisher is an immutable description. Every subscription (a sink) builds that
// subscriber's own chain of operator state and returns the handle that ends it; only subjects
// (reactive/subjects.h) are shared between subscribers.
//
// Threads and delivery, for every subscription:
// - Values are delivered synchronously on the thread that produced them (the sending thread of a
//   subject or emitter), except after debounce and receiveOn, which deliver on the main loop.
// - One value at a time: while one thread is delivering into a subscription, a value produced
//   on another thread is queued and handed over by the delivering thread before it returns, so
//   senders never block and no lock is held while a callback runs. A value sent from inside a
//   callback into a source of the same subscription is delivered at once, re-entrantly, unless
//   older values are queued, in which case it is delivered after them.
// - Values of one source reach a subscriber in the order the source sent them.
// - Cancelling (or completion reaching the subscriber) detaches the subscription from its sources
//   and frees its closures; see AnyCancellable for the guarantees of cancel().
// Callbacks must not throw.
namespace platform {

// Value-less signal.
struct Void {
  friend bool operator==(Void, Void) { return true; }
};

// Receives the values of a publisher, then possibly a completion. Implemented by operators,
// sinks and tests. Calls to one subscriber never overlap except by re-entry from its own
// callback; after receiveCompletion() nothing more arrives.
template <class T>
class Subscriber {
 public:
  virtual ~Subscriber() = default;
  virtual void receive(const T& value) = 0;
  virtual void receiveCompletion() = 0;  // publishers never fail; completion means finished
};

template <class T>
class Publisher;
template <class T>
class Emitter;

namespace detail {

// The immutable description behind a Publisher: attaches a new subscriber's nodes to `chain`.
// Called only on the thread that is subscribing, while it owns the chain.
template <class T>
class Source {
 public:
  virtual ~Source() = default;
  virtual void attach(Subscriber<T>* downstream, Chain& chain) const = 0;
};

struct PublisherAccess;
template <class T>
struct EmitterState;

}  // namespace detail

// Type-erased publisher that never fails: a cheap copyable value sharing its description.
// A default-constructed Publisher never emits and never completes.
//
// Threads: every member may be called from any thread; callbacks run as described above.
template <class T>
class Publisher {
 public:
  using Output = T;

  Publisher() = default;
  explicit Publisher(std::shared_ptr<const detail::Source<T>> source) noexcept
      : source_(std::move(source)) {}

  // Calls receiveValue for each value and receiveCompletion (if given) at the end.
  AnyCancellable sink(std::function<void(const T&)> receiveValue,
                      std::function<void()> receiveCompletion = {}) const;

  // Applies f to each value on the delivering thread. Each subscription gets its own copy of f.
  template <class F>
  auto map(F f) const -> Publisher<std::decay_t<std::invoke_result_t<F, const T&>>>;
  // Passes a value only when it differs (operator==) from the last one passed to the same
  // subscriber; the first always passes.
  Publisher<T> removeDuplicates() const;
  // On subscription delivers `value` synchronously, then subscribes upstream.
  Publisher<T> prepend(T value) const;
  // Each value (re)starts a one-shot timer of `interval` on the loop's current clock; when it
  // expires with no newer value, the last value is delivered on the loop. A stale timer that
  // fires anyway does nothing. Completion is delivered on the loop at once; a pending value is
  // dropped.
  Publisher<T> debounce(std::chrono::nanoseconds interval, MainLoop& loop) const;
  // Re-delivers each value (and the completion) asynchronously on the loop, in order.
  Publisher<T> receiveOn(MainLoop& loop) const;
  Publisher<T> eraseToAnyPublisher() const { return *this; }

  // For each subscriber runs setup(emitter) on the subscribing thread and keeps the returned
  // handle; cancelling the subscription cancels that handle. The emitter may be used from any
  // thread and drops sends after cancellation or completion.
  static Publisher<T> create(std::function<AnyCancellable(Emitter<T>)> setup);
  static Publisher<T> just(T value);  // one value, then completion
  static Publisher<T> empty();        // completes at once
  static Publisher<T> never();        // nothing, ever

 private:
  friend struct detail::PublisherAccess;
  std::shared_ptr<const detail::Source<T>> source_;
};

// The sending side of Publisher::create, for one subscriber. Copyable; every copy feeds the same
// subscriber. Any thread. A default-constructed emitter drops everything.
template <class T>
class Emitter {
 public:
  Emitter() = default;
  void send(const T& value) const;
  // Delivers the completion once; later sends and completions are dropped.
  void sendCompletion() const;

 private:
  friend struct detail::PublisherAccess;
  explicit Emitter(std::shared_ptr<detail::EmitterState<T>> state) : state_(std::move(state)) {}
  std::shared_ptr<detail::EmitterState<T>> state_;
};

// Nothing until both have emitted; then every value of either yields the pair of that value and
// the latest of the other, on the emitting thread. Completes when both have completed.
template <class A, class B>
Publisher<std::pair<A, B>> combineLatest(const Publisher<A>& a, const Publisher<B>& b);

// Every value of either, in arrival order. Completes when both have completed.
template <class T>
Publisher<T> merge(const Publisher<T>& a, const Publisher<T>& b);

}  // namespace platform

#include "reactive/publisher_operators.h"  // IWYU pragma: export
