#pragma once
// A stand-in for the audio library that records every call the window makes, in order, and
// answers tag requests from a table the test fills.

#include <atomic>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "playback/audio_library.h"

class RecordingAudio final : public radiolist::AudioLibrary {
 public:
  // Calls as text: "Free", "Init", "Start", "Create G:<url>", "Create A:<url>",
  // "Play <stream>", "Stop <stream>", where <stream> is "G:<url>" / "A:<url>" for a handle
  // that a creation returned and the number otherwise (0 for none).
  std::vector<std::string> calls;
  // Tag data per (handle, type); a missing entry answers nullptr. Values hold their own NULs.
  std::map<std::pair<DWORD, DWORD>, std::string> tags;
  // Addresses the window hinted at (PrepareURL), in order; kept apart from `calls`.
  std::vector<std::string> hints;
  // What ChannelIsActive answers per handle (0 when missing).
  std::map<DWORD, DWORD> active;
  // What SaveSong answers (from any thread: set it before), how often it was asked, and the
  // failures TakeSongSaveFailure hands out in turn.
  radiolist::SongSave saveAnswer;
  std::atomic<int> saves{0};
  std::deque<radiolist::SongSave> saveFailures;
  // SetLevelLoudness's arguments, in order.
  std::vector<bool> levelLoudness;
  // What ChannelGetTitle answers per handle (nullopt when missing).
  std::map<DWORD, radiolist::SongTitle> titles;
  // What ChannelGetShift answers per handle (nullopt when missing); ChannelPause and ChannelSeek
  // are recorded in `calls` as "Pause <stream> on|off" and "Seek <stream> <us>|live".
  std::map<DWORD, radiolist::ShiftState> shifts;

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
  radiolist::SongSave SaveSong(const std::string& directory) override;
  std::optional<radiolist::SongSave> TakeSongSaveFailure() override;
  std::optional<radiolist::SongTitle> ChannelGetTitle(DWORD handle) override;
  void SetLevelLoudness(bool on) override { levelLoudness.push_back(on); }
  BOOL ChannelPause(DWORD handle, bool paused) override;
  BOOL ChannelSeek(DWORD handle, std::int64_t positionUs) override;
  std::optional<radiolist::ShiftState> ChannelGetShift(DWORD handle) override;

 private:
  HSTREAM create(const char* kind, const char16_t* url);
  HSTREAM next_ = 100;
  std::map<DWORD, std::string> names_;
};
