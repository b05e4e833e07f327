#pragma once
// Stand-ins for the audio library: the window's nine calls (RecordingAudio) and the player
// core's controls (RecordingControls), which record every call in order into one list, answer
// from tables the test fills, and post the events the test makes.

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "playback/audio_library.h"
#include "playback/playback_controls.h"

class RecordingAudio final : public radiolist::AudioLibrary {
 public:
  // Calls as text: "Free", "Init", "Start", "Create G:<url>", "Create A:<url>",
  // "Play <stream>", "Stop <stream>", where <stream> is "G:<url>" / "A:<url>" for a handle
  // that a creation returned and the number otherwise (0 for none); and the controls' calls.
  std::vector<std::string> calls;
  // Tag data per (handle, type); a missing entry answers nullptr. Values hold their own NULs.
  std::map<std::pair<DWORD, DWORD>, std::string> tags;
  // Addresses the window hinted at (PrepareURL), in order; kept apart from `calls`.
  std::vector<std::string> hints;
  // What ChannelIsActive answers per handle (0 when missing).
  std::map<DWORD, DWORD> active;
  [[nodiscard]] std::string name(DWORD handle) const;
  void clear() {
    calls.clear();
    hints.clear();
  }

  BOOL Free() override;
  BOOL Init(int device, DWORD freq, DWORD flags) override;
  BOOL Start() override;
  HSTREAM StreamCreateURL(const char16_t* url, DWORD offset, DWORD flags) override;
  HSTREAM AacStreamCreateURL(const char16_t* url, DWORD offset, DWORD flags) override;
  DWORD ChannelIsActive(DWORD handle) override;
  BOOL ChannelPlay(DWORD handle, BOOL restart) override;
  BOOL ChannelStop(DWORD handle) override;
  const char* ChannelGetTags(DWORD handle, DWORD type) override;
  void PrepareURL(const char16_t* url) override;

 private:
  HSTREAM create(const char* kind, const char16_t* url);
  HSTREAM next_ = 100;
  std::map<DWORD, std::string> names_;
};

class RecordingControls final : public radiolist::PlaybackControls {
 public:
  // Records into `audio`'s calls, naming streams as it does.
  explicit RecordingControls(RecordingAudio& audio) : audio_(audio) {}

  // What SaveSong answers (from any thread: set it before) and how often it was asked.
  radiolist::SongSave saveAnswer;
  std::atomic<int> saves{0};
  // SetLevelLoudness's arguments, in order.
  std::vector<bool> levelLoudness;
  // What ChannelGetShift answers per handle (nullopt when missing); ChannelPause and ChannelSeek
  // are recorded as "Pause <stream> on|off" and "Seek <stream> <us>|live".
  std::map<DWORD, radiolist::ShiftState> shifts;
  // The addresses StreamPlays says play; how often it was asked.
  std::set<std::string> playing;
  std::atomic<int> playsAsked{0};

  // Queues `event` as the library does from its threads (any thread): the wake comes, outside the
  // queue's lock, when the queue was empty.
  void post(radiolist::PlaybackEvent event);

  void SetEventWake(std::function<void()> wake) override { wake_ = std::move(wake); }
  std::vector<radiolist::PlaybackEvent> TakeEvents() override {
    const std::lock_guard lock(mutex_);
    return std::exchange(events_, {});
  }
  BOOL ChannelPause(DWORD handle, bool paused) override;
  BOOL ChannelSeek(DWORD handle, std::int64_t positionUs) override;
  std::optional<radiolist::ShiftState> ChannelGetShift(DWORD handle) override;
  void SetVolume(float /*volume*/) override {}
  void RetryNow() override {}
  // Recorded as "PublicOnly <url>".
  void HoldToPublicHosts(const std::string& url) override;
  void SetLevelLoudness(bool on) override { levelLoudness.push_back(on); }
  radiolist::SongSave SaveSong(const std::string& directory) override;
  // Answers from `playing` (any thread: set it before); each question is counted.
  bool StreamPlays(const std::string& url, bool publicOnly) override;

 private:
  RecordingAudio& audio_;
  std::function<void()> wake_;  // set before the first post
  std::mutex mutex_;
  std::vector<radiolist::PlaybackEvent> events_;
};
