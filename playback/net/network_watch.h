#pragma once
// Tells when the network may have come back: a link that is up and running, a new address or a
// new route, as the kernel reports them on a netlink socket. A stream that died with the
// network can then be made again at once instead of after its pause.

#include <cstddef>
#include <functional>
#include <span>
#include <thread>

namespace radiolist::net {

// Whether a batch of rtnetlink messages (as one recv() returns them) holds such news. Pure;
// takes any bytes.
[[nodiscard]] bool networkCameBack(std::span<const std::byte> messages);

class NetworkWatch {
 public:
  // Starts watching on a thread of its own; `onReturn` runs there, once per batch with news.
  // Where netlink cannot be opened the watch does nothing.
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
