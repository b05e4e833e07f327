#pragma once
// Owners of curl's easy, multi and header-list handles (move-only), and the one place where the
// result of a curl call is checked: a call that fails is written to stderr as a warning with
// its name, the option it set and curl's own words, and reported to the caller as false.
// Threads: a handle is used by one thread at a time, as curl requires; Multi::wakeup() alone
// may come from any thread while another uses the handle.

#include <curl/curl.h>

#include <string_view>
#include <utility>

namespace radiolist::net::curl {

// True when `code` says the call worked; otherwise warns, naming `call`.
bool ok(CURLcode code, std::string_view call);
bool ok(CURLMcode code, std::string_view call);
bool ok(CURLcode code, std::string_view call, CURLoption option);

// Owns a curl_slist, the header lines an easy handle sends; must outlive the handle's use.
class Slist {
 public:
  Slist() = default;
  ~Slist() { curl_slist_free_all(list_); }
  Slist(Slist&& other) noexcept : list_(std::exchange(other.list_, nullptr)) {}
  Slist& operator=(Slist&& other) noexcept {
    std::swap(list_, other.list_);
    return *this;
  }

  // Adds a copy of `line`; false (and a warning) when curl is out of memory.
  bool append(const char* line);
  [[nodiscard]] curl_slist* get() const { return list_; }

 private:
  curl_slist* list_ = nullptr;
};

class Easy {
 public:
  // A new handle; empty (see valid()) when curl could not make one, which it warns about.
  static Easy create();

  Easy() = default;
  ~Easy() { curl_easy_cleanup(handle_); }
  Easy(Easy&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Easy& operator=(Easy&& other) noexcept {
    std::swap(handle_, other.handle_);
    return *this;
  }

  [[nodiscard]] bool valid() const { return handle_ != nullptr; }
  [[nodiscard]] CURL* get() const { return handle_; }

  template <typename T>
  bool set(CURLoption option, T value) {
    return ok(curl_easy_setopt(handle_, option, value), "curl_easy_setopt", option);
  }
  template <typename T>
  bool info(CURLINFO what, T* out) const {
    return ok(curl_easy_getinfo(handle_, what, out), "curl_easy_getinfo");
  }
  bool pause(int bitmask) { return ok(curl_easy_pause(handle_, bitmask), "curl_easy_pause"); }

 private:
  CURL* handle_ = nullptr;
};

class Multi {
 public:
  // A new handle; empty (see valid()) when curl could not make one, which it warns about.
  static Multi create();

  Multi() = default;
  ~Multi() { reset(); }
  Multi(Multi&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Multi& operator=(Multi&& other) noexcept {
    std::swap(handle_, other.handle_);
    return *this;
  }

  [[nodiscard]] bool valid() const { return handle_ != nullptr; }
  // Closes the handle and every connection it keeps; the easy handles must be out of it.
  void reset();

  // The multi handle drives `easy` until remove(); it does not own it.
  bool add(const Easy& easy) {
    return ok(curl_multi_add_handle(handle_, easy.get()), "curl_multi_add_handle");
  }
  bool remove(const Easy& easy) {
    return ok(curl_multi_remove_handle(handle_, easy.get()), "curl_multi_remove_handle");
  }
  bool perform(int& running) {
    return ok(curl_multi_perform(handle_, &running), "curl_multi_perform");
  }
  bool poll(int timeoutMs) {
    return ok(curl_multi_poll(handle_, nullptr, 0, timeoutMs, nullptr), "curl_multi_poll");
  }
  // Ends a poll() on another thread early. Any thread.
  bool wakeup() { return ok(curl_multi_wakeup(handle_), "curl_multi_wakeup"); }
  // The next message about a transfer, nullptr when there is none.
  CURLMsg* nextMessage() {
    int queued = 0;
    return curl_multi_info_read(handle_, &queued);
  }

 private:
  CURLM* handle_ = nullptr;
};

}  // namespace radiolist::net::curl
