#pragma once
// The window's view of the audio library: the nine calls of bass.h and the press's hint behind one
// interface, so the window's handlers can be run against a recording stand-in in tests. The
// production binding forwards each call unchanged (audio_binding.cpp). What the program asks
// beyond them goes through the player core to playback_controls.h.

#include "playback/bass.h"

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
};

// The real library (defined in audio_binding.cpp, which links the engine).
AudioLibrary& realAudioLibrary();

// Ends the real library at the end of the program: every stream stops before this returns and
// no connection is made afterwards, so nothing of it still runs while the process exits.
void shutdownRealAudioLibrary();

}  // namespace radiolist
