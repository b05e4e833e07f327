#pragma once
// One address's pipeline: its network connection, the decoder thread and the voice the mixer
// reads. The engine's channels share a source (the general and the AAC creation of one address),
// and a source outlives its channels for a while after BASS_Free so that a new creation of the
// same address can take it over.
//
// A source keeps playing: once its address has played, a connection that ends, fails or stalls
// is made again, with pauses between tries chosen by retryAfter(), for as long as the engine
// keeps it alive.
// Each attempt may make a few dozen requests (playlists it leads to, HLS requests) until it
// plays; past that it gives up.
// Meanwhile the tags keep the last values seen.
//
// An address that answers with a web page (a station's site) plays the first stream of the page
// that plays (formats::pageCandidates); a candidate that says its length, or whose body ends
// before 15 s of audio, is a file (an advertisement), and the next one is tried.
// One that played that long from one connection is the page's stream: reconnections go straight
// to it, and with a PageMemory it is remembered for the page. A later start asks the page's
// address first: if it plays by itself now, the remembered stream is forgotten; if it is still a
// page, the remembered stream is tried first; if it answers nothing playable, the remembered
// stream is tried anyway. A page that is not on this machine or its network (judged by its
// literal host and by the address it came from) never leads to a request to a host that is:
// every request of the attempt, down to playlist entries, redirects and HLS requests, and on
// every reconnection to the page's stream, carries net::Reach::PublicOnly; candidates with such
// a literal host are left out, and a connection that turns out to come from such an address (a
// name that resolves there, a redirect) is refused where its socket would open.
//
// Threads: made and started by the engine; the decoder runs on the source's own thread. The
// destructor stops and joins that thread, so it must not run on the UI thread: the engine
// hands finished sources to its janitor thread.
//
// What changes is told to the channels on it (news(), ChannelNews): a title where it arrives (an
// ICY block on the network thread, a title inside the audio on the decoder thread, the replay
// passing a title mark, seen at the next live packet), the station when a connection proves to
// be audio, the shift with each live packet, the activity where a connection sounds or ends,
// and, after a connection attempt, that the address looks gone for good (GoneWatch's rule).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "playback/engine/channel_news.h"
#include "playback/engine/decoder.h"
#include "playback/engine/gone_watch.h"
#include "playback/engine/loudness.h"
#include "playback/engine/mixer.h"
#include "playback/engine/page_memory.h"
#include "playback/engine/process_stats.h"
#include "playback/engine/retry.h"
#include "playback/engine/song_buffer.h"
#include "playback/engine/time_shift.h"
#include "playback/net/http_stream.h"
#include "playback/song_title.h"

namespace radiolist::audio {

// Starts a connection (for part of the resource when `range` is set, to public addresses only
// when `reach` says so); never blocks.
using StreamOpener = std::function<std::shared_ptr<net::HttpStream>(
    const std::string& url, std::optional<net::ByteRange> range, net::Reach reach)>;

// How a source levels its loudness: `on` is read for each decoded block (none: the source
// neither measures nor levels); `memory` keeps each address's measured loudness.
struct LevelOptions {
  const std::atomic<bool>* on = nullptr;
  std::shared_ptr<LoudnessMemory> memory;
};

class Source {
 public:
  // About 1.5 s of output: together with the stream's byte buffer this bounds a source's memory
  // (512 KiB here) whatever the server sends.
  static constexpr std::size_t kRingFrames = 1 << 16;

  // `first` is the connection already started for `url`, or nullptr: the decoder thread then
  // makes it (to the stream `pages` remembers for `url`, else to `url`). `open` makes the later
  // ones.
  Source(std::string url, std::shared_ptr<net::HttpStream> first, StreamOpener open,
         RetryPolicy policy = {}, std::shared_ptr<PageMemory> pages = nullptr,
         LevelOptions level = {}, EventQueue* events = nullptr);
  ~Source();
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;

  void startDecoder();

  [[nodiscard]] const std::string& url() const { return url_; }
  [[nodiscard]] Voice& voice() { return voice_; }
  [[nodiscard]] const Voice& voice() const { return voice_; }

  // The response head and the latest title the tags show: the current connection's once it is
  // known to carry audio and has them, else the last ones seen. meta() is the title as ICY text
  // (the block itself, or one made from a title found inside the audio); title() the same title
  // parsed, nullopt while the station has said none.
  [[nodiscard]] std::shared_ptr<const net::ResponseHead> head() const;
  [[nodiscard]] std::optional<std::string> meta() const;
  [[nodiscard]] std::optional<SongTitle> title() const;
  // Where the channels on it are told what changes: the engine attaches and detaches them.
  [[nodiscard]] ChannelNews& news() { return *news_; }

  // True once the source has stopped for good (never played, not decodable, or it ended while
  // not kept alive).
  [[nodiscard]] bool finished() const { return finished_.load(std::memory_order_acquire); }
  // Ends the source for good without waiting: its connection is cancelled, its decoder and
  // replay threads end (finished() turns true once they have), and it never connects again; what
  // it showed stays. For a source nobody has listened to for a while. Any thread but its own.
  void close();
  [[nodiscard]] bool closed() const { return closed_.load(std::memory_order_acquire); }
  // True from the end of a connection until the next one sounds.
  [[nodiscard]] bool reconnecting() const { return reconnecting_.load(std::memory_order_acquire); }
  // While false, a connection that ends is not made again (a freed source waiting to be taken
  // over). True at first.
  void keepAlive(bool on);
  // The network came back, or the machine woke: a source waiting out a pause before it connects
  // again, or whose connection has brought nothing for kStalledAfter, connects again now, within
  // the limits of RetrySchedule (once per step of its pauses, never after an answer of the
  // server). Any other source carries on. Never waits.
  void retryNow();
  static constexpr std::chrono::milliseconds kStalledAfter{1000};

  // Saves the song heard into `directory` (SongBuffer::save). Any thread; may wait for the disk.
  SongSave saveSong(const std::string& directory, const std::string& station) {
    return songs_.save(directory, station, shift_.heardBehind());
  }
  // Pausing and going back in the kept past (TimeShift). Any thread; never wait. While behind
  // live, meta() and title() tell the title of what is heard.
  void setPaused(bool paused) { shift_.setPaused(paused); }
  void seek(std::int64_t us) { shift_.seek(us); }
  void goLive() { shift_.goLive(); }
  [[nodiscard]] ShiftState shiftState() const { return shift_.state(); }
  // What the song buffer keeps, in bytes of memory. For tests and benches.
  [[nodiscard]] std::size_t songBytes() const { return songs_.bytes(); }
  // What was received and is kept. For tests and benches.
  [[nodiscard]] StreamFigures figures() const;

  // Connections made so far, the first included. For tests and benches.
  [[nodiscard]] std::size_t connections() const {
    return connections_.load(std::memory_order_acquire);
  }

 private:
  void run(const std::stop_token& stop);
  // Makes the leveller, at the loudness remembered for the address.
  void startLeveller();
  // After `stream` did not play: the page's stream's page read again, or the stream a page
  // named on an earlier start, when there is one to try; whether one played.
  bool playFallbacks(const std::stop_token& stop, bool rejoin);
  // After a connection attempt: whether the address now looks gone for good, told if so. `own`
  // is the attempt's own connection when it went to the address itself, else nullptr.
  void judgeGone(bool played, const net::HttpStream* own);
  // After a connection ended: waits out the pause before the next one; the next connection,
  // nullptr when there is to be none.
  std::shared_ptr<net::HttpStream> reconnect(bool played, bool everPlayed,
                                             std::chrono::steady_clock::duration lasted,
                                             const std::stop_token& stop);
  // The hooks of a connection found to be audio (the page's candidate judged, the song buffer,
  // the time shift, the levelling, the news); `requestsBeforeAudio` is what was left of the
  // requests when the audio began.
  void liveHooks(DecodeHooks& hooks, const std::stop_token& stop, int& requestsBeforeAudio);
  // After each live packet: a save's failure and what changed, told.
  void tellAfterPacket();
  // Plays one connection to its end; true when it decoded any audio. A playlist plays its first
  // entry that plays; `depth` counts the playlists that led here.
  bool play(const std::shared_ptr<net::HttpStream>& stream, const std::stop_token& stop,
            bool rejoin, int depth = 0);
  bool playPlaylist(Feed& feed, const std::string& base, const std::stop_token& stop, bool rejoin,
                    int depth);
  // Reads a station's page and plays the first of its candidates that plays.
  bool playPage(Feed& feed, const net::ResponseHead* head, const std::string& base,
                const std::stop_token& stop, bool rejoin, int depth);
  // The candidate being tried plays: it is the page's stream from now on.
  void pageStreamPlays();
  // Keeps the measured loudness for the address: when due (`always` false), or whenever it is
  // settled (a connection's end).
  void rememberLoudness(bool always);
  // A further request of the current attempt (a playlist entry, an HLS playlist or segment);
  // nullptr once the attempt has used up its requests before playing.
  // The attempt's own connection: to the stream a page named, else to the address itself.
  std::shared_ptr<net::HttpStream> openFirst();
  // True (and said so) when the attempt is held to public addresses and `url`'s literal host
  // is not one; names are judged where their sockets open.
  [[nodiscard]] bool offLimits(const std::string& url) const;
  std::shared_ptr<net::HttpStream> openCounted(const std::string& url,
                                               std::optional<net::ByteRange> range);
  // Makes `stream` the connection in hand; the tags go on showing the last station's head and
  // title until confirmCurrent() says it is audio (a playlist's own response never shows).
  void setCurrent(std::shared_ptr<net::HttpStream> stream);
  void confirmCurrent();
  // Needs mutex_: current_ tells its metadata blocks to the news.
  void listenForBlocksLocked();
  void setTitle(SongTitle title);
  // What the news reads (ChannelNews::Reader).
  [[nodiscard]] ChannelNews::Now readNews(unsigned what) const;
  // The live title (as ICY text and parsed), whatever is heard.
  [[nodiscard]] std::optional<std::string> liveMeta() const;
  [[nodiscard]] std::optional<SongTitle> liveTitle() const;
  // The title of an ICY block, parsed when the block differs from the last one asked about.
  // Needs mutex_.
  const std::optional<SongTitle>& icyTitleLocked(const std::string& block) const;
  // Sleeps until `due` unless a stop comes or the source is no longer kept alive (false), or
  // retryNow() cuts it short (true).
  bool pauseBeforeRetry(std::chrono::steady_clock::time_point due, const std::stop_token& stop);

  const std::string url_;
  const StreamOpener open_;
  const RetryPolicy policy_;
  Voice voice_{kRingFrames};
  SongBuffer songs_;
  std::atomic<bool> finished_{false};
  std::atomic<bool> reconnecting_{false};
  std::atomic<std::size_t> connections_{1};
  const std::shared_ptr<PageMemory> pages_;
  const LevelOptions level_;
  TimeShift shift_{songs_, voice_, level_.on};
  std::mutex levelGuard_;  // the live decoder and the replay take turns with the leveller
  // Decoder thread only (and the replay's, under levelGuard_):
  std::unique_ptr<Leveller> leveller_;  // made when the thread starts, from the memory
  int requestsLeft_ = 0;    // requests the current attempt may still make; -1 once it played
  std::string pageStream_;  // the stream url_ (a page) plays, "" while none is known
  net::Reach pageReach_ = net::Reach::Anywhere;  // ... and the reach its page was judged to have
  std::string rememberedStream_;  // what the page named on an earlier start, until tried
  std::string candidate_;         // the page's candidate being tried, until adopted
  bool candidateProven_ = false;  // ... is the stream the page led to on an earlier start
  std::int64_t liveMs_ = 0;       // audio decoded from the current connection (for a candidate)
  bool inPage_ = false;           // a page's candidates are being tried
  bool toldBehind_ = false;       // the last live packet found the listener behind live
  GoneWatch goneWatch_;
  // While the address's own answer is a playlist: what its entries tried said.
  std::optional<PlaylistEntriesGone> entriesGone_;
  // Every request of the current attempt is held to this, from its first connection down to its
  // playlist entries, redirects and HLS requests: PublicOnly for what a public page named.
  net::Reach reach_ = net::Reach::Anywhere;

  mutable std::mutex mutex_;
  // Guarded by mutex_:
  std::shared_ptr<net::HttpStream> current_;
  std::shared_ptr<const net::ResponseHead> lastHead_;
  std::optional<std::string> lastMeta_;
  std::optional<SongTitle> lastTitle_;    // lastMeta_ parsed
  std::optional<SongTitle> inbandTitle_;  // from inside the audio of the current connection
  mutable std::string icyBlock_;          // the ICY block last parsed, and its title
  mutable std::optional<SongTitle> icyTitle_;
  bool confirmed_ = false;  // current_ carries audio (not a playlist)
  bool keepAlive_ = true;
  RetrySchedule schedule_{policy_};
  bool retryNow_ = false;  // retryNow() cut the pause short
  std::condition_variable_any wake_;

  // Shared with the network thread's metadata listeners, which may outlive the source: closed
  // first by the destructor.
  std::shared_ptr<ChannelNews> news_;

  std::atomic<bool> closed_{false};
  std::jthread decoder_;  // last member: stopped and joined first
};

}  // namespace radiolist::audio
