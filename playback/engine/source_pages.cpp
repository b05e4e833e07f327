// A source's station pages: the stream a page names, found among its candidates, remembered and
// read again when it no longer plays (see source.h).
#include <algorithm>
#include <utility>

#include "playback/engine/log_domains.h"
#include "playback/engine/source.h"
#include "playback/formats/page_scan.h"
#include "playback/log/log.h"

namespace radiolist::audio {

namespace {
// Candidates of a page tried before giving up on it: the good ones come first.
constexpr std::size_t kPageCandidatesTried = 6;
}  // namespace

bool Source::playFallbacks(const std::stop_token& stop, bool rejoin) {
  bool played = false;
  if (!pageStream_.empty() && !stop.stop_requested()) {
    // The page's stream no longer plays: the page again, for the stream it names now.
    log::write(audio::kEngineLog, url_, ": its stream ", pageStream_,
               " did not play; reading the page again");
    pageStream_.clear();
    reach_ = net::Reach::Anywhere;  // the user's own address
    if (auto page = openCounted(url_, std::nullopt)) {
      connections_.fetch_add(1, std::memory_order_acq_rel);
      setCurrent(page);
      played = play(page, stop, rejoin);
    }
  }
  if (!played && !rememberedStream_.empty() && !stop.stop_requested()) {
    // The address gave no page to judge (it is down, or answered nothing playable): the
    // stream it named before, judged by the address's literal host alone.
    const std::string remembered = std::exchange(rememberedStream_, {});
    log::write(audio::kEngineLog, url_, ": no page now; trying the stream it named, ", remembered);
    reach_ = formats::isLocalHost(formats::urlHost(url_)) ? net::Reach::Anywhere
                                                          : net::Reach::PublicOnly;
    candidate_ = remembered;
    candidateProven_ = true;
    if (auto entry = openCounted(remembered, std::nullopt)) {
      connections_.fetch_add(1, std::memory_order_acq_rel);
      setCurrent(entry);
      played = play(entry, stop, rejoin, 1);
    }
    candidate_.clear();
    candidateProven_ = false;
  }
  return played;
}

bool Source::playPage(Feed& feed, const net::ResponseHead* head, const std::string& base,
                      const std::stop_token& stop, bool rejoin, int depth) {
  if (inPage_) {
    log::write(audio::kEngineLog, base, ": a page found in a page is not followed");
    return false;
  }
  feed.peek(formats::kMaxPageBytes);
  const auto bytes = feed.ahead();
  const std::string_view page(reinterpret_cast<const char*>(bytes.data()),
                              std::min(bytes.size(), formats::kMaxPageBytes));
  const std::string_view host = formats::urlHost(base);
  const bool local = formats::isLocalHost(host) || net::isOffLimitsToPublic(host) ||
                     (head != nullptr && (formats::isLocalHost(head->primaryIp) ||
                                          net::isOffLimitsToPublic(head->primaryIp)));
  std::vector<std::string> candidates = formats::pageCandidates(page, base, local);
  feed.discard();  // the page's 2 MiB are not kept while its stream plays
  log::write(audio::kEngineLog, base, ": a web page, ", candidates.size(), " stream candidates");
  const bool provenFirst = !rememberedStream_.empty();
  if (provenFirst) {
    // Still a page: the stream it led to before comes first, judged as the page is now.
    std::vector<std::string> ordered{std::exchange(rememberedStream_, {})};
    for (std::string& c : candidates) {
      if (c != ordered.front()) ordered.push_back(std::move(c));
    }
    candidates = std::move(ordered);
  }
  inPage_ = true;
  const net::Reach outer = reach_;
  if (!local) reach_ = net::Reach::PublicOnly;
  bool played = false;
  for (std::size_t i = 0; i < candidates.size() && i < kPageCandidatesTried && !played; ++i) {
    if (stop.stop_requested()) break;
    if (offLimits(candidates[i])) continue;
    std::shared_ptr<net::HttpStream> entry = openCounted(candidates[i], std::nullopt);
    if (!entry) break;
    setCurrent(entry);
    candidate_ = candidates[i];
    // It played live before: a drop early in its connection is a station's hiccup, not a file.
    candidateProven_ = provenFirst && i == 0;
    played = play(entry, stop, rejoin, depth + 1);
  }
  candidateProven_ = false;
  inPage_ = false;
  reach_ = outer;
  candidate_.clear();
  return played;
}

void Source::pageStreamPlays() {
  log::write(audio::kEngineLog, url_, ": a page; its stream is ", candidate_, " (", liveMs_,
             " ms of audio from one connection)");
  pageStream_ = std::move(candidate_);
  pageReach_ = reach_;
  candidate_.clear();
  if (pages_) pages_->remember(url_, pageStream_);
}

bool Source::offLimits(const std::string& url) const {
  if (reach_ != net::Reach::PublicOnly) return false;
  const std::string_view host = formats::urlHost(url);
  if (!formats::isLocalHost(host) && !net::isOffLimitsToPublic(host)) return false;
  log::warning(audio::kEngineLog, url_, ": a page on the internet led to ", url,
               ", on this machine or its own network: not requested");
  return true;
}

}  // namespace radiolist::audio
