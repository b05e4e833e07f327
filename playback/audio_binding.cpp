#include "playback/audio_library.h"
#include "playback/playback_controls.h"

#include "playback/engine/shutdown.h"

namespace radiolist {
namespace {

class RealAudioLibrary final : public AudioLibrary {
 public:
  BOOL Free() override { return BASS_Free(); }
  BOOL Init(int device, DWORD freq, DWORD flags) override {
    return BASS_Init(device, freq, flags, nullptr, nullptr);
  }
  BOOL Start() override { return BASS_Start(); }
  HSTREAM StreamCreateURL(const char16_t* url, DWORD offset, DWORD flags) override {
    return BASS_StreamCreateURL(url, offset, flags, nullptr, nullptr);
  }
  HSTREAM AacStreamCreateURL(const char16_t* url, DWORD offset, DWORD flags) override {
    return BASS_AAC_StreamCreateURL(url, offset, flags, nullptr, nullptr);
  }
  DWORD ChannelIsActive(DWORD handle) override { return BASS_ChannelIsActive(handle); }
  BOOL ChannelPlay(DWORD handle, BOOL restart) override {
    return BASS_ChannelPlay(handle, restart);
  }
  BOOL ChannelStop(DWORD handle) override { return BASS_ChannelStop(handle); }
  const char* ChannelGetTags(DWORD handle, DWORD tags) override {
    return BASS_ChannelGetTags(handle, tags);
  }
  void PrepareURL(const char16_t* url) override { audio::prepareAddress(url); }
};

class RealPlaybackControls final : public PlaybackControls {
 public:
  void SetEventWake(std::function<void()> wake) override { audio::setEventWake(std::move(wake)); }
  std::vector<PlaybackEvent> TakeEvents() override { return audio::takeEvents(); }
  BOOL ChannelPause(DWORD handle, bool paused) override {
    return audio::channelPause(handle, paused);
  }
  BOOL ChannelSeek(DWORD handle, std::int64_t positionUs) override {
    return audio::channelSeek(handle, positionUs);
  }
  std::optional<ShiftState> ChannelGetShift(DWORD handle) override {
    return audio::channelShift(handle);
  }
  void SetVolume(float volume) override { audio::setMasterVolume(volume); }
  void RetryNow() override { audio::retryNow(); }
  void HoldToPublicHosts(const std::string& url) override { audio::holdToPublic(url); }
  void SetLevelLoudness(bool on) override { audio::setLevelLoudness(on); }
  SongSave SaveSong(const std::string& directory) override { return audio::saveSong(directory); }
  bool StreamPlays(const std::string& url, bool publicOnly) override {
    return audio::streamPlays(url, publicOnly);
  }
};

}  // namespace

PlaybackControls& realPlaybackControls() {
  static RealPlaybackControls controls;
  return controls;
}

AudioLibrary& realAudioLibrary() {
  static RealAudioLibrary library;
  return library;
}

void shutdownRealAudioLibrary() { audio::shutdownLibrary(); }

}  // namespace radiolist
