#pragma once
// Maps the 32-bit handles the program holds to the library's objects. Pure; not thread-safe (the
// engine's lock guards it).
//
// A handle is never given out twice in a process's life (until 2^32 - 1 creations), so a handle
// that was removed, or cleared with the whole table, stays unknown for good.

#include <cstdint>
#include <unordered_map>
#include <utility>

namespace radiolist::audio {

template <typename T>
class HandleTable {
 public:
  // A new handle, never 0.
  std::uint32_t add(T value) {
    do {
      ++last_;
    } while (last_ == 0 || items_.contains(last_));
    items_.emplace(last_, std::move(value));
    return last_;
  }

  // nullptr for 0, unknown and removed handles.
  [[nodiscard]] T* find(std::uint32_t handle) {
    const auto it = items_.find(handle);
    return it == items_.end() ? nullptr : &it->second;
  }

  template <typename F>
  void forEach(F&& f) {
    for (auto& [handle, value] : items_) f(handle, value);
  }

  void clear() { items_.clear(); }
  [[nodiscard]] std::size_t size() const { return items_.size(); }

 private:
  std::unordered_map<std::uint32_t, T> items_;
  std::uint32_t last_ = 0;
};

}  // namespace radiolist::audio
