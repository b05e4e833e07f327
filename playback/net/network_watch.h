#pragma once
// Tells when the network may have come back: a link that is up and running, a new address or a
// new route, as the kernel reports them on a netlink socket. A stream that died with the
// network can then be made again at once instead of after its pause. The same news (as the
// throttle lets it through) takes the snapshot of this machine's interface networks again
// (address_reach.h), before the callback runs.

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <thread>

namespace radiolist::net {

// Whether a batch of rtnetlink messages (as one recv() returns them) holds such news. Pure;
// takes any bytes.
[[nodiscard]] bool networkCameBack(std::span<const std::byte> messages);

// Gathers news so that a network that keeps changing (an address that comes and goes, a flapping
// link) cannot make every stream connect again at each change: the first news after a quiet
// spell acts at once, and any further news within `window` of an action becomes one more action
// at the end of that window. Pure: the caller passes the time.
class NewsThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  explicit NewsThrottle(std::chrono::milliseconds window) : window_(window) {}
  // News came at `now`: true when it acts now.
  bool news(Clock::time_point now);
  // When gathered news is to act; nothing when none waits.
  [[nodiscard]] std::optional<Clock::time_point> due() const;
  // True when gathered news acts at `now` (it is due).
  bool tick(Clock::time_point now);

 private:
  std::chrono::milliseconds window_;
  std::optional<Clock::time_point> acted_;  // the latest action
  bool gathered_ = false;                   // news since then waits for the window's end
};

class NetworkWatch {
 public:
  static constexpr std::chrono::milliseconds kNewsWindow{2000};

  // Starts watching on a thread of its own; `onReturn` runs there, for news as NewsThrottle
  // (kNewsWindow) lets it through. Where netlink cannot be opened the watch does nothing.
  explicit NetworkWatch(std::function<void()> onReturn);
  ~NetworkWatch();  // stops and joins the thread
  NetworkWatch(const NetworkWatch&) = delete;
  NetworkWatch& operator=(const NetworkWatch&) = delete;

  [[nodiscard]] bool watching() const { return socket_ >= 0; }

 private:
  void run();

  std::function<void()> onReturn_;
  int socket_ = -1;
  int stop_ = -1;  // an eventfd that ends run()
  std::thread thread_;
};

}  // namespace radiolist::net
