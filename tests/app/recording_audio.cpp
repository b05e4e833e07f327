#include "tests/app/recording_audio.h"

#include <QString>

std::string RecordingAudio::name(DWORD handle) const {
  const auto found = names_.find(handle);
  return found != names_.end() ? found->second : std::to_string(handle);
}

BOOL RecordingAudio::Free() {
  calls.emplace_back("Free");
  return 1;
}

BOOL RecordingAudio::Init(int device, DWORD freq, DWORD flags) {
  calls.emplace_back("Init");
  return device == -1 && freq == 44100 && flags == 0x80000000u;
}

BOOL RecordingAudio::Start() {
  calls.emplace_back("Start");
  return 1;
}

HSTREAM RecordingAudio::create(const char* kind, const char16_t* url) {
  const std::string name = std::string(kind) + QString::fromUtf16(url).toStdString();
  calls.push_back("Create " + name);
  names_[++next_] = name;
  return next_;
}

void RecordingAudio::PrepareURL(const char16_t* url) {
  hints.push_back(QString::fromUtf16(url).toStdString());
}

HSTREAM RecordingAudio::StreamCreateURL(const char16_t* url, DWORD, DWORD flags) {
  return flags == BASS_UNICODE ? create("G:", url) : 0;
}

HSTREAM RecordingAudio::AacStreamCreateURL(const char16_t* url, DWORD, DWORD flags) {
  return flags == BASS_UNICODE ? create("A:", url) : 0;
}

DWORD RecordingAudio::ChannelIsActive(DWORD handle) {
  const auto found = active.find(handle);
  return found != active.end() ? found->second : BASS_ACTIVE_STOPPED;
}

BOOL RecordingAudio::ChannelPlay(DWORD handle, BOOL restart) {
  calls.push_back((restart ? "Play " : "Play(no restart) ") + name(handle));
  return 1;
}

BOOL RecordingAudio::ChannelStop(DWORD handle) {
  calls.push_back("Stop " + name(handle));
  return 1;
}

const char* RecordingAudio::ChannelGetTags(DWORD handle, DWORD type) {
  const auto found = tags.find({handle, type});
  return found != tags.end() ? found->second.c_str() : nullptr;
}

void RecordingControls::post(radiolist::PlaybackEvent event) {
  std::unique_lock lock(mutex_);
  events_.push_back(std::move(event));
  const bool first = events_.size() == 1;
  lock.unlock();
  if (first && wake_) wake_();
}

bool RecordingControls::StreamPlays(const std::string& url, bool /*publicOnly*/) {
  playsAsked.fetch_add(1);
  return playing.contains(url);
}

radiolist::SongSave RecordingControls::SaveSong(const std::string& /*directory*/) {
  ++saves;
  return saveAnswer;
}

void RecordingControls::HoldToPublicHosts(const std::string& url) {
  audio_.calls.push_back("PublicOnly " + url);
}

BOOL RecordingControls::ChannelPause(DWORD handle, bool paused) {
  audio_.calls.push_back("Pause " + audio_.name(handle) + (paused ? " on" : " off"));
  return shifts.contains(handle) ? 1 : 0;
}

BOOL RecordingControls::ChannelSeek(DWORD handle, std::int64_t positionUs) {
  audio_.calls.push_back("Seek " + audio_.name(handle) + " " +
                         (positionUs == kLive ? std::string("live") : std::to_string(positionUs)));
  return shifts.contains(handle) ? 1 : 0;
}

std::optional<radiolist::ShiftState> RecordingControls::ChannelGetShift(DWORD handle) {
  const auto found = shifts.find(handle);
  if (found == shifts.end()) return std::nullopt;
  return found->second;
}
