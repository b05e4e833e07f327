#include "playback/engine/source.h"

#include <algorithm>
#include <utility>

extern "C" {
#include <libavformat/avformat.h>
}

#include "playback/engine/log_domains.h"
#include "playback/formats/page_scan.h"
#include "playback/formats/playlist.h"
#include "playback/hls/playlist_guard.h"
#include "playback/log/log.h"
#include "playback/log/thread_name.h"
#include "text/ascii.h"

namespace radiolist::audio {

namespace {
// Enough of a body to tell a playlist from audio.
constexpr std::size_t kSniffBytes = 1024;
// Playlists that point at playlists: a few levels are real, more is a loop.
constexpr int kMaxPlaylistDepth = 3;
// Entries of one playlist tried before giving up on it.
constexpr std::size_t kMaxEntriesTried = 10;
// Requests one connection attempt may make until it plays: its own, the playlists it leads to
// at every level, and HLS variants, keys and segments. A station needs a handful; nested
// playlists of ten entries three levels deep would make 1,111, again at every reconnect.
constexpr int kRequestsPerAttempt = 24;

// Audio a page's candidate must play from one connection before it counts as the page's
// stream: an advertisement or a jingle is over by then.
constexpr std::int64_t kLiveBeforeAdoptedMs = 15'000;
constexpr std::int64_t kMaxPacketMs = 500;

// A response that says how long it is is a file, not a live stream.
bool hasContentLength(const net::ResponseHead* head) {
  if (head == nullptr) return false;
  return std::any_of(head->lines.begin() + (head->lines.empty() ? 0 : 1), head->lines.end(),
                     [](const std::string& line) {
                       return text::startsWithIgnoringCase(line, "content-length:");
                     });
}
}  // namespace

Source::Source(std::string url, std::shared_ptr<net::HttpStream> first, StreamOpener open,
               RetryPolicy policy, std::shared_ptr<PageMemory> pages, LevelOptions level,
               EventQueue* events)
    : url_(std::move(url)),
      open_(std::move(open)),
      policy_(policy),
      pages_(std::move(pages)),
      level_(std::move(level)),
      current_(std::move(first)),
      news_(
          std::make_shared<ChannelNews>(events, [this](unsigned what) { return readNews(what); })) {
  const std::lock_guard lock(mutex_);
  listenForBlocksLocked();
}

Source::~Source() {
  news_->close();  // a metadata listener on the network thread reads this source no more
  decoder_.request_stop();
  {
    const std::lock_guard lock(mutex_);
    if (current_) current_->cancel();  // wakes a read() the decoder waits in
  }
  shift_.stop();  // before the leveller it may be using goes
}

void Source::startDecoder() {
  decoder_ = std::jthread([this](std::stop_token stop) {
    log::nameThisThread("rl-decode");
    run(stop);
    // Closed: the replay's thread, which would otherwise wait on for packets, ends too.
    if (closed_.load(std::memory_order_acquire)) shift_.stop();
    reconnecting_.store(false, std::memory_order_release);
    finished_.store(true, std::memory_order_release);
    news_->activity();
  });
}

void Source::close() {
  closed_.store(true, std::memory_order_release);
  decoder_.request_stop();
  const std::lock_guard lock(mutex_);
  if (current_) current_->cancel();  // wakes a read() the decoder waits in
}

void Source::keepAlive(bool on) {
  {
    const std::lock_guard lock(mutex_);
    keepAlive_ = on;
  }
  wake_.notify_all();
}

bool Source::pauseBeforeRetry(std::chrono::steady_clock::time_point due,
                              const std::stop_token& stop) {
  std::unique_lock lock(mutex_);
  wake_.wait_until(lock, stop, due, [&] { return !keepAlive_ || retryNow_; });
  retryNow_ = false;
  schedule_.connecting();
  return keepAlive_ && !stop.stop_requested();
}

void Source::retryNow() {
  std::shared_ptr<net::HttpStream> stalled;
  {
    const std::lock_guard lock(mutex_);
    if (!keepAlive_) return;
    const auto now = std::chrono::steady_clock::now();
    if (schedule_.newsWhileWaiting(now)) {
      retryNow_ = true;
    } else if (current_) {
      const net::StreamStats stats = current_->stats();
      const auto state = current_->state();
      const bool moving =
          state == net::StreamState::Connecting || state == net::StreamState::Streaming;
      const Family family = voice_.family.load(std::memory_order_acquire);
      const bool reconnecting = reconnecting_.load(std::memory_order_acquire);
      const bool sounding = !reconnecting && (family == Family::General || family == Family::Aac);
      // A first connection that never sounded is left alone: cancelled, it would end the source
      // (an address that never played is not tried again).
      if (moving && !stats.paused && now - stats.lastProgress >= kStalledAfter &&
          (reconnecting || sounding) && schedule_.newsWhileStalled(sounding))
        stalled = current_;
    }
    if (!retryNow_ && !stalled) return;
  }
  log::write(audio::kEngineLog, url_, ": the network is back, connecting again now");
  wake_.notify_all();
  if (stalled) stalled->cancel();
}

void Source::startLeveller() {
  // Read here, off the window's thread: a station played before starts at its gain.
  const auto remembered = level_.memory ? level_.memory->loudnessFor(url_) : std::nullopt;
  if (remembered) log::write(audio::kEngineLog, url_, ": remembered loudness ", *remembered);
  const std::lock_guard guard(levelGuard_);
  leveller_ = std::make_unique<Leveller>(remembered);
  shift_.setLeveller(leveller_.get(), &levelGuard_);
}

void Source::run(const std::stop_token& stop) {
  if (level_.on != nullptr) startLeveller();
  std::shared_ptr<net::HttpStream> stream;
  {
    const std::lock_guard lock(mutex_);
    stream = current_;
  }
  if (!stream) {
    if (pages_) {
      if (auto remembered = pages_->streamFor(url_)) {
        // The address is asked again first: a captive portal's page, or a site that now serves
        // its stream itself, must not stay hidden behind what it once named.
        log::write(audio::kEngineLog, url_, ": a page that named ", *remembered,
                   "; asking the address first");
        rememberedStream_ = std::move(*remembered);
      }
    }
    stream = openFirst();
    if (!stream) return;
    setCurrent(stream);
  }
  bool everPlayed = false;
  bool rejoin = false;
  while (!stop.stop_requested()) {
    const auto began = std::chrono::steady_clock::now();
    requestsLeft_ = kRequestsPerAttempt - 1;  // the attempt's own connection is one
    const bool toAddress = pageStream_.empty();
    entriesGone_.reset();
    bool played = play(stream, stop, rejoin);
    if (!played) played = playFallbacks(stop, rejoin);
    if (stop.stop_requested()) return;
    everPlayed = everPlayed || played;
    judgeGone(played, toAddress ? stream.get() : nullptr);
    stream = reconnect(played, everPlayed, std::chrono::steady_clock::now() - began, stop);
    if (!stream) return;
    rejoin = true;
  }
}

void Source::judgeGone(bool played, const net::HttpStream* own) {
  const net::StreamStats ownEnd = own != nullptr ? own->stats() : net::StreamStats{};
  const auto gone =
      goneWatch_.attemptEnded({.played = played,
                               .own = own != nullptr ? &ownEnd : nullptr,
                               .entries = entriesGone_ ? entriesGone_->verdict() : std::nullopt});
  if (!gone) return;
  static constexpr const char* kWhy[] = {"not found", "no such host",
                                         "connections in a row without audio"};
  log::write(audio::kEngineLog, url_, ": looks gone for good (", kWhy[static_cast<int>(*gone)],
             ")");
  news_->gone(*gone);
}

std::shared_ptr<net::HttpStream> Source::reconnect(bool played, bool everPlayed,
                                                   std::chrono::steady_clock::duration lasted,
                                                   const std::stop_token& stop) {
  net::StreamStats ended;
  {
    const std::lock_guard lock(mutex_);
    if (current_) ended = current_->stats();
  }
  const Retry retry = retryAfter(ended, everPlayed);
  if (retry == Retry::GiveUp) {
    log::write(audio::kEngineLog, url_, ": not connecting again (",
               everPlayed ? "the way it ended" : "it never played", ")");
    if (!everPlayed) {
      Family undecided = Family::Undecided;
      voice_.family.compare_exchange_strong(undecided, Family::Unplayable,
                                            std::memory_order_acq_rel);
    }
    return nullptr;
  }
  reconnecting_.store(true, std::memory_order_release);
  news_->activity();
  const auto now = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point due;
  {
    const std::lock_guard lock(mutex_);
    if (!keepAlive_) return nullptr;
    due = schedule_.ended(now, {.retry = retry,
                                .serverAnswered = ended.error == net::StreamError::HttpStatus,
                                .played = played,
                                .lasted = lasted,
                                .noName = ended.error == net::StreamError::Connect &&
                                          ended.connectStep == net::ConnectStep::NameLookup});
  }
  log::write(audio::kEngineLog, url_, ": connecting again in ",
             std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count(), " ms");
  if (!pauseBeforeRetry(due, stop)) return nullptr;
  auto stream = openFirst();
  if (!stream) return nullptr;
  connections_.fetch_add(1, std::memory_order_acq_rel);
  setCurrent(stream);
  return stream;
}

bool Source::play(const std::shared_ptr<net::HttpStream>& stream, const std::stop_token& stop,
                  bool rejoin, int depth) {
  Feed feed(*stream, stop);
  feed.peek(kSniffBytes);
  const auto head = stream->head();
  const std::string contentType = head ? head->contentType : std::string();
  const std::string base = head && !head->effectiveUrl.empty() ? head->effectiveUrl : url_;
  const auto first = feed.ahead();
  const std::string_view firstText(reinterpret_cast<const char*>(first.data()), first.size());
  if (reach_ == net::Reach::PublicOnly && head && net::isOffLimitsToPublic(head->primaryIp)) {
    log::warning(audio::kEngineLog, url_, ": a page on the internet led to ", base, " at ",
                 head->primaryIp, ", an address of this machine's own network: not used");
    return false;
  }

  DecodeHooks hooks;
  switch (formats::classifyBody(contentType, firstText)) {
    case formats::BodyKind::Playlist: return playPlaylist(feed, base, stop, rejoin, depth);
    case formats::BodyKind::Hls: {
      // The demuxer gets the playlist only as guardPlaylist() leaves it (capped, one variant).
      if (feed.peek(hls::kMaxPlaylistBytes + 1) > hls::kMaxPlaylistBytes) return false;
      const auto bytes = feed.ahead();
      const auto kept = hls::guardPlaylist(
          std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), base.size());
      if (!kept) return false;
      feed.replaceRest({reinterpret_cast<const std::uint8_t*>(kept->data()), kept->size()});
      hooks.hlsUrl = base;
      hooks.openRequest = [this](const std::string& url, std::optional<net::ByteRange> range) {
        return openCounted(url, range);
      };
      break;
    }
    case formats::BodyKind::Media:
      if (formats::looksLikePage(contentType, firstText))
        return playPage(feed, head.get(), base, stop, rejoin, depth);
      if (!candidate_.empty() && hasContentLength(head.get())) {
        log::write(audio::kEngineLog, url_, ": ", base,
                   " says its length: a file, not the station; the next candidate");
        return false;
      }
      break;
  }
  confirmCurrent();
  hooks.fadeIn = rejoin;
  int requestsBeforeAudio = requestsLeft_;
  liveHooks(hooks, stop, requestsBeforeAudio);
  const DecodeSummary summary = decodeConnection(feed, contentType, voice_, stop, hooks);
  rememberLoudness(true);
  if (summary.framesOut > 0 && !candidate_.empty() && !candidateProven_ && !stop.stop_requested() &&
      stream->state() == net::StreamState::Ended) {
    // A page's candidate whose body ended before it counted as live: a file (an advertisement,
    // a jingle), not the station. The candidates go on, with what was left of the requests.
    log::write(audio::kEngineLog, url_, ": ", base, " ended after ", liveMs_,
               " ms: a file, not the station; the next candidate");
    requestsLeft_ = requestsBeforeAudio;
    return false;
  }
  return summary.framesOut > 0;
}

void Source::liveHooks(DecodeHooks& hooks, const std::stop_token& stop, int& requestsBeforeAudio) {
  hooks.onTitle = [this](SongTitle title) { setTitle(std::move(title)); };
  liveMs_ = 0;
  hooks.onPacket = [this, &stop](const AVPacket& packet, const AVStream& audio) {
    if (!candidate_.empty() && packet.duration > 0 && audio.time_base.num > 0 &&
        audio.time_base.den > 0) {
      // A packet is a fraction of a second: one that claims more does not make a file live.
      liveMs_ += std::min<std::int64_t>(
          av_rescale_q(packet.duration, audio.time_base, AVRational{1, 1000}), kMaxPacketMs);
      if (liveMs_ >= kLiveBeforeAdoptedMs) pageStreamPlays();
    }
    songs_.titleIs(liveTitle().value_or(SongTitle{}), liveMeta().value_or(std::string()));
    // A song is saved while it sounds: a channel change or a stop ends the file.
    if (!voice_.audibleAt(std::chrono::steady_clock::now().time_since_epoch().count()))
      songs_.stopSaving();
    const DecodeHooks::Route route = shift_.livePacket(songs_.push(packet, audio), stop);
    rememberLoudness(false);
    tellAfterPacket();
    return route;
  };
  hooks.prime = [this] { return shift_.livePrime(); };
  hooks.afterPacket = [this](std::size_t frames, bool whole) { shift_.liveDone(frames, whole); };
  hooks.divert = &shift_.divert();
  hooks.level = leveller_.get();
  hooks.levelOn = level_.on;
  hooks.levelGuard = &levelGuard_;
  hooks.onAudio = [this, &requestsBeforeAudio] {
    requestsBeforeAudio = requestsLeft_;
    requestsLeft_ = -1;  // a stream that plays makes the requests it needs
    reconnecting_.store(false, std::memory_order_release);
    goneWatch_.audio();
    news_->notGone();
    news_->activity();
    if (!inPage_ && !rememberedStream_.empty()) {
      // The address itself plays now: what its page once named is of the past.
      log::write(audio::kEngineLog, url_, ": plays by itself now; forgetting ", rememberedStream_);
      rememberedStream_.clear();
      if (pages_) pages_->forget(url_);
    }
  };
}

StreamFigures Source::figures() const {
  StreamFigures out;
  out.songBytes = songs_.bytes();
  out.receivedUs = songs_.liveUs();
  const std::lock_guard lock(mutex_);
  if (current_) out.bodyBytes = current_->stats().bodyBytes;
  return out;
}

void Source::rememberLoudness(bool always) {
  if (!leveller_ || !level_.memory) return;
  std::optional<double> measured;
  {
    // The replay may be levelling meanwhile; the file is written without the guard.
    const std::lock_guard guard(levelGuard_);
    if (always ? !leveller_->measured() : !leveller_->takeSaveDue()) return;
    measured = leveller_->integrated();
  }
  if (measured) level_.memory->remember(url_, *measured);
}

bool Source::playPlaylist(Feed& feed, const std::string& base, const std::stop_token& stop,
                          bool rejoin, int depth) {
  if (depth >= kMaxPlaylistDepth) return false;
  feed.peek(formats::kMaxPlaylistBytes);  // the whole body: a playlist ends
  const auto bytes = feed.ahead();
  const std::string_view body(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  const std::vector<std::string> entries = formats::playlistEntries(body, base, kMaxEntriesTried);
  // The address's own answer: whether it leads anywhere is judged by its entries (GoneWatch).
  if (depth == 0 && !inPage_) entriesGone_.emplace();
  PlaylistEntriesGone ignored;
  PlaylistEntriesGone& judged = depth == 0 && !inPage_ ? *entriesGone_ : ignored;
  for (const std::string& url : entries) {
    if (stop.stop_requested()) return false;
    if (offLimits(url)) {
      judged.leadsSomewhere();
      continue;
    }
    std::shared_ptr<net::HttpStream> entry = openCounted(url, std::nullopt);
    if (!entry) {
      judged.leadsSomewhere();
      return false;
    }
    setCurrent(entry);
    if (play(entry, stop, rejoin, depth + 1)) return true;
    judged.tried(entry->stats());
  }
  return false;
}

std::shared_ptr<net::HttpStream> Source::openFirst() {
  // The stream a page named keeps the page's reach for the whole attempt: its playlist entries,
  // redirects and HLS requests are held to it too (should it fail, the page is read again and
  // judged again).
  reach_ = pageStream_.empty() ? net::Reach::Anywhere : pageReach_;
  return open_(pageStream_.empty() ? url_ : pageStream_, std::nullopt, reach_);
}

std::shared_ptr<net::HttpStream> Source::openCounted(const std::string& url,
                                                     std::optional<net::ByteRange> range) {
  if (requestsLeft_ == 0) return nullptr;
  if (offLimits(url)) return nullptr;
  if (requestsLeft_ > 0) --requestsLeft_;
  return open_(url, range, reach_);
}

}  // namespace radiolist::audio
