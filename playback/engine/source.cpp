#include "playback/engine/source.h"

namespace radiolist::audio {

Source::Source(std::string url, std::shared_ptr<net::HttpStream> first, StreamOpener open,
               RetryPolicy policy)
    : url_(std::move(url)), open_(std::move(open)), policy_(policy), current_(std::move(first)) {}

Source::~Source() {
  decoder_.request_stop();
  const std::lock_guard lock(mutex_);
  if (current_) current_->cancel();  // wakes a read() the decoder waits in
}

void Source::startDecoder() {
  decoder_ = std::jthread([this](std::stop_token stop) {
    run(stop);
    reconnecting_.store(false, std::memory_order_release);
    finished_.store(true, std::memory_order_release);
  });
}

std::shared_ptr<const net::ResponseHead> Source::head() const {
  const std::lock_guard lock(mutex_);
  if (current_) {
    if (auto head = current_->head()) return head;
  }
  return lastHead_;
}

std::optional<std::string> Source::meta() const {
  const std::lock_guard lock(mutex_);
  if (inbandTitle_) return inbandTitle_;
  if (current_) {
    if (auto meta = current_->latestMeta()) return meta;
  }
  return lastMeta_;
}

void Source::keepAlive(bool on) {
  {
    const std::lock_guard lock(mutex_);
    keepAlive_ = on;
  }
  wake_.notify_all();
}

void Source::setCurrent(std::shared_ptr<net::HttpStream> stream) {
  const std::lock_guard lock(mutex_);
  if (current_) {
    if (auto head = current_->head()) lastHead_ = std::move(head);
    if (auto meta = current_->latestMeta()) lastMeta_ = std::move(meta);
  }
  // A title found inside the old connection's audio is the last one known, until the new
  // connection brings one of either kind.
  if (inbandTitle_) lastMeta_ = std::move(inbandTitle_);
  inbandTitle_.reset();
  current_ = std::move(stream);
}

void Source::setTitle(std::string title) {
  const std::lock_guard lock(mutex_);
  inbandTitle_ = std::move(title);
}

bool Source::pauseBeforeRetry(std::chrono::milliseconds pause, const std::stop_token& stop) {
  std::unique_lock lock(mutex_);
  const bool released = wake_.wait_for(lock, stop, pause, [&] { return !keepAlive_; });
  return !released && !stop.stop_requested();
}

void Source::run(const std::stop_token& stop) {
  std::shared_ptr<net::HttpStream> stream;
  {
    const std::lock_guard lock(mutex_);
    stream = current_;
  }
  Backoff backoff(policy_.firstPause, policy_.longestPause);
  bool everPlayed = false;
  bool rejoin = false;
  while (!stop.stop_requested()) {
    const auto began = std::chrono::steady_clock::now();
    const bool played = play(stream, stop, rejoin);
    if (stop.stop_requested()) return;
    if (played) {
      everPlayed = true;
      if (std::chrono::steady_clock::now() - began >= policy_.playedLongEnough) backoff.reset();
    }
    if (!everPlayed) {
      // An address that never played is not worth trying again: it is wrong, or not a stream.
      Family undecided = Family::Undecided;
      voice_.family.compare_exchange_strong(undecided, Family::Unplayable,
                                            std::memory_order_acq_rel);
      return;
    }
    reconnecting_.store(true, std::memory_order_release);
    {
      const std::lock_guard lock(mutex_);
      if (!keepAlive_) return;
    }
    if (!pauseBeforeRetry(backoff.next(), stop)) return;
    stream = open_(url_);
    if (!stream) return;
    connections_.fetch_add(1, std::memory_order_acq_rel);
    setCurrent(stream);
    rejoin = true;
  }
}

bool Source::play(const std::shared_ptr<net::HttpStream>& stream, const std::stop_token& stop,
                  bool rejoin) {
  Feed feed(*stream, stop);
  // The content type is known once the head has arrived, which is before the first body byte.
  feed.peek(1);
  const auto head = stream->head();
  DecodeHooks hooks;
  hooks.fadeIn = rejoin;
  hooks.onTitle = [this](std::string title) { setTitle(std::move(title)); };
  hooks.onAudio = [this] { reconnecting_.store(false, std::memory_order_release); };
  const DecodeSummary summary =
      decodeConnection(feed, head ? head->contentType : std::string(), voice_, stop, hooks);
  return summary.framesOut > 0;
}

}  // namespace radiolist::audio
