#include "playback/engine/source.h"

#include <utility>

#include "playback/engine/icy_title.h"
#include "playback/engine/tag_block.h"
#include "playback/net/icy_block.h"

// The source's tags and its news: what it shows of the connection in hand and the title heard,
// and what it tells the channels on it.

namespace radiolist::audio {

std::shared_ptr<const net::ResponseHead> Source::head() const {
  const std::lock_guard lock(mutex_);
  if (current_ && confirmed_) {
    if (auto head = current_->head()) return head;
  }
  return lastHead_;
}

std::optional<std::string> Source::meta() const {
  if (const auto heard = shift_.heardBehind()) {
    const auto title = songs_.titleAt(*heard);
    if (!title || title->meta.empty()) return std::nullopt;
    return title->meta;
  }
  return liveMeta();
}

std::optional<SongTitle> Source::title() const {
  if (const auto heard = shift_.heardBehind()) {
    const auto title = songs_.titleAt(*heard);
    if (!title || title->title.text.empty()) return std::nullopt;
    return title->title;
  }
  return liveTitle();
}

std::optional<std::string> Source::liveMeta() const {
  const std::lock_guard lock(mutex_);
  if (inbandTitle_) return net::icyBlockFor(inbandTitle_->text);
  if (current_ && confirmed_) {
    if (auto meta = current_->latestMeta()) return meta;
  }
  return lastMeta_;
}

std::optional<SongTitle> Source::liveTitle() const {
  const std::lock_guard lock(mutex_);
  if (inbandTitle_) return inbandTitle_;
  if (current_ && confirmed_) {
    if (auto meta = current_->latestMeta()) return icyTitleLocked(*meta);
  }
  return lastTitle_;
}

const std::optional<SongTitle>& Source::icyTitleLocked(const std::string& block) const {
  // Asked for every packet and every poll of the window, the block changes once a song.
  if (block != icyBlock_) {
    icyBlock_ = block;
    icyTitle_ = icyTitle(block);
  }
  return icyTitle_;
}

void Source::setCurrent(std::shared_ptr<net::HttpStream> stream) {
  const std::lock_guard lock(mutex_);
  if (current_ && confirmed_) {
    if (auto head = current_->head()) lastHead_ = std::move(head);
    if (auto meta = current_->latestMeta()) {
      lastTitle_ = icyTitleLocked(*meta);
      lastMeta_ = std::move(meta);
    }
  }
  // A title found inside the old connection's audio is the last one known, until the new
  // connection brings one of either kind.
  if (inbandTitle_) {
    lastMeta_ = net::icyBlockFor(inbandTitle_->text);
    lastTitle_ = std::move(inbandTitle_);
  }
  inbandTitle_.reset();
  current_ = std::move(stream);
  confirmed_ = false;
  listenForBlocksLocked();
}

void Source::listenForBlocksLocked() {
  // A block's title is told from the network thread the moment it arrives, not when the audio
  // before it has been decoded (which may be seconds later).
  if (current_) current_->setMetaListener([news = news_] { news->tell(ChannelNews::kTitle); });
}

void Source::confirmCurrent() {
  {
    const std::lock_guard lock(mutex_);
    confirmed_ = true;
  }
  news_->tell(ChannelNews::kTitle | ChannelNews::kStation);
}

void Source::setTitle(SongTitle title) {
  {
    const std::lock_guard lock(mutex_);
    inbandTitle_ = std::move(title);
  }
  news_->tell(ChannelNews::kTitle);
}

ChannelNews::Now Source::readNews(unsigned what) const {
  ChannelNews::Now now;
  if ((what & ChannelNews::kTitle) != 0) now.title = title();
  if ((what & ChannelNews::kStation) != 0) {
    if (const auto shown = head()) now.station = stationName(shown->lines);
  }
  if ((what & ChannelNews::kShift) != 0) now.shift = shift_.state();
  return now;
}

void Source::tellAfterPacket() {
  if (auto failure = songs_.takeFailure()) news_->saveEnded(std::move(*failure));
  // Behind live, what is heard moves on by itself (the replay passes title marks), and the
  // delay grows while paused: both are read again with each packet received.
  const bool behind = shift_.heardBehind().has_value();
  unsigned what = ChannelNews::kShift;
  if (behind || toldBehind_) what |= ChannelNews::kTitle;
  news_->tell(what);
  toldBehind_ = behind;
}

}  // namespace radiolist::audio
