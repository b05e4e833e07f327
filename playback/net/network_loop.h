#pragma once
// Inside the transport: the network thread of the process. Every transfer runs on its one curl
// multi handle, which keeps finished connections open for the next request to the same server
// (an HLS stream's segments and playlist reloads) and caches name lookups. Other threads talk to
// it through commands (add, remove, unpause) and never wait for it. The thread runs while there
// are transfers and ends when there are none; the handle, with its open connections, stays for
// the next one. At process exit every transfer is cancelled and every connection closed.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "playback/log/thread_check.h"
#include "playback/net/curl_handles.h"
#include "playback/net/stream_shared.h"
#include "playback/net/transfer.h"

namespace radiolist::net::detail {

class NetworkLoop {
 public:
  // The process's loop. A child forked from a process whose loop has a handle of its own gets a
  // new one: it shares nothing with the parent's.
  static NetworkLoop& get();

  // Transfers handed to the network thread and not yet ended there. The thread takes its ended
  // transfers off only as its last act before it goes idle, so that 0 means no network thread
  // runs (a process may then fork safely).
  static std::size_t liveTransfers();

  // Hands a transfer to the thread, starting it if it is not running; false once the loop is
  // closed or no thread could start.
  bool add(std::unique_ptr<Transfer> transfer);
  // Ends the stream's transfer (already marked cancelled).
  void remove(std::shared_ptr<Shared> shared);
  // Lets a transfer paused for want of room go on.
  void unpause(std::shared_ptr<Shared> shared);

  // Cancels every transfer, closes every connection and ends the thread, waiting for it at most
  // `wait`; later add()s fail. For the end of the process: a transfer still inside the TLS
  // library while its exit handler tears it down could crash the exit (our handler is
  // registered after curl's initialisation, so it runs first).
  void close(std::chrono::milliseconds wait);

 private:
  struct Command {
    enum Kind { Add, Remove, Unpause } kind;
    std::shared_ptr<Shared> shared;
    std::unique_ptr<Transfer> transfer;  // Add only
  };

  explicit NetworkLoop(NetworkLoop* parents);

  void post(Command command);
  // Returns how many transfers ended.
  std::size_t apply(Command& command);
  void run();
  // The thread's, each returning how many transfers ended: those curl finished, those overdue
  // (`wake` brought forward to the next deadline); and the end of every transfer at closing.
  std::size_t concludeFinished();
  std::size_t dropOverdue(std::chrono::steady_clock::time_point now,
                          std::chrono::steady_clock::time_point& wake);
  void shutDown(std::size_t ended);

  const pid_t pid_;
  // In a forked child, the parent's loop: left alone, and kept reachable so that its memory is
  // not taken for a leak.
  [[maybe_unused]] NetworkLoop* const parents_;
  // Used by the thread while it runs, by close() when none runs; wakeup() from anywhere under
  // mutex_ until closed_ is set.
  curl::Multi multi_;
  std::unordered_map<Shared*, std::unique_ptr<Transfer>> transfers_;  // the thread's only
  // The running thread; released when it ends, for the next one.
  log::ThreadCheck thread_;

  std::mutex mutex_;
  // Guarded by mutex_:
  std::vector<Command> commands_;
  bool closed_ = false;
  bool running_ = false;  // a thread runs (or is starting) on the handle
  std::condition_variable idle_;
};

}  // namespace radiolist::net::detail
