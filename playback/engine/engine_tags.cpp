#include "playback/engine/engine.h"

#include "playback/engine/tag_block.h"
#include "text/ascii.h"
#include "text/legacy_text.h"

// What the engine shows of its channels: the tags, the title, and the song saved.

namespace radiolist::audio {

namespace {
// Station names and titles sent in a legacy code page are handed out as UTF-8, which is what
// readers of the tags decode; valid UTF-8 passes unchanged.
std::optional<std::string> readable(std::optional<std::string> meta) {
  if (meta) *meta = text::legacyToUtf8(*meta);
  return meta;
}

std::vector<std::string> readableLines(const std::vector<std::string>& lines) {
  std::vector<std::string> out = lines;
  for (std::string& line : out) {
    const bool icy = line.size() > 4 && (line[0] | 0x20) == 'i' && (line[1] | 0x20) == 'c' &&
                     (line[2] | 0x20) == 'y' && line[3] == '-';
    const auto colon = line.find(':');
    if (!icy || colon == std::string::npos || text::isValidUtf8(line)) continue;
    line = line.substr(0, colon + 1) + text::legacyToUtf8(std::string_view(line).substr(colon + 1));
  }
  return out;
}
}  // namespace

const char* Engine::tags(DWORD handle, DWORD type) {
  caller_.check();
  std::lock_guard lock(mutex_);
  Channel* channel = channels_.find(handle);
  if (channel == nullptr) return nullptr;
  Source& source = *channel->source;
  if (!kindPlays(channel->kind, source.voice().family.load(std::memory_order_acquire)))
    return nullptr;
  const auto head = source.head();
  std::vector<std::string> lines;
  if (head) lines = readableLines(head->lines);
  auto text = tagText(type, head ? &lines : nullptr, readable(source.meta()));
  if (!text) return nullptr;
  tagSlot_ = std::move(*text);
  return tagSlot_.data();
}

std::optional<SongTitle> Engine::title(DWORD handle) {
  caller_.check();
  std::lock_guard lock(mutex_);
  const Channel* channel = channels_.find(handle);
  if (channel == nullptr) return std::nullopt;
  const Source& source = *channel->source;
  if (!kindPlays(channel->kind, source.voice().family.load(std::memory_order_acquire)))
    return std::nullopt;
  return source.title();
}

SongSave Engine::saveSong(const std::string& directory) {
  std::shared_ptr<Source> sounding;
  {
    std::lock_guard lock(mutex_);
    for (const auto& entry : session_) {
      if (entry.source->voice().audible()) sounding = entry.source;
    }
  }
  if (!sounding)
    return {SongSave::Status::NothingToSave, {}, Outcome::about(Outcome::Code::NothingSounds)};
  const auto head = sounding->head();
  return sounding->saveSong(directory, head ? stationName(head->lines) : std::string());
}

void Engine::postActivity(DWORD handle, EventQueue::Batch& batch) {
  PlaybackEvent event;
  event.kind = PlaybackEvent::Kind::Activity;
  event.handle = handle;
  batch.post(std::move(event));
}

}  // namespace radiolist::audio
