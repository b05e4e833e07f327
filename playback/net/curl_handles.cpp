#include "playback/net/curl_handles.h"

#include "playback/log/log.h"
#include "playback/net/log_domain.h"

namespace radiolist::net::curl {

bool ok(CURLcode code, std::string_view call) {
  if (code == CURLE_OK) return true;
  log::warning(net::kNetLog, call, " failed: ", curl_easy_strerror(code));
  return false;
}

bool ok(CURLMcode code, std::string_view call) {
  if (code == CURLM_OK) return true;
  log::warning(net::kNetLog, call, " failed: ", curl_multi_strerror(code));
  return false;
}

bool ok(CURLcode code, std::string_view call, CURLoption option) {
  if (code == CURLE_OK) return true;
  if (const curl_easyoption* known = curl_easy_option_by_id(option); known != nullptr) {
    log::warning(net::kNetLog, call, "(CURLOPT_", known->name,
                 ") failed: ", curl_easy_strerror(code));
  } else {
    log::warning(net::kNetLog, call, "(option ", static_cast<int>(option),
                 ") failed: ", curl_easy_strerror(code));
  }
  return false;
}

bool Slist::append(const char* line) {
  curl_slist* const longer = curl_slist_append(list_, line);
  if (longer == nullptr) {
    log::warning(net::kNetLog, "curl_slist_append failed: out of memory");
    return false;
  }
  list_ = longer;
  return true;
}

Easy Easy::create() {
  Easy easy;
  easy.handle_ = curl_easy_init();
  if (!easy.valid()) log::warning(net::kNetLog, "curl_easy_init failed");
  return easy;
}

Multi Multi::create() {
  Multi multi;
  multi.handle_ = curl_multi_init();
  if (!multi.valid()) log::warning(net::kNetLog, "curl_multi_init failed");
  return multi;
}

void Multi::reset() {
  if (handle_ == nullptr) return;
  ok(curl_multi_cleanup(std::exchange(handle_, nullptr)), "curl_multi_cleanup");
}

}  // namespace radiolist::net::curl
