// Any page at any address: the scan never crashes, stays bounded, and every candidate is an
// http(s) address that resolves to itself and, on a public page, is on no local host.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "playback/formats/page_scan.h"
#include "playback/formats/playlist.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace radiolist::formats;
  if (size == 0) return 0;
  const bool allowLocal = (data[0] & 1) != 0;
  const std::string_view base =
      (data[0] & 2) != 0 ? "http://192.168.0.2:8000/p/" : "https://r.example/a/b?c";
  const std::string_view page(reinterpret_cast<const char*>(data) + 1, size - 1);
  (void)looksLikePage("text/html", page);
  const auto urls = pageCandidates(page, base, allowLocal);
  if (urls.size() > kMaxPageCandidates) std::abort();
  for (const auto& u : urls) {
    if (!u.starts_with("http://") && !u.starts_with("https://")) std::abort();
    if (resolveUrl(base, u) != u) std::abort();
    if (!allowLocal && isLocalHost(urlHost(u))) std::abort();
  }
  return 0;
}
