#pragma once

// Where the hosts of a fan-out experiment leave their answers: a small file that the experiment
// and every host map into memory. Each host owns one slot and writes its latest answer and the
// monotonic time at which its subscriber got it; the last host of a round to answer wakes the
// waiting experiment through a futex on the shared count. Reporting therefore costs a host a few
// stores (one system call for the last), instead of a line through a pipe that the experiment
// wakes up to read while other hosts are still working.
//
// Threads and processes: post() from any thread of a host (one slot per host); reset(),
// awaitAll() and the readers from one thread of the experiment, between rounds.

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

namespace e2e {

class AnswerBoard {
 public:
  static constexpr int kMaxHosts = 256;

  // The experiment's side: creates the file for `hosts` slots.
  static AnswerBoard create(const std::filesystem::path& file, int hosts) {
    if (hosts < 1 || hosts > kMaxHosts) throw std::invalid_argument("answer board: bad host count");
    AnswerBoard board(file, O_RDWR | O_CREAT | O_EXCL);
    board.layout_->hosts = static_cast<std::uint32_t>(hosts);
    return board;
  }

  // A host's side.
  static AnswerBoard open(const std::filesystem::path& file) { return AnswerBoard(file, O_RDWR); }

  AnswerBoard(AnswerBoard&& other) noexcept : layout_(other.layout_) { other.layout_ = nullptr; }
  AnswerBoard& operator=(AnswerBoard&&) = delete;
  ~AnswerBoard() {
    if (layout_ != nullptr) ::munmap(layout_, sizeof(Layout));
  }

  void post(int slot, bool value, std::int64_t arrival) {
    Slot& s = layout_->slots[slot];
    s.arrival.store(arrival, std::memory_order_relaxed);
    s.value.store(value ? 1 : 0, std::memory_order_release);
    const std::uint32_t answered = layout_->answered.fetch_add(1, std::memory_order_acq_rel) + 1;
    if (answered == layout_->hosts) futex(FUTEX_WAKE, 1, nullptr);
  }

  // Starts a round: no host has answered it yet.
  void reset() { layout_->answered.store(0, std::memory_order_release); }

  // Until every host has answered since reset(), or the timeout; false on timeout.
  bool awaitAll(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const std::uint32_t answered = layout_->answered.load(std::memory_order_acquire);
      if (answered >= layout_->hosts) return true;
      const auto left = deadline - std::chrono::steady_clock::now();
      if (left <= std::chrono::steady_clock::duration::zero()) return false;
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      timespec wait{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
      futex(FUTEX_WAIT, answered, &wait);  // returns at once if the count moved meanwhile
    }
  }

  int value(int slot) const { return layout_->slots[slot].value.load(std::memory_order_acquire); }
  std::int64_t arrival(int slot) const {
    return layout_->slots[slot].arrival.load(std::memory_order_relaxed);
  }

 private:
  struct Slot {
    std::atomic<std::int64_t> arrival{0};
    std::atomic<std::int32_t> value{-1};
  };
  struct Layout {
    std::atomic<std::uint32_t> answered{0};
    std::uint32_t hosts = 0;
    Slot slots[kMaxHosts];
  };
  static_assert(std::atomic<std::uint32_t>::is_always_lock_free &&
                    std::atomic<std::int64_t>::is_always_lock_free,
                "the board is shared between processes");

  AnswerBoard(const std::filesystem::path& file, int flags) {
    const int fd = ::open(file.c_str(), flags | O_CLOEXEC, 0600);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "open " + file.string());
    const bool isNew = (flags & O_CREAT) != 0;
    if (isNew && ::ftruncate(fd, sizeof(Layout)) != 0) {
      ::close(fd);
      throw std::system_error(errno, std::generic_category(), "size " + file.string());
    }
    void* memory = ::mmap(nullptr, sizeof(Layout), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (memory == MAP_FAILED) {
      throw std::system_error(errno, std::generic_category(), "map " + file.string());
    }
    layout_ = isNew ? new (memory) Layout : static_cast<Layout*>(memory);
  }

  // Shared (not process-private) futex operations on the count.
  long futex(int op, std::uint32_t value, const timespec* timeout) {
    return ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&layout_->answered), op, value,
                     timeout, nullptr, 0);
  }

  Layout* layout_ = nullptr;
};

}  // namespace e2e
