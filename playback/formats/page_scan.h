#pragma once
// A station's web page where a stream address should be: the addresses in it that may be the
// station's stream, best first. Users copy the address in the browser's bar, not the stream's.
// Pure C++: bytes in, addresses out; nothing of the page is run, linear in the page and safe on
// any bytes.
//
// The engine calls looksLikePage() on a response that classifyBody() takes for Media; for a
// page it reads at most kMaxPageBytes, and tries the first few of pageCandidates() in turn.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace radiolist::formats {

// The caller reads at most this much of a page.
inline constexpr std::size_t kMaxPageBytes = 2 * 1024 * 1024;
// No station page names more streams than this; the rest are left out.
inline constexpr std::size_t kMaxPageCandidates = 32;

// True when a response is a web page (HTML or XHTML) rather than audio or a playlist: its first
// bytes (a byte-order mark and blanks aside) open markup, and its type says HTML or its first
// bytes hold an element only pages have.
[[nodiscard]] bool looksLikePage(std::string_view contentType, std::string_view firstBytes);

// The stream candidates of a page, as absolute http/https addresses (relative ones resolved
// against the page's <base href>, else `pageUrl`), without repeats, at most
// kMaxPageCandidates. First those with a sign of a live stream (a playlist, a mount-like path,
// ";stream", a streaming port or host, a link whose text, class, id, title or label names
// listen/live/stream/radio/on air/слушать/эфир, a data-* attribute or a script setting so named),
// then the rest (plain audio files: an advertisement or a jingle as often as a stream); within
// each, in this order, each group in document order:
// 1. the sources of <audio> and <source> elements (not of <video> or <picture>) and og:audio;
// 2. links (<a href>) and data-* attributes naming a playlist or an audio file or stream;
// 3. absolute addresses that look like a stream in scripts and in data-* values (JSON config).
// Addresses that are plainly not streams (images, style sheets, scripts, pages, advertisement
// and analytics hosts) never come out. Addresses on a loopback, link-local or private host
// (judged by the literal host) come out only with `allowLocal`.
[[nodiscard]] std::vector<std::string> pageCandidates(std::string_view page,
                                                      std::string_view pageUrl, bool allowLocal);

// The host of an absolute http(s) address, brackets of an IPv6 literal removed; "" when none.
[[nodiscard]] std::string_view urlHost(std::string_view url);

// True for a host that is this machine or on its own network: "localhost" and *.localhost,
// mDNS *.local, and IP literals in the loopback, private, shared (carrier NAT), link-local,
// unspecified and IPv6 unique-local ranges (IPv4 also in the short and numeric forms resolvers
// accept, and mapped into IPv6). Any other name is not judged here: it tells nothing until
// resolved.
[[nodiscard]] bool isLocalHost(std::string_view host);

}  // namespace radiolist::formats
