#pragma once

// Operator nodes and descriptions behind reactive/publisher.h; included only from there.
//
// A node lives in one subscriber's chain (see publisher_chain.h) and is called only by the
// thread inside that chain, so it keeps its state without locks. Every node updates its state
// before it calls downstream, so a re-entrant delivery from a callback sees a consistent node.

#include <atomic>
#include <cstdint>
#include <optional>

namespace platform::detail {

struct PublisherAccess {
  template <class T>
  static void attach(const Publisher<T>& publisher, Subscriber<T>* downstream, Chain& chain) {
    if (publisher.source_) publisher.source_->attach(downstream, chain);
  }
  template <class T>
  static Emitter<T> makeEmitter(std::shared_ptr<EmitterState<T>> state) {
    return Emitter<T>(std::move(state));
  }
};

template <class T, class Description, class... Args>
Publisher<T> makePublisher(Args&&... args) {
  return Publisher<T>(std::make_shared<const Description>(std::forward<Args>(args)...));
}

// Attaches the publisher to `last` in the calling thread's new chain and lets deliveries start.
template <class T>
AnyCancellable startSubscription(const Publisher<T>& publisher, Subscriber<T>* last,
                                 std::shared_ptr<Chain> chain) {
  PublisherAccess::attach(publisher, last, *chain);
  chain->exit();
  return AnyCancellable(std::shared_ptr<CancelTarget>(std::move(chain)));
}

// --- Subscribers at the end of a chain ---------------------------------------------------------

// The last node of a sink() subscription. The cancelled check makes sure that no callback starts
// after a cancel() from inside an earlier callback of the same delivery.
template <class T>
class SinkNode final : public Subscriber<T> {
 public:
  SinkNode(Chain* chain, std::function<void(const T&)> receiveValue,
           std::function<void()> receiveCompletion)
      : chain_(chain),
        receiveValue_(std::move(receiveValue)),
        receiveCompletion_(std::move(receiveCompletion)) {}

  void receive(const T& value) override {
    if (!chain_->isCancelled() && receiveValue_) receiveValue_(value);
  }
  void receiveCompletion() override {
    if (chain_->isCancelled()) return;
    if (receiveCompletion_) receiveCompletion_();
    chain_->finish();
  }

 private:
  Chain* chain_;
  std::function<void(const T&)> receiveValue_;
  std::function<void()> receiveCompletion_;
};

// --- map, removeDuplicates ---------------------------------------------------------------------

template <class T, class U, class F>
class MapNode final : public Subscriber<T> {
 public:
  MapNode(F f, Subscriber<U>* downstream) : f_(std::move(f)), downstream_(downstream) {}
  void receive(const T& value) override { downstream_->receive(f_(value)); }
  void receiveCompletion() override { downstream_->receiveCompletion(); }

 private:
  F f_;
  Subscriber<U>* downstream_;
};

template <class T, class U, class F>
class MapSource final : public Source<U> {
 public:
  MapSource(Publisher<T> upstream, F f) : upstream_(std::move(upstream)), f_(std::move(f)) {}
  void attach(Subscriber<U>* downstream, Chain& chain) const override {
    PublisherAccess::attach(upstream_, chain.own<MapNode<T, U, F>>(f_, downstream), chain);
  }

 private:
  Publisher<T> upstream_;
  F f_;
};

template <class T>
class RemoveDuplicatesNode final : public Subscriber<T> {
 public:
  explicit RemoveDuplicatesNode(Subscriber<T>* downstream) : downstream_(downstream) {}
  void receive(const T& value) override {
    if (last_ && *last_ == value) return;
    last_ = value;
    downstream_->receive(value);
  }
  void receiveCompletion() override { downstream_->receiveCompletion(); }

 private:
  Subscriber<T>* downstream_;
  std::optional<T> last_;
};

template <class T>
class RemoveDuplicatesSource final : public Source<T> {
 public:
  explicit RemoveDuplicatesSource(Publisher<T> upstream) : upstream_(std::move(upstream)) {}
  void attach(Subscriber<T>* downstream, Chain& chain) const override {
    PublisherAccess::attach(upstream_, chain.own<RemoveDuplicatesNode<T>>(downstream), chain);
  }

 private:
  Publisher<T> upstream_;
};

// --- prepend, just, empty ----------------------------------------------------------------------

// The subscribing thread owns the chain while sources attach, so values produced during
// attach are delivered directly, in attach order.
template <class T>
class PrependSource final : public Source<T> {
 public:
  PrependSource(Publisher<T> upstream, T value)
      : upstream_(std::move(upstream)), value_(std::move(value)) {}
  void attach(Subscriber<T>* downstream, Chain& chain) const override {
    if (!chain.isCancelled()) downstream->receive(value_);
    PublisherAccess::attach(upstream_, downstream, chain);
  }

 private:
  Publisher<T> upstream_;
  T value_;
};

template <class T>
class JustSource final : public Source<T> {
 public:
  explicit JustSource(T value) : value_(std::move(value)) {}
  void attach(Subscriber<T>* downstream, Chain& chain) const override {
    if (!chain.isCancelled()) downstream->receive(value_);
    if (!chain.isCancelled()) downstream->receiveCompletion();
  }

 private:
  T value_;
};

template <class T>
class EmptySource final : public Source<T> {
 public:
  void attach(Subscriber<T>* downstream, Chain& chain) const override {
    if (!chain.isCancelled()) downstream->receiveCompletion();
  }
};

// --- create ------------------------------------------------------------------------------------

// Shared by the copies of one subscriber's emitter. The chain is held weakly: an emitter kept by
// a thread or a closure never keeps the subscription alive.
template <class T>
struct EmitterState {
  EmitterState(std::weak_ptr<Chain> chain, Subscriber<T>* downstream)
      : chain(std::move(chain)), downstream(downstream) {}
  std::weak_ptr<Chain> chain;
  Subscriber<T>* downstream;  // used only inside the chain, which checks for cancellation
  std::atomic<bool> isDone{false};
};

template <class T>
class CreateResource final : public ChainResource {
 public:
  CreateResource(std::shared_ptr<EmitterState<T>> state, AnyCancellable handle)
      : state_(std::move(state)), handle_(std::move(handle)) {}
  void detach() noexcept override {
    state_->isDone.store(true, std::memory_order_release);
    handle_.cancel();
  }

 private:
  std::shared_ptr<EmitterState<T>> state_;
  AnyCancellable handle_;
};

template <class T>
class CreateSource final : public Source<T> {
 public:
  explicit CreateSource(std::function<AnyCancellable(Emitter<T>)> setup)
      : setup_(std::move(setup)) {}
  void attach(Subscriber<T>* downstream, Chain& chain) const override {
    auto state = std::make_shared<EmitterState<T>>(chain.weak_from_this(), downstream);
    AnyCancellable handle;
    if (setup_) handle = setup_(PublisherAccess::makeEmitter(state));
    chain.addResource(std::make_unique<CreateResource<T>>(std::move(state), std::move(handle)));
  }

 private:
  std::function<AnyCancellable(Emitter<T>)> setup_;
};

// --- combineLatest, merge ----------------------------------------------------------------------

// Receives one upstream of a two-input node and hands it to the node's On method.
template <class Node, class V, void (Node::*OnValue)(const V&), void (Node::*OnCompletion)()>
class InputOf final : public Subscriber<V> {
 public:
  explicit InputOf(Node* node) : node_(node) {}
  void receive(const V& value) override { (node_->*OnValue)(value); }
  void receiveCompletion() override { (node_->*OnCompletion)(); }

 private:
  Node* node_;
};

template <class A, class B>
class CombineLatestNode {
 public:
  explicit CombineLatestNode(Subscriber<std::pair<A, B>>* downstream)
      : downstream_(downstream), left_(this), right_(this) {}
  Subscriber<A>* left() { return &left_; }
  Subscriber<B>* right() { return &right_; }

 private:
  void onLeft(const A& a) {
    a_ = a;
    if (b_) downstream_->receive(std::pair<A, B>(*a_, *b_));
  }
  void onRight(const B& b) {
    b_ = b;
    if (a_) downstream_->receive(std::pair<A, B>(*a_, *b_));
  }
  void onLeftCompletion() { completeOne(); }
  void onRightCompletion() { completeOne(); }
  void completeOne() {
    if (++completed_ == 2) downstream_->receiveCompletion();
  }

  Subscriber<std::pair<A, B>>* downstream_;
  std::optional<A> a_;
  std::optional<B> b_;
  int completed_ = 0;
  InputOf<CombineLatestNode, A, &CombineLatestNode::onLeft, &CombineLatestNode::onLeftCompletion>
      left_;
  InputOf<CombineLatestNode, B, &CombineLatestNode::onRight, &CombineLatestNode::onRightCompletion>
      right_;
};

template <class A, class B>
class CombineLatestSource final : public Source<std::pair<A, B>> {
 public:
  CombineLatestSource(Publisher<A> a, Publisher<B> b) : a_(std::move(a)), b_(std::move(b)) {}
  void attach(Subscriber<std::pair<A, B>>* downstream, Chain& chain) const override {
    auto* node = chain.own<CombineLatestNode<A, B>>(downstream);
    PublisherAccess::attach(a_, node->left(), chain);
    PublisherAccess::attach(b_, node->right(), chain);
  }

 private:
  Publisher<A> a_;
  Publisher<B> b_;
};

template <class T>
class MergeNode {
 public:
  explicit MergeNode(Subscriber<T>* downstream)
      : downstream_(downstream), left_(this), right_(this) {}
  Subscriber<T>* left() { return &left_; }
  Subscriber<T>* right() { return &right_; }

 private:
  void onValue(const T& value) { downstream_->receive(value); }
  void onCompletion() {
    if (++completed_ == 2) downstream_->receiveCompletion();
  }

  Subscriber<T>* downstream_;
  int completed_ = 0;
  InputOf<MergeNode, T, &MergeNode::onValue, &MergeNode::onCompletion> left_;
  InputOf<MergeNode, T, &MergeNode::onValue, &MergeNode::onCompletion> right_;
};

template <class T>
class MergeSource final : public Source<T> {
 public:
  MergeSource(Publisher<T> a, Publisher<T> b) : a_(std::move(a)), b_(std::move(b)) {}
  void attach(Subscriber<T>* downstream, Chain& chain) const override {
    auto* node = chain.own<MergeNode<T>>(downstream);
    PublisherAccess::attach(a_, node->left(), chain);
    PublisherAccess::attach(b_, node->right(), chain);
  }

 private:
  Publisher<T> a_;
  Publisher<T> b_;
};

// --- receiveOn, debounce -----------------------------------------------------------------------
//
// Both split a subscription in two chains: the inner one runs the upstream part on the sending
// threads and ends in an input node that posts to the loop; the outer one (the subscriber's)
// runs the posted deliveries on the loop's thread. Two chains, so that a loop block never waits
// for, or hands its value to, a sending thread. The outer chain owns the inner one and tears it
// down with itself. Posted blocks and timers hold the outer chain weakly and enter it like any
// other source, so they do nothing once the subscription has ended.

// Delivers f inside the outer chain if it still exists.
template <class F>
void runInOuter(const std::weak_ptr<Chain>& outer, F&& f) {
  if (std::shared_ptr<Chain> chain = outer.lock()) chain->run(std::forward<F>(f));
}

template <class T>
class ReceiveOnInput final : public Subscriber<T> {
 public:
  ReceiveOnInput(MainLoop* loop, std::weak_ptr<Chain> outer, Subscriber<T>* downstream,
                 Chain* inner)
      : loop_(loop), outer_(std::move(outer)), downstream_(downstream), inner_(inner) {}

  void receive(const T& value) override {
    loop_->post([outer = outer_, downstream = downstream_, value]() mutable {
      runInOuter(outer, [downstream, value = std::move(value)] { downstream->receive(value); });
    });
  }
  void receiveCompletion() override {
    loop_->post([outer = outer_, downstream = downstream_] {
      runInOuter(outer, [downstream] { downstream->receiveCompletion(); });
    });
    inner_->finish();
  }

 private:
  MainLoop* loop_;
  std::weak_ptr<Chain> outer_;
  Subscriber<T>* downstream_;  // in the outer chain
  Chain* inner_;
};

template <class T>
class ReceiveOnSource final : public Source<T> {
 public:
  ReceiveOnSource(Publisher<T> upstream, MainLoop* loop)
      : upstream_(std::move(upstream)), loop_(loop) {}
  void attach(Subscriber<T>* downstream, Chain& chain) const override {
    std::shared_ptr<Chain> inner = Chain::make();
    auto* input =
        inner->own<ReceiveOnInput<T>>(loop_, chain.weak_from_this(), downstream, inner.get());
    PublisherAccess::attach(upstream_, input, *inner);
    chain.addResource(std::make_unique<InnerChainResource>(inner));
    inner->exit();
  }

 private:
  Publisher<T> upstream_;
  MainLoop* loop_;
};

// The loop side of a debounce, in the outer chain. generation counts the values (and the
// completion) received by the inner side; a timer delivers only if no newer one came since.
template <class T>
struct DebounceOutput {
  explicit DebounceOutput(Subscriber<T>* downstream) : downstream(downstream) {}
  Subscriber<T>* downstream;
  std::atomic<std::uint64_t> generation{0};
};

template <class T>
class DebounceInput final : public Subscriber<T> {
 public:
  DebounceInput(MainLoop* loop, std::chrono::nanoseconds interval, std::weak_ptr<Chain> outer,
                DebounceOutput<T>* output, Chain* inner)
      : loop_(loop),
        interval_(interval),
        outer_(std::move(outer)),
        output_(output),
        inner_(inner) {}
  ~DebounceInput() override { timer_.cancel(); }
  DebounceInput(const DebounceInput&) = delete;
  DebounceInput& operator=(const DebounceInput&) = delete;

  void receive(const T& value) override {
    const std::uint64_t generation =
        output_->generation.fetch_add(1, std::memory_order_acq_rel) + 1;
    // The generation check makes the previous timer harmless even if it is already running;
    // cancelling it only frees it early.
    timer_.cancel();
    timer_ = loop_->postAfter(
        interval_, [outer = outer_, output = output_, generation, value]() mutable {
          runInOuter(outer, [output, generation, value = std::move(value)] {
            if (output->generation.load(std::memory_order_acquire) == generation) {
              output->downstream->receive(value);
            }
          });
        });
  }
  void receiveCompletion() override {
    output_->generation.fetch_add(1, std::memory_order_acq_rel);
    timer_.cancel();
    loop_->post([outer = outer_, output = output_] {
      runInOuter(outer, [output] { output->downstream->receiveCompletion(); });
    });
    inner_->finish();
  }

 private:
  MainLoop* loop_;
  std::chrono::nanoseconds interval_;
  std::weak_ptr<Chain> outer_;
  DebounceOutput<T>* output_;  // in the outer chain
  Chain* inner_;
  TimerHandle timer_;
};

template <class T>
class DebounceSource final : public Source<T> {
 public:
  DebounceSource(Publisher<T> upstream, std::chrono::nanoseconds interval, MainLoop* loop)
      : upstream_(std::move(upstream)), interval_(interval), loop_(loop) {}
  void attach(Subscriber<T>* downstream, Chain& chain) const override {
    auto* output = chain.own<DebounceOutput<T>>(downstream);
    std::shared_ptr<Chain> inner = Chain::make();
    auto* input =
        inner->own<DebounceInput<T>>(loop_, interval_, chain.weak_from_this(), output, inner.get());
    PublisherAccess::attach(upstream_, input, *inner);
    chain.addResource(std::make_unique<InnerChainResource>(inner));
    inner->exit();
  }

 private:
  Publisher<T> upstream_;
  std::chrono::nanoseconds interval_;
  MainLoop* loop_;
};

}  // namespace platform::detail

namespace platform {

template <class T>
AnyCancellable Publisher<T>::sink(std::function<void(const T&)> receiveValue,
                                  std::function<void()> receiveCompletion) const {
  std::shared_ptr<detail::Chain> chain = detail::Chain::make();
  auto* last = chain->own<detail::SinkNode<T>>(chain.get(), std::move(receiveValue),
                                               std::move(receiveCompletion));
  return detail::startSubscription(*this, static_cast<Subscriber<T>*>(last), std::move(chain));
}

template <class T>
template <class F>
auto Publisher<T>::map(F f) const -> Publisher<std::decay_t<std::invoke_result_t<F, const T&>>> {
  using U = std::decay_t<std::invoke_result_t<F, const T&>>;
  return detail::makePublisher<U, detail::MapSource<T, U, F>>(*this, std::move(f));
}

template <class T>
Publisher<T> Publisher<T>::removeDuplicates() const {
  return detail::makePublisher<T, detail::RemoveDuplicatesSource<T>>(*this);
}

template <class T>
Publisher<T> Publisher<T>::prepend(T value) const {
  return detail::makePublisher<T, detail::PrependSource<T>>(*this, std::move(value));
}

template <class T>
Publisher<T> Publisher<T>::debounce(std::chrono::nanoseconds interval, MainLoop& loop) const {
  return detail::makePublisher<T, detail::DebounceSource<T>>(*this, interval, &loop);
}

template <class T>
Publisher<T> Publisher<T>::receiveOn(MainLoop& loop) const {
  return detail::makePublisher<T, detail::ReceiveOnSource<T>>(*this, &loop);
}

template <class T>
Publisher<T> Publisher<T>::create(std::function<AnyCancellable(Emitter<T>)> setup) {
  return detail::makePublisher<T, detail::CreateSource<T>>(std::move(setup));
}

template <class T>
Publisher<T> Publisher<T>::just(T value) {
  return detail::makePublisher<T, detail::JustSource<T>>(std::move(value));
}

template <class T>
Publisher<T> Publisher<T>::empty() {
  return detail::makePublisher<T, detail::EmptySource<T>>();
}

template <class T>
Publisher<T> Publisher<T>::never() {
  return Publisher<T>();
}

template <class T>
void Emitter<T>::send(const T& value) const {
  if (!state_ || state_->isDone.load(std::memory_order_acquire)) return;
  if (std::shared_ptr<detail::Chain> chain = state_->chain.lock()) {
    Subscriber<T>* downstream = state_->downstream;
    chain->run([downstream, value] { downstream->receive(value); });
  }
}

template <class T>
void Emitter<T>::sendCompletion() const {
  if (!state_ || state_->isDone.exchange(true, std::memory_order_acq_rel)) return;
  if (std::shared_ptr<detail::Chain> chain = state_->chain.lock()) {
    Subscriber<T>* downstream = state_->downstream;
    chain->run([downstream] { downstream->receiveCompletion(); });
  }
}

template <class A, class B>
Publisher<std::pair<A, B>> combineLatest(const Publisher<A>& a, const Publisher<B>& b) {
  return detail::makePublisher<std::pair<A, B>, detail::CombineLatestSource<A, B>>(a, b);
}

template <class T>
Publisher<T> merge(const Publisher<T>& a, const Publisher<T>& b) {
  return detail::makePublisher<T, detail::MergeSource<T>>(a, b);
}

}  // namespace platform
