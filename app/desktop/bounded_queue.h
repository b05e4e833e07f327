#pragma once
// A first-in first-out queue that holds at most a fixed number of items: a producer that runs
// ahead of its consumer loses its newest items instead of growing the queue without end. Not
// thread-safe: the media controls use it on the event loop's thread only.

#include <cstddef>
#include <deque>
#include <optional>
#include <utility>

namespace radiolist {

template <typename T>
class BoundedQueue {
 public:
  explicit BoundedQueue(std::size_t capacity) : capacity_(capacity) {}

  // False, with `item` dropped, when `capacity` items already wait.
  bool push(T item) {
    if (items_.size() >= capacity_) return false;
    items_.push_back(std::move(item));
    return true;
  }
  // The oldest item, nullopt when none waits.
  std::optional<T> pop() {
    if (items_.empty()) return std::nullopt;
    T item = std::move(items_.front());
    items_.pop_front();
    return item;
  }
  [[nodiscard]] bool empty() const { return items_.empty(); }
  [[nodiscard]] std::size_t size() const { return items_.size(); }

 private:
  std::size_t capacity_;
  std::deque<T> items_;
};

}  // namespace radiolist
