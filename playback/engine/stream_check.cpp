#include "playback/engine/stream_check.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "playback/engine/decoder.h"
#include "playback/engine/log_domains.h"
#include "playback/formats/page_scan.h"
#include "playback/formats/playlist.h"
#include "playback/log/log.h"
#include "playback/net/address_reach.h"

namespace radiolist::audio {

namespace {

using Clock = std::chrono::steady_clock;

// Enough of a body to tell audio from a playlist or a page.
constexpr std::size_t kSniffBytes = 1024;
// Room for the first decoded packet or two; nobody plays them.
constexpr std::size_t kRingFrames = 1 << 13;

// The check's connection as the decoder reads it: at most `bytes` of its body, and nothing after
// `deadline`. Past either it is cancelled, which ends every wait on it.
class BoundedStream final : public net::HttpStream {
 public:
  BoundedStream(std::shared_ptr<net::HttpStream> inner, std::size_t bytes,
                Clock::time_point deadline)
      : inner_(std::move(inner)), left_(bytes), deadline_(deadline) {}

  std::size_t read(std::span<std::byte> dst, std::chrono::milliseconds timeout) override {
    const auto now = Clock::now();
    if (left_ == 0 || now >= deadline_) {
      inner_->cancel();
      return 0;
    }
    timeout = std::min(timeout, std::chrono::ceil<std::chrono::milliseconds>(deadline_ - now));
    const std::size_t n = inner_->read(dst.first(std::min(dst.size(), left_)), timeout);
    left_ -= n;
    return n;
  }
  [[nodiscard]] std::shared_ptr<const net::ResponseHead> head() const override {
    return inner_->head();
  }
  [[nodiscard]] std::optional<std::string> latestMeta() const override {
    return inner_->latestMeta();
  }
  void setMetaListener(std::function<void()> listener) override {
    inner_->setMetaListener(std::move(listener));
  }
  [[nodiscard]] net::StreamState state() const override { return inner_->state(); }
  void dropBuffered() override { inner_->dropBuffered(); }
  void cancel() override { inner_->cancel(); }
  [[nodiscard]] net::StreamStats stats() const override { return inner_->stats(); }

  [[nodiscard]] bool usedUp() const { return left_ == 0; }

 private:
  const std::shared_ptr<net::HttpStream> inner_;
  std::size_t left_;  // the reading thread's alone
  const Clock::time_point deadline_;
};

// Why a connection brought no head, in a few words.
std::string failure(const net::StreamStats& stats, bool late, net::Reach reach) {
  using net::StreamError;
  switch (stats.error) {
    case StreamError::None:
    case StreamError::HeadTimeout:
    case StreamError::Stalled: return late ? "no answer in time" : "no answer";
    case StreamError::HttpStatus: return "HTTP " + std::to_string(stats.httpStatus);
    case StreamError::Connect:
      switch (stats.connectStep) {
        case net::ConnectStep::NameLookup: return "its host name does not resolve";
        case net::ConnectStep::Tls: return "TLS failed: " + stats.errorText;
        case net::ConnectStep::TimedOut: return "connecting timed out";
        default:
          return reach == net::Reach::PublicOnly
                     ? "connection refused (or to this machine's own network)"
                     : "connection refused";
      }
    case StreamError::BadUrl: return "not a stream address";
    case StreamError::TooManyRedirects: return "too many redirects";
    case StreamError::HeadTooLarge: return "a head too large";
    case StreamError::Transfer: return "transfer failed: " + stats.errorText;
  }
  return "failed";
}

// What the body is, its first bytes in `feed`, once a 2xx head came; true when audio decoded.
// `why` says what was found.
bool bodyPlays(Feed& feed, const BoundedStream& stream, const net::ResponseHead& head,
               std::stop_source& done, std::string& why) {
  const auto first = feed.ahead();
  const std::string_view firstText(reinterpret_cast<const char*>(first.data()), first.size());
  switch (formats::classifyBody(head.contentType, firstText)) {
    case formats::BodyKind::Playlist: why = "a playlist, not audio"; return false;
    case formats::BodyKind::Hls: why = "an HLS playlist, not followed here"; return false;
    case formats::BodyKind::Media: break;
  }
  if (formats::looksLikePage(head.contentType, firstText)) {
    why = "a web page";
    return false;
  }
  Voice voice(kRingFrames);
  DecodeHooks hooks;
  hooks.onAudio = [&done] { done.request_stop(); };  // one packet's sound is enough
  const DecodeSummary summary =
      decodeConnection(feed, head.contentType, voice, done.get_token(), hooks);
  if (summary.framesOut > 0) {
    why = summary.container + ", " + summary.codec;
    return true;
  }
  if (summary.container.empty())
    why = "no audio container recognised";
  else
    why = "no sound decoded from " + summary.container;
  if (stream.usedUp()) why += " in the bytes allowed";
  return false;
}

}  // namespace

bool streamPlays(const StreamOpener& open, const std::string& url, net::Reach reach,
                 const std::stop_token& stop, StreamCheckLimits limits) {
  const auto deadline = Clock::now() + limits.deadline;
  std::string why;
  bool plays = false;
  const std::string_view host = formats::urlHost(url);
  if (reach == net::Reach::PublicOnly &&
      (formats::isLocalHost(host) || net::isOffLimitsToPublic(host))) {
    why = "an address of this machine or its own network";
  } else if (auto inner = open(url, std::nullopt, reach); !inner) {
    why = "no connection may be made now";
  } else {
    BoundedStream stream(inner, limits.maxBytes, deadline);
    std::stop_source done;
    const std::stop_callback cutShort(stop, [&done] { done.request_stop(); });
    Feed feed(stream, done.get_token());
    feed.peek(kSniffBytes);  // the head comes before the body's first byte, or the failure
    if (const auto head = stream.head())
      plays = bodyPlays(feed, stream, *head, done, why);
    else
      why = failure(inner->stats(), Clock::now() >= deadline, reach);
    inner->cancel();
  }
  log::write(audio::kEngineLog, "checked ", url, ": ", plays ? "plays (" : "does not play (", why,
             ")");
  return plays;
}

}  // namespace radiolist::audio
