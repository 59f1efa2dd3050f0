// A thread-safe channel from one or more producers to one consumer, with a hook that runs
// exactly once when the channel terminates. Unbounded unless the consumer limits it.
//
//   auto [stream, continuation] = EventStream<AssistantEvent>::make();
//   continuation.onTermination([child](Termination) { child->terminate(); });
//   worker = std::jthread([c = continuation] { c.yield(event); c.finish(); });
//   while (auto event = stream.next()) send(*event);
//
// A consumer that handles elements in bulk takes everything waiting at once:
//
//   for (auto batch = stream.nextBatch(); !batch.empty(); batch = stream.nextBatch()) send(batch);
//
// The consumer (`EventStream`) is move-only; `next()` and `nextBatch()` may be called from one
// thread at a time,
// `cancel()` from any thread. Dropping the consumer cancels the stream. The producer
// (`Continuation`) is copyable and every member may be called from any thread; when its last
// copy is destroyed without `finish()`, the stream is finished so that no consumer waits forever.
//
// A consumer that waits in poll() for more than the stream (a socket, say) takes what is waiting
// without blocking and is told of news through a hook:
//
//   stream.onReady([wake] { signal(wake); });
//   while (auto batch = stream.takeWaiting()) { if (batch->empty()) poll(...); else send(*batch); }
//
// A consumer that cannot keep up limits what it holds: stream.limit(bytes, weigh). A yield into
// a full stream then blocks until the consumer has taken elements and come back for more, or
// the stream terminates.
//
// A consumer that only passes elements on (to a socket, say) can have the producers do that
// themselves, which saves a thread hand-off per element:
//
//   stream.writeThrough([fd](std::vector<T>& elements) { return send(fd, elements); });
//
// Producers that yield several elements at once (yieldAll) wake a sleeping consumer, or write,
// once for all of them.
//
// Termination happens once, on `finish()` or on cancellation, whichever comes first. Elements
// yielded before `finish()` are still delivered; after cancellation the buffer is dropped and
// `next()` returns nothing. Yields after termination are discarded.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <utility>
#include <vector>

namespace tarno::assistant {

enum class Termination { finished, cancelled };

template <typename T>
class EventStream {
  struct State;
  struct ProducerLink;

 public:
  class Continuation;

  // A connected consumer and producer.
  static std::pair<EventStream, Continuation> make() {
    auto state = std::make_shared<State>();
    auto link = std::make_shared<ProducerLink>(state);
    return {EventStream(state), Continuation(std::move(link))};
  }

  // An already finished stream that delivers `elements` in order.
  static EventStream of(std::vector<T> elements) {
    auto [stream, continuation] = make();
    continuation.yieldAll(std::move(elements));
    continuation.finish();
    return std::move(stream);
  }

  // An ended stream, as left behind by a move.
  EventStream() = default;
  EventStream(EventStream&&) noexcept = default;
  EventStream& operator=(EventStream&& other) noexcept {
    if (this != &other) {
      cancel();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  EventStream(const EventStream&) = delete;
  EventStream& operator=(const EventStream&) = delete;
  ~EventStream() { cancel(); }

  // Blocks until an element is available (returned) or the stream has ended (nothing).
  std::optional<T> next() {
    if (!state_) return std::nullopt;
    std::unique_lock lock(state_->mutex);
    state_->awaitLocked(lock);
    return state_->popLocked();
  }

  // As next(), but also returns nothing as soon as `stop` is requested. The stream is not
  // cancelled by that; the caller decides.
  std::optional<T> next(std::stop_token stop) {
    if (!state_) return std::nullopt;
    // Registered before the lock is taken: it runs at once when stop is already requested,
    // and it takes the lock itself.
    std::stop_callback wake(stop, typename State::WakeOnStop{state_.get()});
    std::unique_lock lock(state_->mutex);
    state_->awaitLocked(lock, stop);
    return state_->popLocked();
  }

  // Blocks like next(), then takes every element waiting, oldest first; empty once the stream
  // has ended. Elements yielded meanwhile come with the next call.
  std::vector<T> nextBatch() {
    if (!state_) return {};
    std::unique_lock lock(state_->mutex);
    state_->awaitLocked(lock);
    return state_->takeAllLocked();
  }

  // As nextBatch(), but also returns empty as soon as `stop` is requested (without cancelling).
  std::vector<T> nextBatch(std::stop_token stop) {
    if (!state_) return {};
    // Registered before the lock is taken: it runs at once when stop is already requested,
    // and it takes the lock itself.
    std::stop_callback wake(stop, typename State::WakeOnStop{state_.get()});
    std::unique_lock lock(state_->mutex);
    state_->awaitLocked(lock, stop);
    return state_->takeAllLocked();
  }

  // Takes every element waiting without blocking, oldest first (empty when none is); nothing
  // once the stream has ended and everything has been taken.
  std::optional<std::vector<T>> takeWaiting() {
    if (!state_) return std::nullopt;
    std::unique_lock lock(state_->mutex);
    if (state_->buffer.empty() && state_->terminated) {
      state_->releaseTakenLocked();
      return std::nullopt;
    }
    return state_->takeAllLocked();
  }

  // Sets the hook that runs whenever an element arrives at an empty buffer (not while a writer
  // takes them), when the stream terminates, and when a write fails. It runs on the producer's (or
  // the terminating) thread with the stream's lock held: it must be quick and must not call into
  // the stream. Elements already waiting when it is set do not call it. Cleared by an empty
  // function.
  void onReady(std::function<void()> hook) {
    if (!state_) return;
    std::lock_guard lock(state_->mutex);
    state_->readyHook.swap(hook);
  }

  // Hands every element yielded from now on to `write`, on the yielding thread and in order,
  // instead of queueing it for the consumer; elements waiting now are written first, on this
  // thread. One write runs at a time: elements yielded meanwhile are queued (within the limit)
  // and written by the producer that holds the writer. Once `write` returns false, what is
  // queued is dropped, later yields are discarded and the ready hook runs (writeFailed() then
  // tells). An empty function returns the stream to queueing, after any write under way has
  // returned, so that whatever `write` uses may then go away.
  void writeThrough(std::function<bool(std::vector<T>&)> write) {
    if (!state_) return;
    std::function<bool(std::vector<T>&)> replaced;
    std::unique_lock lock(state_->mutex);
    state_->space.wait(lock, [&] { return !state_->writing; });
    replaced.swap(state_->write);
    state_->write = std::move(write);
    if (state_->write && !state_->buffer.empty() && !state_->writeFailed) {
      std::vector<T> waiting = state_->drainLocked();
      state_->releaseTakenLocked();
      state_->writeLocked(lock, waiting);
    }
  }

  // Whether the stream has terminated; elements yielded before may still be waiting (or, with
  // a writer, being written).
  bool isTerminated() const {
    if (!state_) return true;
    std::lock_guard lock(state_->mutex);
    return state_->terminated;
  }

  // Whether a write through writeThrough's function has failed.
  bool writeFailed() const {
    if (!state_) return false;
    std::lock_guard lock(state_->mutex);
    return state_->writeFailed;
  }

  // Bounds what the consumer holds: a yield blocks while the weight of the elements waiting,
  // plus that of the last batch (or element) taken until the consumer comes back, is `bytes` or
  // more. So at most `bytes` plus one element is held. Unbounded while `bytes` is 0.
  void limit(std::size_t bytes, std::function<std::size_t(const T&)> weigh) {
    if (!state_) return;
    std::lock_guard lock(state_->mutex);
    state_->limit = bytes;
    state_->weigh = std::move(weigh);
    state_->buffered = 0;
    if (bytes > 0)
      for (const T& element : state_->buffer)
        state_->buffered += state_->weigh(element);
  }

  // Ends the stream from the consumer's side: buffered elements are dropped, a blocked next()
  // returns nothing, producers' yields are discarded from now on, and the termination hook runs
  // (with `cancelled`) unless the producer had already finished.
  void cancel() {
    if (state_) state_->terminate(Termination::cancelled);
  }

  class Continuation {
   public:
    // Not connected to any stream: yields are discarded.
    Continuation() = default;

    // Appends an element; false (and the element is discarded) once the stream has terminated.
    bool yield(T element) const {
      std::vector<T> one;
      one.push_back(std::move(element));
      return yieldAll(std::move(one));
    }

    // Appends the elements in order, as one yield: a limit lets them all in at once.
    bool yieldAll(std::vector<T> elements) const {
      if (!link_) return false;
      State& state = *link_->state;
      bool wake = false;
      if (!state.push(elements, wake)) return false;
      // A consumer that is not asleep finds the elements when it next looks; waking it costs a
      // system call per yield on a busy stream.
      if (wake) state.ready.notify_one();
      return true;
    }

    // Ends the stream; elements already yielded are still delivered.
    void finish() const {
      if (link_) link_->state->terminate(Termination::finished);
    }

    // Sets the hook that runs once when the stream terminates, on the thread that terminates
    // it, without any lock of the stream held: it may call back into the stream or block
    // briefly. If the stream has already terminated the hook runs now, on this thread. Setting
    // a new hook before termination replaces the previous one.
    void onTermination(std::function<void(Termination)> hook) const {
      if (link_) link_->state->setHook(std::move(hook));
    }

    bool isTerminated() const {
      if (!link_) return true;
      std::lock_guard lock(link_->state->mutex);
      return link_->state->terminated;
    }

   private:
    friend class EventStream;
    explicit Continuation(std::shared_ptr<ProducerLink> link) : link_(std::move(link)) {}
    std::shared_ptr<ProducerLink> link_;
  };

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<T> buffer;
    bool terminated = false;
    Termination reason = Termination::finished;
    std::function<void(Termination)> hook;
    // Set while the consumer sleeps on `ready`; guarded by `mutex` like the buffer.
    bool consumerWaiting = false;
    std::function<void()> readyHook;
    // Backpressure: producers wait on `space` while buffered + taken reaches limit (0: never).
    std::condition_variable space;
    std::size_t limit = 0;
    std::function<std::size_t(const T&)> weigh;
    std::size_t buffered = 0;
    std::size_t taken = 0;
    // Write-through: producers write themselves, one at a time (`writing`, waited for on
    // `space`); the queue only holds what is yielded during a write.
    std::function<bool(std::vector<T>&)> write;
    bool writing = false;
    bool writeFailed = false;

    // Appends `elements` (moved from) once there is room, or writes them; false once
    // terminated or a write has failed. `wake` tells whether the consumer sleeps on `ready`.
    // Out of line: inlined into every yield it costs more than it saves.
    [[gnu::noinline]] bool push(std::vector<T>& elements, bool& wake) {
      std::unique_lock lock(mutex);
      // The producer waits here, so a CLI behind it blocks on its pipe instead of the helper
      // buffering without end.
      if (limit > 0) space.wait(lock, [&] { return terminated || !fullLocked(); });
      if (terminated || writeFailed) return false;
      if (write && !writing) return writeLocked(lock, elements);
      if (limit > 0)
        for (const T& element : elements)
          buffered += weigh(element);
      // With a writer, the producer that writes takes the queue; nobody else has to wake.
      if (buffer.empty() && readyHook && !write) readyHook();
      for (T& element : elements)
        buffer.push_back(std::move(element));
      wake = consumerWaiting;
      return true;
    }

    // Writes `elements`, then what other producers queued meanwhile, with the lock released
    // around each write (so a slow reader blocks this producer, not the stream).
    bool writeLocked(std::unique_lock<std::mutex>& lock, std::vector<T>& elements) {
      writing = true;
      std::vector<T> batch = std::move(elements);
      bool written = true;
      while (written && !batch.empty()) {
        lock.unlock();
        written = write(batch);
        batch.clear();
        lock.lock();
        if (written) batch = drainLocked();
      }
      writing = false;
      if (!written) {
        writeFailed = true;
        buffer.clear();
        buffered = 0;
        if (readyHook) readyHook();
      }
      space.notify_all();
      return written;
    }

    bool fullLocked() const { return buffered + taken >= limit; }

    // The consumer is back for more: what it took last is no longer held.
    void releaseTakenLocked() {
      if (limit == 0) return;
      taken = 0;
      space.notify_all();
    }

    bool hasNewsLocked() const { return !buffer.empty() || terminated; }

    void awaitLocked(std::unique_lock<std::mutex>& lock) {
      if (hasNewsLocked()) return;
      consumerWaiting = true;
      ready.wait(lock, [&] { return hasNewsLocked(); });
      consumerWaiting = false;
    }

    // Wakes a consumer waiting with a stop token when stop is requested. Taking the lock
    // before notifying means the consumer is either before its check of the token or asleep.
    struct WakeOnStop {
      State* state;
      void operator()() const {
        { std::lock_guard lock(state->mutex); }
        state->ready.notify_all();
      }
    };

    // Needs a WakeOnStop registered for `stop` (and not the lock held while it was made).
    void awaitLocked(std::unique_lock<std::mutex>& lock, const std::stop_token& stop) {
      if (hasNewsLocked() || stop.stop_requested()) return;
      consumerWaiting = true;
      ready.wait(lock, [&] { return hasNewsLocked() || stop.stop_requested(); });
      consumerWaiting = false;
    }

    std::vector<T> takeAllLocked() {
      releaseTakenLocked();
      taken = buffered;
      return drainLocked();
    }

    // Moves out every element waiting, with their weight.
    std::vector<T> drainLocked() {
      std::vector<T> batch;
      batch.reserve(buffer.size());
      for (T& element : buffer)
        batch.push_back(std::move(element));
      // A fresh deque: a burst's blocks go back to the allocator instead of staying reserved.
      std::deque<T>().swap(buffer);
      buffered = 0;
      return batch;
    }

    std::optional<T> popLocked() {
      releaseTakenLocked();
      if (buffer.empty()) return std::nullopt;
      std::optional<T> element(std::move(buffer.front()));
      buffer.pop_front();
      if (limit > 0) {
        taken = weigh(*element);
        buffered -= taken;
      }
      return element;
    }

    void terminate(Termination why) {
      std::function<void(Termination)> toRun;
      std::deque<T> dropped;
      {
        std::lock_guard lock(mutex);
        if (why == Termination::cancelled) dropped.swap(buffer);
        if (!terminated) {
          terminated = true;
          reason = why;
          toRun.swap(hook);
          if (readyHook) readyHook();
        }
      }
      ready.notify_all();
      space.notify_all();
      // Dropped elements and the hook (with whatever it captured) die outside the lock.
      if (toRun) toRun(why);
    }

    void setHook(std::function<void(Termination)> newHook) {
      Termination why;
      {
        std::lock_guard lock(mutex);
        if (!terminated) {
          hook.swap(newHook);
          return;  // the replaced hook, if any, is destroyed after the lock is released
        }
        why = reason;
      }
      if (newHook) newHook(why);
    }
  };

  // Shared by all copies of one Continuation: the last copy to go finishes the stream.
  struct ProducerLink {
    explicit ProducerLink(std::shared_ptr<State> s) : state(std::move(s)) {}
    ~ProducerLink() { state->terminate(Termination::finished); }
    ProducerLink(const ProducerLink&) = delete;
    ProducerLink& operator=(const ProducerLink&) = delete;
    std::shared_ptr<State> state;
  };

  explicit EventStream(std::shared_ptr<State> state) : state_(std::move(state)) {}

  std::shared_ptr<State> state_;
};

}  // namespace tarno::assistant
