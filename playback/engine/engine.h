#pragma once
// The engine behind the library's calls (bass.h and shutdown.h): channels (handles), the sources
// they share, the mixer and the output.
//
// Threads and ownership:
// - The caller's thread (the UI) makes every public call; each takes mutex_ briefly and never
//   waits for the network, a decoder or the output's thread. The guarded state is listed below.
// - Each source runs a network thread (net::HttpStream) and a decoder thread (Source).
// - The output's thread runs the mixer, which reads voices through lock-free slots only.
// - Events (what a channel's title, station, shift or activity became, a save's end) are posted
//   into one queue (EventQueue) by the sources' threads (ChannelNews) and by the calls below
//   (after mutex_ is released), and taken on the caller's thread when it is woken.
// - streamPlays() runs on its caller's thread (a worker's: it waits for the network) and takes
//   no lock of the engine's; shutdown() cuts it short.
// - The janitor thread detaches and destroys sources that are no longer wanted (joining their
//   threads), so that BASS_Free never waits, and closes the connection of a source whose
//   channels have all been stopped for keepWarm (a stopped player receives nothing). It sleeps
//   until a source is handed to it, a warm or stopped source's time runs out, or shutdown().

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "playback/bass.h"
#include "playback/engine/event_queue.h"
#include "playback/engine/family.h"
#include "playback/engine/handle_table.h"
#include "playback/engine/mixer.h"
#include "playback/engine/output.h"
#include "playback/engine/source.h"
#include "playback/log/thread_check.h"
#include "playback/net/http_stream.h"
#include "playback/engine/process_stats.h"
#include "playback/shift_state.h"
#include "playback/song_title.h"

namespace radiolist::audio {

struct EngineDeps {
  // Starts a connection for an address, or part of it (never blocks). Called from the UI thread
  // for a new source and from a source's own thread for its further requests.
  StreamOpener openStream;
  // Opens the output fed by the mixer; nullptr when there is no sound server.
  std::function<std::unique_ptr<Output>(Mixer&)> openOutput;
  // Whether an address can be a stream at all (checked before anything is started).
  std::function<bool(std::string_view)> plausibleUrl;
  // How long a source freed by BASS_Free waits to be taken over by a new creation.
  std::chrono::milliseconds keepWarm{5000};
  // When and how often a source whose connection ended connects again.
  RetryPolicy retry;
  // Where the streams found in station pages are remembered; none remembers nothing. With one,
  // a new source makes its first connection on its own thread (Source), since finding out where
  // it goes reads the disk.
  std::shared_ptr<PageMemory> pages;
  // Where each address's measured loudness is remembered; none remembers nothing.
  std::shared_ptr<LoudnessMemory> loudness;
};

class Engine {
 public:
  // At most this many freed sources wait to be taken over; older ones are closed.
  static constexpr std::size_t kMaxWarmSources = 4;

  explicit Engine(EngineDeps deps);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Never waits for the sound server: a connection it starts finishes in the background, and
  // channels created meanwhile sound once it is up.
  bool init();
  void free();
  bool start();
  DWORD create(std::string_view url, CreationKind kind);
  [[nodiscard]] DWORD isActive(DWORD handle);
  bool play(DWORD handle, bool restart);
  bool stop(DWORD handle);
  // Valid until the next tags() call (or the engine's end).
  const char* tags(DWORD handle, DWORD type);
  // The title on air of the channel's stream (Source::title), where tags() would answer.
  [[nodiscard]] std::optional<SongTitle> title(DWORD handle);
  // Pausing the channel's stream while it goes on receiving, and moving in what it kept
  // (Source::setPaused, seek, goLive); false for no such channel. A stop, or freeing the
  // channels, goes live again. Never wait.
  bool pause(DWORD handle, bool paused);
  bool seek(DWORD handle, std::int64_t us);
  bool goLive(DWORD handle);
  [[nodiscard]] std::optional<ShiftState> shift(DWORD handle);
  // What the channel's source received and keeps (Source::figures). For tests and benches.
  [[nodiscard]] std::optional<StreamFigures> figures(DWORD handle);

  // A hint that `url` is about to be created: its source starts connecting and decoding now,
  // silent, and waits among the warm sources (as one freed a moment ago) for a creation to take
  // it over. A hint nobody takes up is closed after keepWarm. Needs no init(); does nothing for
  // an address already in hand or after shutdown(). Never waits for the network.
  void prepare(std::string_view url);
  // The volume of everything the library plays, 0 to 1 (1 at first): takes effect within an
  // output period. Needs no init().
  void setVolume(float volume) { mixer_.setGain(volume); }
  // Whether every source is brought to the same loudness (on at first): each source's decoder
  // reads it for each block, so it takes effect within one. Any thread.
  void setLevelLoudness(bool on) { levelLoudness_.store(on, std::memory_order_relaxed); }
  // Source::retryNow() for every source of the current channels.
  void retryNow();
  // Starts saving the song on air of the channel that sounds into `directory` (Source::saveSong).
  // Unlike the other calls it may wait for the disk, so it may come from any thread.
  SongSave saveSong(const std::string& directory);

  // Whether `url` answers now with audio (audio::streamPlays, StreamCheckLimits' bounds), held
  // to public addresses when `publicOnly`. Blocks for the network, seconds at most: any thread
  // but the window's. Refused after shutdown(), which cuts short a check under way.
  [[nodiscard]] bool streamPlays(const std::string& url, bool publicOnly);

  // The event queue (PlaybackControls::SetEventWake and TakeEvents). Any thread.
  void setEventWake(std::function<void()> wake) { events_.setWake(std::move(wake)); }
  [[nodiscard]] std::vector<PlaybackEvent> takeEvents() { return events_.take(); }

  // Stops every source and joins its thread, closes the output, and refuses every connection
  // from now on (a source about to connect again, an HLS segment request); later calls find no
  // channel and create none. For the end of the process. Idempotent.
  void shutdown();

  // `url` came from a public directory: from now on every connection of a source of it, at
  // every hop (redirects, playlist entries, pages), goes to public hosts only
  // (net::Reach::PublicOnly); a source of it started before is not taken over. The last
  // kMaxPublicOnly addresses named are kept. Any thread; never waits.
  static constexpr std::size_t kMaxPublicOnly = 32;
  void holdToPublic(std::string url);

  // Sources alive in any state (playing, warm, or waiting for the janitor). For tests and benches.
  [[nodiscard]] std::size_t liveSources();
  // Underruns of the current output (0 without one). For benches.
  [[nodiscard]] std::uint64_t outputUnderruns();
  // The mixer, for tests that render without an output.
  [[nodiscard]] Mixer& mixer() { return mixer_; }

 private:
  enum class ChannelState { Created, Playing, Stopped };
  struct Channel {
    CreationKind kind;
    std::shared_ptr<Source> source;
    ChannelState state = ChannelState::Created;
  };
  // A source of this initialisation, and which creation kinds have a channel on it: a second
  // creation of the same address and kind starts a source of its own.
  struct SessionSource {
    std::shared_ptr<Source> source;
    bool hasGeneral = false;
    bool hasAac = false;
    // Since when none of its channels plays; the janitor closes it after keepWarm of that.
    std::optional<std::chrono::steady_clock::time_point> stoppedSince{};
    bool publicOnly = false;  // started held to public hosts (holdToPublic)
    bool& has(CreationKind kind) { return kind == CreationKind::General ? hasGeneral : hasAac; }
  };
  struct WarmSource {
    std::shared_ptr<Source> source;
    std::chrono::steady_clock::time_point since;
    bool publicOnly = false;
  };

  std::shared_ptr<Source> sourceFor(const std::string& url, CreationKind kind);
  // Starts a new source and adds it to session_ with a channel of `kind` on it.
  std::shared_ptr<Source> startSource(const std::string& url, CreationKind kind);
  // Starts a source's connection and decoder, attached to the mixer; nullptr on failure. Its
  // connections are held to public hosts when `publicOnly`.
  std::shared_ptr<Source> launch(const std::string& url, bool publicOnly);
  // What a source's requests go through: opener_, or, held to public hosts, one that makes every
  // request PublicOnly whatever the source judges of its pages.
  [[nodiscard]] StreamOpener openerFor(bool publicOnly);
  // Needs mutex_: whether `url` is held to public hosts (holdToPublic).
  [[nodiscard]] bool heldToPublic(const std::string& url) const;
  static void want(Source& source, CreationKind kind, bool on);
  // What ChannelIsActive answers for `handle` may have changed.
  static void postActivity(DWORD handle, EventQueue::Batch& batch);
  // Needs mutex_: the source of a channel that plays, nullptr for none.
  Source* playingSource(DWORD handle);
  // Needs mutex_: tells the output whether any channel plays (and is not paused), and notes
  // when the channels of a session source have all stopped.
  void noteWhatPlays();
  void janitorLoop();
  std::shared_ptr<net::HttpStream> open(const std::string& url, std::optional<net::ByteRange> range,
                                        net::Reach reach);

  const EngineDeps deps_;
  const StreamOpener opener_;  // deps_.openStream behind the gate below

  log::ThreadCheck caller_;                // the caller's thread (the UI): the calls it alone makes
  EventQueue events_;                      // before the sources, which post until they are gone
  std::atomic<bool> levelLoudness_{true};  // before the sources, which read it until they end

  std::stop_source checks_;  // streamPlays' checks end at shutdown()
  std::mutex gateMutex_;
  bool gateClosed_ = false;  // guarded by gateMutex_: set by shutdown(), never cleared
  Mixer mixer_;              // before output_ and the sources, which use it until they are gone

  std::mutex mutex_;
  // Guarded by mutex_:
  std::unique_ptr<Output> output_;
  bool initialised_ = false;
  HandleTable<Channel> channels_;
  std::vector<SessionSource> session_;             // sources of this initialisation's channels
  std::deque<WarmSource> warm_;                    // freed, waiting to be taken over
  std::vector<std::shared_ptr<Source>> retiring_;  // for the janitor to close
  std::string tagSlot_;                            // bytes behind the last tags() pointer
  std::deque<std::string> publicOnly_;             // holdToPublic's addresses, oldest first
  bool stopping_ = false;
  bool shutDown_ = false;
  std::condition_variable janitorWake_;

  std::thread janitor_;  // last: starts when everything above exists
};

}  // namespace radiolist::audio
