#pragma once
// The window's view of the audio library: the nine calls of bass.h and the library's further
// ones (a hint, a volume, a retry, song saving) behind one interface, so the window's handlers
// can be run against a recording stand-in in tests. The production binding forwards each call
// unchanged (audio_binding.cpp).

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "playback/bass.h"
#include "playback/shift_state.h"
#include "playback/song_save.h"
#include "playback/song_title.h"

namespace radiolist {

class AudioLibrary {
 public:
  virtual ~AudioLibrary() = default;
  virtual BOOL Free() = 0;
  virtual BOOL Init(int device, DWORD freq, DWORD flags) = 0;
  virtual BOOL Start() = 0;
  // `url` is NUL-terminated UTF-16; the flags carry BASS_UNICODE.
  virtual HSTREAM StreamCreateURL(const char16_t* url, DWORD offset, DWORD flags) = 0;
  virtual HSTREAM AacStreamCreateURL(const char16_t* url, DWORD offset, DWORD flags) = 0;
  virtual DWORD ChannelIsActive(DWORD handle) = 0;
  virtual BOOL ChannelPlay(DWORD handle, BOOL restart) = 0;
  virtual BOOL ChannelStop(DWORD handle) = 0;
  virtual const char* ChannelGetTags(DWORD handle, DWORD tags) = 0;
  // Not one of the nine: the address the window is about to create (NUL-terminated UTF-16), so
  // that the library can start on it early. A stand-in may ignore it.
  virtual void PrepareURL(const char16_t* /*url*/) {}
  // Not one of the nine either: the volume of everything played, 0 to 1 (for a fade).
  virtual void SetVolume(float /*volume*/) {}
  // Not one of the nine either: the machine has just woken up, streams should connect again now.
  virtual void RetryNow() {}
  // Every station at the same loudness (on by default); off plays each as it is sent.
  virtual void SetLevelLoudness(bool /*on*/) {}
  // Nor this: the title on air of the stream, parsed once by the library (artist and title
  // apart; the whole text as sent), nullopt while its station has said none. Cheap: takes the
  // library's lock briefly, as ChannelGetTags does, so the window's thread may poll it.
  virtual std::optional<SongTitle> ChannelGetTitle(DWORD /*handle*/) { return std::nullopt; }
  // Nor these: pausing the stream while it goes on receiving, moving what is heard within the
  // past it kept (`positionUs` on ShiftState's clock; kLive or anything past live goes live), and
  // where the listener stands; nothing for a handle that plays nothing. Never wait.
  static constexpr std::int64_t kLive = std::numeric_limits<std::int64_t>::max();
  virtual BOOL ChannelPause(DWORD /*handle*/, bool /*paused*/) { return 0; }
  virtual BOOL ChannelSeek(DWORD /*handle*/, std::int64_t /*positionUs*/) { return 0; }
  virtual std::optional<ShiftState> ChannelGetShift(DWORD /*handle*/) { return std::nullopt; }
  // Nor this: starts saving the song heard into `directory`, or tells why not. Unlike the others
  // it may wait for the disk: call it from a thread of its own, never the window's.
  virtual SongSave SaveSong(const std::string& /*directory*/) { return {}; }
  // Nor this: a save that ended because its file could not be written, once.
  virtual std::optional<SongSave> TakeSongSaveFailure() { return std::nullopt; }
};

// The real library (defined in audio_binding.cpp, which links the engine).
AudioLibrary& realAudioLibrary();

// Ends the real library at the end of the program: every stream stops before this returns and
// no connection is made afterwards, so nothing of it still runs while the process exits.
void shutdownRealAudioLibrary();

}  // namespace radiolist
