#include "playback/net/http_stream.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "playback/log/log.h"
#include "playback/net/byte_ring.h"
#include "playback/net/icy_deinterleaver.h"
#include "playback/net/response_head.h"
#include "playback/net/url_check.h"

namespace radiolist::net {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<std::size_t> gLiveThreads{0};

void initCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool isTerminal(StreamState s) { return s != StreamState::Connecting && s != StreamState::Streaming; }

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

// What the handle and the stream's thread share. The thread holds its own reference, so the
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
  bool paused = false;        // set by the curl thread when the ring was full
  bool resumeWanted = false;  // set by the reader when it made room; the curl thread unpauses

  // Guarded by `wakeMutex`: the curl thread's multi handle, so other threads can wake its poll.
  std::mutex wakeMutex;
  CURLM* multi = nullptr;

  void wake() {
    const std::lock_guard lock(wakeMutex);
    if (multi != nullptr) curl_multi_wakeup(multi);
  }

  void cancel() {
    cancelled.store(true);
    finish(StreamState::Cancelled, StreamError::None, {});
    wake();
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
    if (s == StreamState::Ended) log::write(log::Domain::Net, options.url, ": the server ended the body");
    if (s == StreamState::Failed) {
      log::write(log::Domain::Net, options.url, ": failed (", nameOf(error, step), ", last status ", status,
                 "): ", text);
    }
  }
};

// The transfer, owned by the stream's thread; every curl call happens here.
class Transfer {
 public:
  explicit Transfer(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  ~Transfer();

  void run();

 private:
  bool setUp();
  void loop();
  void conclude(CURLcode code);
  static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* self);
  static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* self);
  std::size_t header(std::string_view line);
  std::size_t body(std::span<const std::byte> data);
  void publishHead();

  std::shared_ptr<Shared> shared_;
  const StreamOptions& options() const { return shared_->options; }

  // Owned by this thread only.
  CURL* easy_ = nullptr;
  CURLM* multi_ = nullptr;
  curl_slist* requestHeaders_ = nullptr;
  curl_slist* statusAliases_ = nullptr;
  char errorText_[CURL_ERROR_SIZE] = {};
  HeaderCollector collector_;
  std::optional<IcyDeinterleaver> icy_;  // exists once the final head is in
  std::uint64_t metaSeen_ = 0;
  StreamError callbackError_ = StreamError::None;  // why a callback aborted the transfer
  Clock::time_point headDeadline_;
  Clock::time_point lastByte_;  // last body byte, or when the transfer last resumed
};

Transfer::~Transfer() {
  {
    const std::lock_guard lock(shared_->wakeMutex);
    shared_->multi = nullptr;
  }
  if (multi_ != nullptr && easy_ != nullptr) curl_multi_remove_handle(multi_, easy_);
  if (easy_ != nullptr) curl_easy_cleanup(easy_);
  if (multi_ != nullptr) curl_multi_cleanup(multi_);
  curl_slist_free_all(requestHeaders_);
  curl_slist_free_all(statusAliases_);
}

void Transfer::run() {
  if (options().range) {
    log::write(log::Domain::Net, "connecting to ", options().url, " for bytes ", options().range->first,
               "-", options().range->last);
  } else {
    log::write(log::Domain::Net, "connecting to ", options().url);
  }
  headDeadline_ = Clock::now() + options().headTimeout;
  if (!setUp()) {
    shared_->finish(StreamState::Failed, StreamError::Transfer, "could not set up the transfer");
    return;
  }
  loop();
}

bool Transfer::setUp() {
  initCurlOnce();
  easy_ = curl_easy_init();
  multi_ = curl_multi_init();
  if (easy_ == nullptr || multi_ == nullptr) return false;
  requestHeaders_ = curl_slist_append(nullptr, "Icy-MetaData: 1");
  // Shoutcast-style servers answer "ICY 200 OK"; without this alias curl reads that as an
  // HTTP/0.9 reply and refuses it. The real status code is still checked from the line itself.
  statusAliases_ = curl_slist_append(nullptr, "ICY ");
  if (requestHeaders_ == nullptr || statusAliases_ == nullptr) return false;

  bool ok = true;
  const auto set = [&](CURLoption option, auto value) { ok = ok && curl_easy_setopt(easy_, option, value) == CURLE_OK; };
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
  if (!ok || curl_multi_add_handle(multi_, easy_) != CURLM_OK) return false;

  const std::lock_guard lock(shared_->wakeMutex);
  shared_->multi = multi_;
  return true;
}

void Transfer::loop() {
  lastByte_ = Clock::now();
  while (!shared_->cancelled.load()) {
    bool resume = false;
    bool paused = false;
    {
      const std::lock_guard lock(shared_->mutex);
      std::swap(resume, shared_->resumeWanted);
      paused = shared_->paused;
    }
    // A transfer held back by us is not a stalled server: its clock starts when it resumes.
    if (paused || resume) lastByte_ = Clock::now();
    // May call onBody at once with what curl held back while paused.
    if (resume) curl_easy_pause(easy_, CURLPAUSE_CONT);

    int running = 0;
    if (curl_multi_perform(multi_, &running) != CURLM_OK) {
      shared_->finish(StreamState::Failed, StreamError::Transfer, "curl_multi_perform failed");
      return;
    }
    int queued = 0;
    while (const CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
      if (message->msg == CURLMSG_DONE) {
        conclude(message->data.result);
        return;
      }
    }
    // Before the head, the whole head must come in time; after it, some byte must come within
    // stallTimeout (curl's own low-speed limit averages over several seconds, so it is not used).
    const auto now = Clock::now();
    const auto deadline = icy_ ? lastByte_ + options().stallTimeout : headDeadline_;
    if (now >= deadline) {
      if (icy_)
        shared_->finish(StreamState::Failed, StreamError::Stalled, "no data in time");
      else
        shared_->finish(StreamState::Failed, StreamError::HeadTimeout, "no response head in time");
      return;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
    const int waitMs = static_cast<int>(std::min<long long>(left, 1000));
    curl_multi_poll(multi_, nullptr, 0, waitMs, nullptr);
  }
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
  return static_cast<Transfer*>(self)->body(
      std::as_bytes(std::span(data, size * count)));
}

std::size_t Transfer::header(std::string_view line) {
  if (icy_) return line.size();  // trailers after the body: the head is already final
  switch (collector_.add(line)) {
    case HeaderCollector::Result::Line:
      return line.size();
    case HeaderCollector::Result::TooLarge:
      callbackError_ = StreamError::HeadTooLarge;
      return 0;
    case HeaderCollector::Result::HeadEnd:
      break;
  }
  const int status = collector_.statusCode();
  {
    const std::lock_guard lock(shared_->mutex);
    shared_->stats.httpStatus = status;
    shared_->stats.redirects = collector_.responses() - 1;
  }
  if (status >= 100 && status < 200) return line.size();  // interim; the real head follows
  if (status >= 300 && status < 400 && collector_.value("location")) return line.size();  // curl follows
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
  log::write(log::Domain::Net, head->effectiveUrl, ": ", head->lines.empty() ? std::string() : head->lines.front(),
             ", type \"", head->contentType, "\", metaint ", head->metaint);
  {
    const std::lock_guard lock(shared_->mutex);
    if (shared_->state == StreamState::Connecting) shared_->state = StreamState::Streaming;
    shared_->head = std::move(head);
  }
  shared_->readable.notify_all();
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
    shared_->stats.audioBytes += audio;
    if (icy_->metaGeneration() != metaSeen_) {
      metaSeen_ = icy_->metaGeneration();
      shared_->meta = icy_->latestMeta();
      shared_->stats.metaBlocks = metaSeen_;
    }
  }
  if (audio != 0) shared_->readable.notify_all();
  return data.size();
}

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
  bool wake = false;
  std::size_t n = 0;
  {
    std::unique_lock lock(shared_->mutex);
    shared_->readable.wait_for(lock, timeout, [&] {
      return shared_->ring.size() != 0 || isTerminal(shared_->state);
    });
    if (shared_->state == StreamState::Cancelled) return 0;
    n = shared_->ring.read(dst);
    // Resume only when a whole piece fits again, or the transfer would pause at once.
    if (shared_->paused && shared_->ring.space() >= kMinBufferBytes) {
      shared_->paused = false;
      shared_->stats.paused = false;
      shared_->resumeWanted = true;
      wake = true;
    }
  }
  if (wake) shared_->wake();
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
  bool wake = false;
  {
    const std::lock_guard lock(shared_->mutex);
    shared_->ring.clear();
    if (shared_->paused) {
      shared_->paused = false;
      shared_->stats.paused = false;
      shared_->resumeWanted = true;
      wake = true;
    }
  }
  if (wake) shared_->wake();
}

void CurlHttpStream::cancel() { shared_->cancel(); }

// Streams whose thread may still run. At process exit they are cancelled and briefly waited
// for: a thread still inside curl while the TLS library's own exit handler tears it down could
// crash the exit. Our handler is registered after curl's initialisation, so it runs first.
struct LiveStreams {
  std::mutex mutex;
  std::vector<std::weak_ptr<Shared>> streams;
};

LiveStreams& liveStreams() {
  static auto* const live = new LiveStreams;  // never destroyed: exit handlers use it
  return *live;
}

void remember(const std::shared_ptr<Shared>& shared) {
  static std::once_flag once;
  std::call_once(once, [] {
    initCurlOnce();
    std::atexit([] {
      std::vector<std::shared_ptr<Shared>> running;
      {
        const std::lock_guard lock(liveStreams().mutex);
        for (const auto& weak : liveStreams().streams)
          if (auto stream = weak.lock()) running.push_back(std::move(stream));
      }
      for (const auto& stream : running) stream->cancel();
      const auto deadline = Clock::now() + std::chrono::seconds(1);
      while (gLiveThreads.load() != 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    });
  });
  const std::lock_guard lock(liveStreams().mutex);
  auto& streams = liveStreams().streams;
  std::erase_if(streams, [](const std::weak_ptr<Shared>& weak) { return weak.expired(); });
  streams.push_back(shared);
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
  remember(shared);
  try {
    gLiveThreads.fetch_add(1);
    std::thread([shared] {
      {
        Transfer transfer(shared);
        transfer.run();
      }
      gLiveThreads.fetch_sub(1);
    }).detach();
  } catch (const std::system_error&) {
    gLiveThreads.fetch_sub(1);
    shared->finish(StreamState::Failed, StreamError::Transfer, "could not start a thread");
  }
  return stream;
}

std::size_t HttpStream::liveThreads() { return gLiveThreads.load(); }

ReadResult HttpStream::readSome(std::span<std::byte> dst, std::chrono::milliseconds timeout) {
  if (const std::size_t n = read(dst, timeout); n > 0) return {n, ReadStatus::Data};
  if (!isTerminal(state())) return {0, ReadStatus::TimedOut};
  // The last bytes may have come in between the read and the state.
  if (const std::size_t n = read(dst, std::chrono::milliseconds(0)); n > 0) return {n, ReadStatus::Data};
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
