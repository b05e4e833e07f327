#include "playback/net/http_stream.h"

#include <curl/curl.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "playback/log/log.h"
#include "playback/log/timeline.h"
#include "playback/net/byte_ring.h"
#include "playback/net/icy_deinterleaver.h"
#include "playback/net/response_head.h"
#include "playback/net/url_check.h"

namespace radiolist::net {
namespace {

using Clock = std::chrono::steady_clock;

// Transfers handed to the network thread and not yet ended there. The thread takes its ended
// transfers off only as its last act before it goes idle, so that 0 means no network thread runs
// (a process may then fork safely).
std::atomic<std::size_t> gLiveTransfers{0};

void initCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool isTerminal(StreamState s) {
  return s != StreamState::Connecting && s != StreamState::Streaming;
}

const char* nameOf(StreamError error, ConnectStep step) {
  switch (error) {
    case StreamError::None: return "none";
    case StreamError::BadUrl: return "not a stream address";
    case StreamError::Connect:
      switch (step) {
        case ConnectStep::NameLookup: return "name lookup";
        case ConnectStep::Refused: return "connection refused";
        case ConnectStep::Tls: return "TLS";
        case ConnectStep::TimedOut: return "connect timeout";
        case ConnectStep::None: break;
      }
      return "connect";
    case StreamError::HttpStatus: return "status";
    case StreamError::TooManyRedirects: return "too many redirects";
    case StreamError::HeadTooLarge: return "head too large";
    case StreamError::HeadTimeout: return "head timeout";
    case StreamError::Stalled: return "stalled";
    case StreamError::Transfer: return "transfer";
  }
  return "?";
}

// What the handle and the network thread share. The thread holds its own reference, so the
// handle can go away at any time without waiting for it.
struct Shared {
  explicit Shared(StreamOptions o)
      : options(std::move(o)), ring(std::max(options.bufferBytes, kMinBufferBytes)) {}

  const StreamOptions options;
  std::atomic<bool> cancelled{false};

  // Guarded by `mutex`: what the reader and the snapshots see, and the pause hand-shake.
  mutable std::mutex mutex;
  std::condition_variable readable;  // audio arrived, or the state became terminal
  ByteRing ring;
  StreamState state = StreamState::Connecting;
  std::shared_ptr<const ResponseHead> head;
  std::optional<std::string> meta;
  StreamStats stats;
  bool paused = false;  // set by the network thread when the ring was full; cleared by the
                        // reader, who then asks the network thread to unpause

  // The caller then has the network thread remove the transfer.
  void cancel() {
    cancelled.store(true);
    finish(StreamState::Cancelled, StreamError::None, {});
  }

  // Ends the stream in `s` unless it already ended (a cancel wins over what the thread found).
  void finish(StreamState s, StreamError error, std::string text,
              ConnectStep step = ConnectStep::None) {
    int status = 0;
    {
      const std::lock_guard lock(mutex);
      if (isTerminal(state)) return;
      state = s;
      stats.error = error;
      stats.connectStep = step;
      stats.errorText = text;
      status = stats.httpStatus;
    }
    readable.notify_all();
    if (s == StreamState::Ended)
      log::write(log::Domain::Net, options.url, ": the server ended the body");
    if (s == StreamState::Failed) {
      log::write(log::Domain::Net, options.url, ": failed (", nameOf(error, step), ", last status ",
                 status, "): ", text);
    }
  }
};

// One stream's transfer, owned by the network thread; every curl call happens there.
class Transfer {
 public:
  explicit Transfer(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  ~Transfer();

  [[nodiscard]] const std::shared_ptr<Shared>& shared() const { return shared_; }
  [[nodiscard]] CURL* easy() const { return easy_; }
  // Sets the transfer up and adds it to `multi`; false (and the stream Failed) when it cannot.
  bool start(CURLM* multi);
  // Lets a paused transfer go on; curl may hand over the held piece at once.
  void resume();
  // Ends the stream when its head or its next byte is overdue (true); else the time by which
  // one must come.
  bool overdue(Clock::time_point now, Clock::time_point& deadline);
  // The end curl reported for this transfer.
  void conclude(CURLcode code);

 private:
  bool setUp();
  static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* self);
  static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* self);
  std::size_t header(std::string_view line);
  std::size_t body(std::span<const std::byte> data);
  void publishHead();

  std::shared_ptr<Shared> shared_;
  const StreamOptions& options() const { return shared_->options; }

  // The network thread's only.
  CURL* easy_ = nullptr;
  CURLM* multi_ = nullptr;  // not owned; set once the easy handle is in it
  curl_slist* requestHeaders_ = nullptr;
  curl_slist* statusAliases_ = nullptr;
  char errorText_[CURL_ERROR_SIZE] = {};
  HeaderCollector collector_;
  std::optional<IcyDeinterleaver> icy_;  // exists once the final head is in
  std::uint64_t metaSeen_ = 0;
  StreamError callbackError_ = StreamError::None;  // why a callback aborted the transfer
  Clock::time_point headDeadline_;
  Clock::time_point lastByte_;  // last body byte, or when the transfer last resumed
  // Started while the start-up timeline records: its stages are the ones timed.
  const std::uint32_t recording_ = log::timeline::recording();
};

Transfer::~Transfer() {
  if (multi_ != nullptr) curl_multi_remove_handle(multi_, easy_);
  if (easy_ != nullptr) curl_easy_cleanup(easy_);
  curl_slist_free_all(requestHeaders_);
  curl_slist_free_all(statusAliases_);
}

bool Transfer::start(CURLM* multi) {
  if (options().range) {
    log::write(log::Domain::Net, "connecting to ", options().url, " for bytes ",
               options().range->first, "-", options().range->last);
  } else {
    log::write(log::Domain::Net, "connecting to ", options().url);
  }
  headDeadline_ = Clock::now() + options().headTimeout;
  lastByte_ = Clock::now();
  {
    const std::lock_guard lock(shared_->mutex);
    shared_->stats.lastProgress = lastByte_;
  }
  if (!setUp() || curl_multi_add_handle(multi, easy_) != CURLM_OK) {
    shared_->finish(StreamState::Failed, StreamError::Transfer, "could not set up the transfer");
    return false;
  }
  multi_ = multi;
  return true;
}

void Transfer::resume() {
  lastByte_ = Clock::now();  // held back by us, not stalled by the server: its clock starts now
  curl_easy_pause(easy_, CURLPAUSE_CONT);
}

bool Transfer::overdue(Clock::time_point now, Clock::time_point& deadline) {
  bool paused = false;
  {
    const std::lock_guard lock(shared_->mutex);
    paused = shared_->paused;
  }
  if (paused) lastByte_ = now;
  // Before the head, the whole head must come in time; after it, some byte must come within
  // stallTimeout (curl's own low-speed limit averages over several seconds, so it is not used).
  deadline = icy_ ? lastByte_ + options().stallTimeout : headDeadline_;
  if (now < deadline) return false;
  if (icy_)
    shared_->finish(StreamState::Failed, StreamError::Stalled, "no data in time");
  else
    shared_->finish(StreamState::Failed, StreamError::HeadTimeout, "no response head in time");
  return true;
}

bool Transfer::setUp() {
  easy_ = curl_easy_init();
  if (easy_ == nullptr) return false;
  requestHeaders_ = curl_slist_append(nullptr, "Icy-MetaData: 1");
  // Shoutcast-style servers answer "ICY 200 OK"; without this alias curl reads that as an
  // HTTP/0.9 reply and refuses it. The real status code is still checked from the line itself.
  statusAliases_ = curl_slist_append(nullptr, "ICY ");
  if (requestHeaders_ == nullptr || statusAliases_ == nullptr) return false;

  bool ok = true;
  const auto set = [&](CURLoption option, auto value) {
    ok = ok && curl_easy_setopt(easy_, option, value) == CURLE_OK;
  };
  set(CURLOPT_URL, options().url.c_str());
  if (options().range) {
    const std::string range =
        std::to_string(options().range->first) + "-" + std::to_string(options().range->last);
    set(CURLOPT_RANGE, range.c_str());  // curl keeps a copy
  }
  set(CURLOPT_PROTOCOLS_STR, "http,https");
  set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  // Pausing holds the transfer exactly only on HTTP/1, where curl then stops reading the socket;
  // one stream per connection gains nothing from HTTP/2 anyway.
  set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  if (!options().caFile.empty()) set(CURLOPT_CAINFO, options().caFile.c_str());
  set(CURLOPT_FOLLOWLOCATION, 1L);
  set(CURLOPT_MAXREDIRS, static_cast<long>(options().maxRedirects));
  set(CURLOPT_HTTPHEADER, requestHeaders_);
  set(CURLOPT_HTTP200ALIASES, statusAliases_);
  set(CURLOPT_USERAGENT, options().userAgent.c_str());
  set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options().connectTimeout.count()));
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_TCP_KEEPALIVE, 1L);
  set(CURLOPT_ERRORBUFFER, errorText_);
  set(CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
  set(CURLOPT_HEADERDATA, this);
  set(CURLOPT_WRITEFUNCTION, &Transfer::onBody);
  set(CURLOPT_WRITEDATA, this);
  if (recording_ != 0) {
    curl_prereq_callback connected = [](void* self, char*, char*, int, int) {
      log::timeline::mark(log::timeline::Stage::Connected,
                          static_cast<Transfer*>(self)->recording_);
      return static_cast<int>(CURL_PREREQFUNC_OK);
    };
    set(CURLOPT_PREREQFUNCTION, connected);
    set(CURLOPT_PREREQDATA, this);
  }
  return ok;
}

void Transfer::conclude(CURLcode code) {
  std::string text = errorText_[0] != '\0' ? errorText_ : curl_easy_strerror(code);
  if (code == CURLE_OK) {
    if (icy_) {
      shared_->finish(StreamState::Ended, StreamError::None, {});
    } else {
      // The transfer ended on a response we did not accept, e.g. a 3xx without Location.
      shared_->finish(StreamState::Failed, StreamError::HttpStatus, "no acceptable response");
    }
    return;
  }
  StreamError error = StreamError::Transfer;
  ConnectStep step = ConnectStep::None;
  if (callbackError_ != StreamError::None) {
    error = callbackError_;
  } else if (code == CURLE_OUT_OF_MEMORY && !icy_) {
    // curl's own cap on one header line (100 KiB) reports itself this way.
    error = StreamError::HeadTooLarge;
    text = "response header line too long";
  } else if (code == CURLE_TOO_MANY_REDIRECTS) {
    error = StreamError::TooManyRedirects;
  } else if (code == CURLE_COULDNT_RESOLVE_HOST) {
    error = StreamError::Connect;
    step = ConnectStep::NameLookup;
  } else if (code == CURLE_COULDNT_CONNECT) {
    error = StreamError::Connect;
    step = ConnectStep::Refused;
  } else if (code == CURLE_SSL_CONNECT_ERROR || code == CURLE_PEER_FAILED_VERIFICATION) {
    error = StreamError::Connect;
    step = ConnectStep::Tls;
  } else if (code == CURLE_OPERATION_TIMEDOUT) {
    curl_off_t connectedAfter = 0;
    curl_easy_getinfo(easy_, CURLINFO_CONNECT_TIME_T, &connectedAfter);
    error = connectedAfter == 0 ? StreamError::Connect : StreamError::Stalled;
    if (connectedAfter == 0) step = ConnectStep::TimedOut;
  }
  shared_->finish(StreamState::Failed, error, std::move(text), step);
}

std::size_t Transfer::onHeader(char* data, std::size_t size, std::size_t count, void* self) {
  return static_cast<Transfer*>(self)->header(std::string_view(data, size * count));
}

std::size_t Transfer::onBody(char* data, std::size_t size, std::size_t count, void* self) {
  return static_cast<Transfer*>(self)->body(std::as_bytes(std::span(data, size * count)));
}

std::size_t Transfer::header(std::string_view line) {
  if (icy_) return line.size();  // trailers after the body: the head is already final
  switch (collector_.add(line)) {
    case HeaderCollector::Result::Line: return line.size();
    case HeaderCollector::Result::TooLarge: callbackError_ = StreamError::HeadTooLarge; return 0;
    case HeaderCollector::Result::HeadEnd: break;
  }
  const int status = collector_.statusCode();
  {
    const std::lock_guard lock(shared_->mutex);
    shared_->stats.httpStatus = status;
    shared_->stats.redirects = collector_.responses() - 1;
  }
  if (status >= 100 && status < 200) return line.size();  // interim; the real head follows
  if (status >= 300 && status < 400 && collector_.value("location"))
    return line.size();  // curl follows
  if (status < 200 || status >= 300) {
    callbackError_ = StreamError::HttpStatus;
    return 0;
  }
  publishHead();
  return line.size();
}

void Transfer::publishHead() {
  auto head = std::make_shared<ResponseHead>();
  head->lines = collector_.lines();
  head->icy = collector_.icy();
  head->metaint = parseMetaint(collector_.value("icy-metaint"));
  head->contentType = normaliseContentType(collector_.value("content-type"));
  const char* url = nullptr;
  if (curl_easy_getinfo(easy_, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url != nullptr)
    head->effectiveUrl = url;
  icy_.emplace(static_cast<std::size_t>(head->metaint));
  lastByte_ = Clock::now();
  log::write(log::Domain::Net, head->effectiveUrl, ": ",
             head->lines.empty() ? std::string() : head->lines.front(), ", type \"",
             head->contentType, "\", metaint ", head->metaint);
  {
    const std::lock_guard lock(shared_->mutex);
    if (shared_->state == StreamState::Connecting) shared_->state = StreamState::Streaming;
    shared_->head = std::move(head);
    shared_->stats.lastProgress = lastByte_;
  }
  shared_->readable.notify_all();
  log::timeline::mark(log::timeline::Stage::Head, recording_);
}

std::size_t Transfer::body(std::span<const std::byte> data) {
  if (!icy_) {
    callbackError_ = StreamError::HttpStatus;  // a body we never agreed to, e.g. of a bare 3xx
    return 0;
  }
  lastByte_ = Clock::now();
  std::size_t audio = 0;
  {
    const std::lock_guard lock(shared_->mutex);
    // Audio out of a piece is never more than the piece, so this check keeps the ring bound.
    if (shared_->ring.space() < data.size()) {
      shared_->paused = true;
      shared_->stats.paused = true;
      return CURL_WRITEFUNC_PAUSE;  // curl hands the same piece over again after unpausing
    }
    for (auto rest = data; !rest.empty();) {
      const auto piece = icy_->next(rest);
      audio += shared_->ring.write(piece.audio);
      rest = rest.subspan(piece.consumed);
    }
    shared_->stats.bodyBytes += data.size();
    shared_->stats.lastProgress = lastByte_;
    shared_->stats.audioBytes += audio;
    if (icy_->metaGeneration() != metaSeen_) {
      metaSeen_ = icy_->metaGeneration();
      shared_->meta = icy_->latestMeta();
      shared_->stats.metaBlocks = metaSeen_;
    }
  }
  if (audio != 0) {
    shared_->readable.notify_all();
    log::timeline::mark(log::timeline::Stage::FirstByte, recording_);
  }
  return data.size();
}

// The network thread of the process: every transfer runs on its one curl multi handle, which
// keeps finished connections open for the next request to the same server (an HLS stream's
// segments and playlist reloads) and caches name lookups. Other threads talk to it through
// commands (add, remove, unpause) and never wait for it. The thread runs while there are
// transfers and ends when there are none; the handle, with its open connections, stays for the
// next one. At process exit every transfer is cancelled and every connection closed.
class NetworkLoop {
 public:
  // The process's loop. A child forked from a process whose loop has a handle of its own gets a
  // new one: it shares nothing with the parent's.
  static NetworkLoop& get() {
    static std::mutex mutex;
    static NetworkLoop* loop = nullptr;
    const std::lock_guard lock(mutex);
    static bool closesAtExit = false;  // a forked child inherits the handler
    if (loop == nullptr || loop->pid_ != ::getpid()) {
      loop = new NetworkLoop(loop);  // never destroyed: the exit handler and late users need it
      if (!closesAtExit) std::atexit([] { get().close(std::chrono::seconds(1)); });
      closesAtExit = true;
    }
    return *loop;
  }

  // Hands a transfer to the thread, starting it if it is not running; false once the loop is
  // closed or no thread could start.
  bool add(std::unique_ptr<Transfer> transfer) {
    {
      const std::lock_guard lock(mutex_);
      if (closed_) return false;
      if (!running_) {
        try {
          std::thread([this] { run(); }).detach();
        } catch (const std::system_error&) {
          return false;
        }
        running_ = true;
      }
      gLiveTransfers.fetch_add(1);
      commands_.push_back({Command::Add, transfer->shared(), std::move(transfer)});
      curl_multi_wakeup(multi_);
    }
    return true;
  }
  // Ends the stream's transfer (already marked cancelled).
  void remove(std::shared_ptr<Shared> shared) {
    post({Command::Remove, std::move(shared), nullptr});
  }
  // Lets a transfer paused for want of room go on.
  void unpause(std::shared_ptr<Shared> shared) {
    post({Command::Unpause, std::move(shared), nullptr});
  }

  // Cancels every transfer, closes every connection and ends the thread, waiting for it at most
  // `wait`; later add()s fail. For the end of the process: a transfer still inside the TLS
  // library while its exit handler tears it down could crash the exit (our handler is
  // registered after curl's initialisation, so it runs first).
  void close(std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    if (closed_) return;
    closed_ = true;
    if (running_) {
      curl_multi_wakeup(multi_);
      // The thread closes the handle on its way out.
      idle_.wait_for(lock, wait, [&] { return !running_; });
    } else if (multi_ != nullptr) {
      curl_multi_cleanup(multi_);
      multi_ = nullptr;
    }
  }

 private:
  struct Command {
    enum Kind { Add, Remove, Unpause } kind;
    std::shared_ptr<Shared> shared;
    std::unique_ptr<Transfer> transfer;  // Add only
  };

  explicit NetworkLoop(NetworkLoop* parents) : pid_(::getpid()), parents_(parents) {
    initCurlOnce();
    multi_ = curl_multi_init();
    if (multi_ == nullptr) closed_ = true;
  }

  void post(Command command) {
    {
      const std::lock_guard lock(mutex_);
      if (!running_) return;  // no transfer to act on
      commands_.push_back(std::move(command));
      curl_multi_wakeup(multi_);
    }
  }

  // Returns how many transfers ended.
  std::size_t apply(Command& command) {
    Shared* key = command.shared.get();
    switch (command.kind) {
      case Command::Add:
        // A stream cancelled before its transfer started never connects.
        if (!key->cancelled.load() && command.transfer->start(multi_)) {
          transfers_.emplace(key, std::move(command.transfer));
          return 0;
        }
        command.transfer.reset();
        return 1;
      case Command::Remove: return transfers_.erase(key);
      case Command::Unpause:
        if (const auto it = transfers_.find(key); it != transfers_.end()) it->second->resume();
        return 0;
    }
    return 0;
  }

  void run() {
    std::size_t ended = 0;  // transfers ended, not yet taken off gLiveTransfers
    for (;;) {
      std::vector<Command> commands;
      bool closing = false;
      {
        const std::lock_guard lock(mutex_);
        std::swap(commands, commands_);
        closing = closed_;
      }
      if (closing) break;
      for (Command& command : commands) ended += apply(command);
      commands.clear();

      int running = 0;
      if (curl_multi_perform(multi_, &running) != CURLM_OK) break;
      int queued = 0;
      while (const CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
        if (message->msg != CURLMSG_DONE) continue;
        CURL* const easy = message->easy_handle;
        const CURLcode result = message->data.result;
        const auto it = std::find_if(transfers_.begin(), transfers_.end(), [&](const auto& entry) {
          return entry.second->easy() == easy;
        });
        if (it == transfers_.end()) continue;
        it->second->conclude(result);
        transfers_.erase(it);  // the connection goes back to the multi handle's cache
        ++ended;
      }
      const auto now = Clock::now();
      auto wake = now + std::chrono::seconds(60);
      for (auto it = transfers_.begin(); it != transfers_.end();) {
        Clock::time_point deadline;
        if (it->second->overdue(now, deadline)) {
          it = transfers_.erase(it);
          ++ended;
        } else {
          wake = std::min(wake, deadline);
          ++it;
        }
      }
      if (transfers_.empty()) {
        std::unique_lock lock(mutex_);
        if (commands_.empty() && !closed_) {
          // Nothing to do: the thread ends; the next add() starts another on the same handle.
          running_ = false;
          lock.unlock();
          gLiveTransfers.fetch_sub(ended);  // the last act: 0 now means no thread of ours runs
          return;
        }
        continue;
      }
      gLiveTransfers.fetch_sub(std::exchange(ended, 0));  // others remain: not 0
      // Returns early for curl's own timers, socket activity and curl_multi_wakeup.
      const auto waitMs =
          std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count() + 1;
      curl_multi_poll(multi_, nullptr, 0, static_cast<int>(std::min<long long>(waitMs, 60000)),
                      nullptr);
    }
    // Closing (or curl broke): every stream ends, every connection closes.
    for (auto& [shared, transfer] : transfers_) {
      shared->cancelled.store(true);
      shared->finish(StreamState::Cancelled, StreamError::None, {});
    }
    ended += transfers_.size();
    transfers_.clear();
    std::vector<Command> rest;
    {
      const std::lock_guard lock(mutex_);
      closed_ = true;
      std::swap(rest, commands_);
    }
    for (Command& command : rest) {
      if (command.kind != Command::Add) continue;
      command.shared->finish(StreamState::Failed, StreamError::Transfer,
                             "the network is shut down");
      ++ended;
    }
    rest.clear();
    curl_multi_cleanup(multi_);
    {
      const std::lock_guard lock(mutex_);
      multi_ = nullptr;
      running_ = false;
    }
    idle_.notify_all();
    gLiveTransfers.fetch_sub(ended);
  }

  const pid_t pid_;
  // In a forked child, the parent's loop: left alone, and kept reachable so that its memory is
  // not taken for a leak.
  [[maybe_unused]] NetworkLoop* const parents_;
  // Used by the thread while it runs, by close() when none runs; curl_multi_wakeup from anywhere.
  CURLM* multi_ = nullptr;
  std::unordered_map<Shared*, std::unique_ptr<Transfer>> transfers_;  // the thread's only

  std::mutex mutex_;
  // Guarded by mutex_:
  std::vector<Command> commands_;
  bool closed_ = false;
  bool running_ = false;  // a thread runs (or is starting) on the handle
  std::condition_variable idle_;
};

class CurlHttpStream final : public HttpStream {
 public:
  explicit CurlHttpStream(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
  ~CurlHttpStream() override { cancel(); }
  CurlHttpStream(const CurlHttpStream&) = delete;
  CurlHttpStream& operator=(const CurlHttpStream&) = delete;

  std::size_t read(std::span<std::byte> dst, std::chrono::milliseconds timeout) override;
  [[nodiscard]] std::shared_ptr<const ResponseHead> head() const override;
  [[nodiscard]] std::optional<std::string> latestMeta() const override;
  [[nodiscard]] StreamState state() const override;
  [[nodiscard]] StreamStats stats() const override;
  void dropBuffered() override;
  void cancel() override;

 private:
  std::shared_ptr<Shared> shared_;
};

std::size_t CurlHttpStream::read(std::span<std::byte> dst, std::chrono::milliseconds timeout) {
  if (dst.empty()) return 0;
  bool unpause = false;
  std::size_t n = 0;
  {
    std::unique_lock lock(shared_->mutex);
    shared_->readable.wait_for(
        lock, timeout, [&] { return shared_->ring.size() != 0 || isTerminal(shared_->state); });
    if (shared_->state == StreamState::Cancelled) return 0;
    n = shared_->ring.read(dst);
    // Resume only when a whole piece fits again, or the transfer would pause at once.
    if (shared_->paused && shared_->ring.space() >= kMinBufferBytes) {
      shared_->paused = false;
      shared_->stats.paused = false;
      unpause = true;
    }
  }
  if (unpause) NetworkLoop::get().unpause(shared_);
  return n;
}

std::shared_ptr<const ResponseHead> CurlHttpStream::head() const {
  const std::lock_guard lock(shared_->mutex);
  return shared_->head;
}

std::optional<std::string> CurlHttpStream::latestMeta() const {
  const std::lock_guard lock(shared_->mutex);
  return shared_->meta;
}

StreamState CurlHttpStream::state() const {
  const std::lock_guard lock(shared_->mutex);
  return shared_->state;
}

StreamStats CurlHttpStream::stats() const {
  const std::lock_guard lock(shared_->mutex);
  StreamStats s = shared_->stats;
  s.buffered = shared_->ring.size();
  s.bufferCapacity = shared_->ring.capacity();
  return s;
}

void CurlHttpStream::dropBuffered() {
  bool unpause = false;
  {
    const std::lock_guard lock(shared_->mutex);
    shared_->ring.clear();
    if (shared_->paused) {
      shared_->paused = false;
      shared_->stats.paused = false;
      unpause = true;
    }
  }
  if (unpause) NetworkLoop::get().unpause(shared_);
}

void CurlHttpStream::cancel() {
  if (shared_->cancelled.exchange(true)) return;
  shared_->cancel();
  NetworkLoop::get().remove(shared_);
}

}  // namespace

std::shared_ptr<HttpStream> HttpStream::start(StreamOptions options) {
  const bool plausible = isPlausibleStreamUrl(options.url);
  auto shared = std::make_shared<Shared>(std::move(options));
  auto stream = std::make_shared<CurlHttpStream>(shared);
  if (!plausible) {
    shared->finish(StreamState::Failed, StreamError::BadUrl, "not a stream address");
    return stream;
  }
  if (!NetworkLoop::get().add(std::make_unique<Transfer>(shared)))
    shared->finish(StreamState::Failed, StreamError::Transfer, "the network is shut down");
  return stream;
}

std::size_t HttpStream::liveThreads() { return gLiveTransfers.load(); }

ReadResult HttpStream::readSome(std::span<std::byte> dst, std::chrono::milliseconds timeout) {
  if (const std::size_t n = read(dst, timeout); n > 0) return {n, ReadStatus::Data};
  if (!isTerminal(state())) return {0, ReadStatus::TimedOut};
  // The last bytes may have come in between the read and the state.
  if (const std::size_t n = read(dst, std::chrono::milliseconds(0)); n > 0)
    return {n, ReadStatus::Data};
  return {0, ReadStatus::Over};
}

ReadResult HttpStream::readUntil(std::span<std::byte> dst, const std::stop_token& stop) {
  const std::stop_callback cancelOnStop(stop, [this] { cancel(); });
  for (;;) {
    const ReadResult result = readSome(dst, std::chrono::hours(1));
    if (result.status != ReadStatus::TimedOut) return result;
  }
}

}  // namespace radiolist::net
