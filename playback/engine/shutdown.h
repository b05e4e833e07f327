#pragma once
// Beyond the nine calls of the process-wide library behind bass.h: a hint, a volume, the title,
// and its end.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "playback/bass.h"
#include "playback/playback_controls.h"
#include "playback/song_save.h"
#include "playback/shift_state.h"
#include "playback/song_title.h"

namespace radiolist::audio {

// Stops every stream of the library and joins their threads; no connection is made after it
// returns, and later calls of the nine functions create nothing. Call it once the caller is
// done with the library (the program: after its event loop), before static destructors run.
void shutdownLibrary();

// `url` (NUL-terminated UTF-16) is about to be created: it starts connecting and decoding now,
// silent, for a creation within a few seconds to take over (Engine::prepare). Never waits.
void prepareAddress(const char16_t* url);

// `url` came from a public directory: every connection of it from now on goes to public hosts
// only (Engine::holdToPublic). Never waits.
void holdToPublic(std::string url);

// The network came back or the machine woke up: every playing source that waits to connect
// again, or whose connection has stalled, connects now (Source::retryNow). The library calls it
// itself on the kernel's network news; the program calls it when the machine resumes.
void retryNow();

// Starts saving the song on air into `directory` (Engine::saveSong). May wait for the disk: call
// it from a thread of its own, not the window's.
SongSave saveSong(const std::string& directory);

// Whether `url` answers now with audio (PlaybackControls::StreamPlays, Engine::streamPlays).
// Blocks for the network, about 8 s at most: call it from a worker's thread, never the window's.
bool streamPlays(const std::string& url, bool publicOnly);

// The library's events (PlaybackControls): the wake, called on a library thread when events
// wait, and everything waiting (Engine::setEventWake, takeEvents).
void setEventWake(std::function<void()> wake);
std::vector<PlaybackEvent> takeEvents();

// The title on air of a stream handle's stream, nullopt while its station has said none or the
// handle plays nothing (Engine::title). Takes the engine's lock briefly, as the tags do.
std::optional<SongTitle> channelTitle(DWORD handle);

// Pausing a stream handle's stream while it goes on receiving, moving in what it kept (a
// microsecond of its clock; INT64_MAX or anything past live goes live), and where it stands
// (Engine::pause, seek, shift). False or nothing for a handle that plays nothing. Never wait.
bool channelPause(DWORD handle, bool paused);
bool channelSeek(DWORD handle, std::int64_t us);
std::optional<ShiftState> channelShift(DWORD handle);

// The file where the streams found in station pages are remembered (PageMemory), in place of
// $XDG_STATE_HOME/radiolist/pages.tsv; "" remembers nothing. Any thread.
void setPagesFile(std::string path);

// The volume of everything the library plays, 0 (silent) to 1 (as decoded, the default).
void setMasterVolume(float volume);

// Whether every station is brought to the same loudness (Engine::setLevelLoudness); on by
// default. Any thread, never waits.
void setLevelLoudness(bool on);

// The file where each address's measured loudness is remembered (LoudnessMemory), in place of
// $XDG_STATE_HOME/radiolist/loudness.tsv; "" remembers nothing. Any thread.
void setLoudnessFile(std::string path);

}  // namespace radiolist::audio
