#pragma once
// What the program above the window's nine calls asks of the library (pausing, moving in the
// kept past, saving the song, levelling, the volume, a retry), and what the library tells it as
// it happens: events pushed from the library's threads into one queue, which the program takes
// on its own thread when woken. The window's handlers keep the nine calls (audio_library.h);
// the player core uses this. The production binding forwards to the engine (audio_binding.cpp).

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "playback/bass.h"
#include "playback/shift_state.h"
#include "playback/song_save.h"
#include "playback/song_title.h"

namespace radiolist {

// Why a channel's address looks gone for good (PlaybackEvent::Kind::Gone). Judged by the
// connection to the address itself: a playlist it answers with counts only when every entry
// tried was gone so; the streams a web page names never do.
enum class StreamGone : std::uint8_t {
  NotFound,    // the server answered 404 or 410 to an address that had not played yet (or 410,
               // "gone for good", to one that had: it is not tried again)
  NoSuchHost,  // its host name does not resolve (an address that had not played yet)
  NoAudio,     // it played before, then ten connection attempts in a row brought no audio (it
               // keeps trying; audio starts the count over)
};

// One thing that changed for one channel (a handle a creation returned). A source shared by the
// general and the AAC channel of one address posts one event per channel on it; a source with no
// channel (a hint, a freed one kept warm) posts nothing until a channel is created on it, and
// then posts what it already knows (title, station, shift) for that channel at once.
struct PlaybackEvent {
  enum class Kind : std::uint8_t {
    Title,      // the title on air changed: `title` (nullopt: the station says none any more)
    Station,    // the response head arrived: `station`, its icy-name as received ("" for none)
    Activity,   // the stream began to sound, stalled, ended or failed: ask ChannelIsActive
    Shift,      // paused or resumed, moved, or the whole seconds behind live or canSeek changed
    SaveEnded,  // a save ended because its file could not be written: `save` (handle 0)
    Gone,       // the address looks gone for good (`gone`): told once per channel and reason,
                // a channel created or played while it still looks so too; again after audio
  };
  Kind kind = Kind::Activity;
  DWORD handle = 0;
  std::optional<SongTitle> title;
  std::string station;
  ShiftState shift;
  SongSave save;
  StreamGone gone = StreamGone::NotFound;
};

class PlaybackControls {
 public:
  virtual ~PlaybackControls() = default;

  // The queue: `wake` is called from a library thread (never under a lock of the caller's, and
  // never the output's callback) when the queue goes from empty to not empty; the owner then
  // takes everything waiting with TakeEvents on its own thread. At most one event waits per kind
  // and handle (a newer one replaces it; SaveEnded keeps the last few), so the queue is bounded
  // and a slow taker sees the latest state. Set the wake once, before the first creation.
  virtual void SetEventWake(std::function<void()> wake) = 0;
  [[nodiscard]] virtual std::vector<PlaybackEvent> TakeEvents() = 0;

  // Pausing the stream while it goes on receiving, moving what is heard within the past it kept
  // (`positionUs` on ShiftState's clock; kLive or anything past live goes live), and where the
  // listener stands; nothing for a handle that plays nothing. Never wait.
  static constexpr std::int64_t kLive = std::numeric_limits<std::int64_t>::max();
  virtual BOOL ChannelPause(DWORD handle, bool paused) = 0;
  virtual BOOL ChannelSeek(DWORD handle, std::int64_t positionUs) = 0;
  [[nodiscard]] virtual std::optional<ShiftState> ChannelGetShift(DWORD handle) = 0;
  // The volume of everything played, 0 to 1 (for a fade).
  virtual void SetVolume(float volume) = 0;
  // The machine has just woken up: streams should connect again now.
  virtual void RetryNow() = 0;
  // Every station at the same loudness (on by default); off plays each as it is sent.
  virtual void SetLevelLoudness(bool on) = 0;
  // Starts saving the song heard into `directory`, or tells why not. Unlike the others it may
  // wait for the disk: call it from a thread of its own, never the window's.
  virtual SongSave SaveSong(const std::string& directory) = 0;
  // `url` came from a public directory and is about to be played on the window's path, which
  // knows nothing of where it came from: every connection of it from now on (redirects,
  // playlist entries, reconnections) goes to public hosts only, never to this machine's own
  // networks, as StreamPlays(url, true) does. The last few such addresses are kept. Never waits.
  virtual void HoldToPublicHosts(const std::string& url) = 0;
  // Whether `url` answers now with audio a channel could play (a 2xx head, then body bytes an
  // audio demuxer recognises, of which a packet decodes; a playlist or a page is not followed).
  // `publicOnly`: no connection to this machine's own networks at any hop (an address a public
  // directory gave). Reads 256 KiB at most and waits for the network 8 s at most: call it from a
  // thread of its own, never the window's. Plays nothing; the engine's log says why.
  [[nodiscard]] virtual bool StreamPlays(const std::string& url, bool publicOnly) = 0;
};

// The real library's (defined in audio_binding.cpp, which links the engine).
PlaybackControls& realPlaybackControls();

}  // namespace radiolist
