#include "playback/net/network_loop.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <utility>

#include "playback/log/thread_name.h"

namespace radiolist::net::detail {
namespace {

// See liveTransfers().
std::atomic<std::size_t> gLiveTransfers{0};

void initCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl::ok(curl_global_init(CURL_GLOBAL_DEFAULT), "curl_global_init"); });
}

}  // namespace

NetworkLoop& NetworkLoop::get() {
  static std::mutex mutex;
  static NetworkLoop* loop = nullptr;
  const std::lock_guard lock(mutex);
  static bool closesAtExit = false;  // a forked child inherits the handler
  if (loop == nullptr || loop->pid_ != ::getpid()) {
    loop = new NetworkLoop(loop);  // never destroyed: the exit handler and late users need it
    if (!closesAtExit) std::atexit([] { get().close(std::chrono::seconds(1)); });
    closesAtExit = true;
  }
  return *loop;
}
std::size_t NetworkLoop::liveTransfers() { return gLiveTransfers.load(); }

NetworkLoop::NetworkLoop(NetworkLoop* parents) : pid_(::getpid()), parents_(parents) {
  initCurlOnce();
  multi_ = curl::Multi::create();
  if (!multi_.valid()) closed_ = true;
}

bool NetworkLoop::add(std::unique_ptr<Transfer> transfer) {
  {
    const std::lock_guard lock(mutex_);
    if (closed_) return false;
    if (!running_) {
      try {
        std::thread([this] {
          log::nameThisThread("rl-net");
          run();
        }).detach();
      } catch (const std::system_error&) {
        return false;
      }
      running_ = true;
    }
    gLiveTransfers.fetch_add(1);
    commands_.push_back({Command::Add, transfer->shared(), std::move(transfer)});
    multi_.wakeup();
  }
  return true;
}

void NetworkLoop::remove(std::shared_ptr<Shared> shared) {
  post({Command::Remove, std::move(shared), nullptr});
}

void NetworkLoop::unpause(std::shared_ptr<Shared> shared) {
  post({Command::Unpause, std::move(shared), nullptr});
}

void NetworkLoop::close(std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  if (closed_) return;
  closed_ = true;
  if (running_) {
    multi_.wakeup();
    // The thread closes the handle on its way out.
    idle_.wait_for(lock, wait, [&] { return !running_; });
  } else {
    multi_.reset();
  }
}

void NetworkLoop::post(Command command) {
  {
    const std::lock_guard lock(mutex_);
    // No transfer to act on; or the thread is ending them all, and closes the handle unlocked.
    if (!running_ || closed_) return;
    commands_.push_back(std::move(command));
    multi_.wakeup();
  }
}

std::size_t NetworkLoop::apply(Command& command) {
  thread_.check();
  Shared* key = command.shared.get();
  switch (command.kind) {
    case Command::Add:
      // A stream cancelled before its transfer started never connects.
      if (!key->cancelled.load() && command.transfer->start(multi_)) {
        transfers_.emplace(key, std::move(command.transfer));
        return 0;
      }
      command.transfer.reset();
      return 1;
    case Command::Remove: return transfers_.erase(key);
    case Command::Unpause:
      if (const auto it = transfers_.find(key); it != transfers_.end()) it->second->resume();
      return 0;
  }
  return 0;
}

std::size_t NetworkLoop::concludeFinished() {
  std::size_t ended = 0;
  while (const CURLMsg* message = multi_.nextMessage()) {
    if (message->msg != CURLMSG_DONE) continue;
    CURL* const easy = message->easy_handle;
    const CURLcode result = message->data.result;
    const auto it = std::find_if(transfers_.begin(), transfers_.end(),
                                 [&](const auto& entry) { return entry.second->easy() == easy; });
    if (it == transfers_.end()) continue;
    it->second->conclude(result);
    transfers_.erase(it);  // the connection goes back to the multi handle's cache
    ++ended;
  }
  return ended;
}

std::size_t NetworkLoop::dropOverdue(std::chrono::steady_clock::time_point now,
                                     std::chrono::steady_clock::time_point& wake) {
  std::size_t ended = 0;
  for (auto it = transfers_.begin(); it != transfers_.end();) {
    Clock::time_point deadline;
    if (it->second->overdue(now, deadline)) {
      it = transfers_.erase(it);
      ++ended;
    } else {
      wake = std::min(wake, deadline);
      ++it;
    }
  }
  return ended;
}

void NetworkLoop::run() {
  std::size_t ended = 0;  // transfers ended, not yet taken off gLiveTransfers
  for (;;) {
    std::vector<Command> commands;
    bool closing = false;
    {
      const std::lock_guard lock(mutex_);
      std::swap(commands, commands_);
      closing = closed_;
    }
    if (closing) break;
    for (Command& command : commands) ended += apply(command);
    commands.clear();

    int running = 0;
    if (!multi_.perform(running)) break;
    ended += concludeFinished();
    const auto now = Clock::now();
    auto wake = now + std::chrono::seconds(60);
    ended += dropOverdue(now, wake);
    if (transfers_.empty()) {
      std::unique_lock lock(mutex_);
      if (commands_.empty() && !closed_) {
        // Nothing to do: the thread ends; the next add() starts another on the same handle.
        thread_.release();
        running_ = false;
        lock.unlock();
        gLiveTransfers.fetch_sub(ended);  // the last act: 0 now means no thread of ours runs
        return;
      }
      continue;
    }
    gLiveTransfers.fetch_sub(std::exchange(ended, 0));  // others remain: not 0
    // Returns early for curl's own timers, socket activity and curl_multi_wakeup.
    const auto waitMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count() + 1;
    if (!multi_.poll(static_cast<int>(std::min<long long>(waitMs, 60000)))) break;
  }
  shutDown(ended);
}

void NetworkLoop::shutDown(std::size_t ended) {
  // Closing (or curl broke): every stream ends, every connection closes.
  for (auto& [shared, transfer] : transfers_) {
    shared->cancelled.store(true);
    shared->finish(StreamState::Cancelled, StreamError::None, {});
  }
  ended += transfers_.size();
  transfers_.clear();
  std::vector<Command> rest;
  {
    const std::lock_guard lock(mutex_);
    closed_ = true;
    std::swap(rest, commands_);
  }
  for (Command& command : rest) {
    if (command.kind != Command::Add) continue;
    command.shared->finish(StreamState::Failed, StreamError::Transfer, "the network is shut down");
    ++ended;
  }
  rest.clear();
  multi_.reset();  // nobody wakes it once closed_ is set
  {
    const std::lock_guard lock(mutex_);
    thread_.release();
    running_ = false;
  }
  idle_.notify_all();
  gLiveTransfers.fetch_sub(ended);
}

}  // namespace radiolist::net::detail
