#include "playback/engine/feed.h"

#include <algorithm>
#include <cstring>

namespace radiolist::audio {

namespace {
// Reads from the network in pieces of this size; a whole Ogg page fits in a few.
constexpr std::size_t kReadPiece = 16 * 1024;
}  // namespace

Feed::Feed(net::HttpStream& stream, std::stop_token stop)
    : stream_(stream), stop_(std::move(stop)) {}

bool Feed::pullRaw(std::vector<std::uint8_t>& to, std::size_t size) {
  if (ended_) return false;
  const std::size_t had = to.size();
  to.resize(had + size);
  const net::ReadResult got =
      stream_.readUntil(std::as_writable_bytes(std::span(to.data() + had, size)), stop_);
  to.resize(had + got.bytes);
  if (got.status == net::ReadStatus::Over) ended_ = true;
  return got.bytes > 0;
}

void Feed::replaceRest(std::span<const std::uint8_t> bytes) {
  thread_.check();
  ahead_.assign(bytes.begin(), bytes.end());
  consumed_ = 0;
}

void Feed::discard() {
  thread_.check();
  std::vector<std::uint8_t>().swap(ahead_);
  consumed_ = 0;
  ended_ = true;
  stream_.cancel();
}

void Feed::compact() {
  if (consumed_ > 0 && consumed_ == ahead_.size()) {
    ahead_.clear();
    consumed_ = 0;
  }
}

void Feed::takePages() {
  for (;;) {
    if (held_.empty()) {
      auto page = splitter_->nextPage();
      if (!page) break;
      held_.push_back(std::move(*page));
    }
    if (held_.front().newLink && pagesThisLink_) {
      atBoundary_ = true;
      // Keep splitting, so the new link's title is known as soon as its comments are here.
      while (auto page = splitter_->nextPage()) held_.push_back(std::move(*page));
      break;
    }
    const auto& bytes = held_.front().bytes;
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    ahead_.insert(ahead_.end(), data, data + bytes.size());
    held_.pop_front();
    pagesThisLink_ = true;
  }
  if (auto title = splitter_->takeTitle(); title && onTitle_) onTitle_(std::move(*title));
}

bool Feed::fill(std::size_t size) {
  if (!splitter_) return pullRaw(ahead_, size);
  for (;;) {
    if (atBoundary_) return false;
    const std::size_t had = ahead_.size();
    takePages();
    if (ahead_.size() > had) return true;
    if (atBoundary_) return false;
    raw_.clear();
    if (!pullRaw(raw_, kReadPiece)) return false;
    splitter_->push(std::as_bytes(std::span(raw_)));
  }
}

std::size_t Feed::peek(std::size_t bytes) {
  thread_.check();
  compact();
  while (ahead().size() < bytes) {
    if (!fill(std::max(bytes - ahead().size(), std::size_t{1}))) break;
  }
  return ahead().size();
}

std::size_t Feed::read(std::uint8_t* dst, std::size_t size) {
  thread_.check();
  compact();
  if (ahead().empty() && !fill(std::min(size, kReadPiece))) return 0;
  const std::size_t n = std::min(size, ahead().size());
  std::memcpy(dst, ahead_.data() + consumed_, n);
  consumed_ += n;
  return n;
}

void Feed::splitOggLinks(std::function<void(SongTitle)> onTitle) {
  thread_.check();
  if (splitter_) return;
  splitter_ = std::make_unique<ogg::ChainSplitter>();
  onTitle_ = std::move(onTitle);
  // What was read for probing goes through the splitter too, and comes back as whole pages.
  const auto waiting = ahead();
  splitter_->push(std::as_bytes(waiting));
  ahead_.clear();
  consumed_ = 0;
  takePages();
}

void Feed::nextLink() {
  thread_.check();
  atBoundary_ = false;
  pagesThisLink_ = false;
  if (splitter_) takePages();
}

}  // namespace radiolist::audio
