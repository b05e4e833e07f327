#pragma once
// Checks a thread rule that a header states ("the network thread's only", "the caller's thread
// (the UI)"): a ThreadCheck belongs to the first thread that passes check(), and any other
// thread that passes it ends the process with a message naming the place. Active in debug
// builds and wherever RADIOLIST_THREAD_CHECKS is defined (the sanitizer builds, so that CI runs
// it); otherwise check() is empty. The owner is kept either way, so the layout never differs.

#include <atomic>
#include <source_location>
#include <thread>

namespace radiolist::log {

#if !defined(NDEBUG) || defined(RADIOLIST_THREAD_CHECKS)
inline constexpr bool kThreadChecks = true;
#else
inline constexpr bool kThreadChecks = false;
#endif

class ThreadCheck {
 public:
  void check(std::source_location where = std::source_location::current()) const {
    if constexpr (kThreadChecks) {
      const std::thread::id self = std::this_thread::get_id();
      std::thread::id owner{};
      if (!owner_.compare_exchange_strong(owner, self) && owner != self) fail(where);
    }
  }
  // The next thread to pass check() becomes the owner: for a role that passes from one thread
  // to the next (the network thread ends when idle and a new one starts later).
  void release() { owner_.store(std::thread::id{}); }

 private:
  [[noreturn]] static void fail(const std::source_location& where);
  mutable std::atomic<std::thread::id> owner_{};
};

}  // namespace radiolist::log
