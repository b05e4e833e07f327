#include "playback/net/transfer.h"

#include <string>
#include <utility>

#include "playback/log/log.h"
#include "playback/net/log_domain.h"

namespace radiolist::net::detail {

Transfer::~Transfer() {
  if (multi_ != nullptr) multi_->remove(easy_);
}

bool Transfer::start(curl::Multi& multi) {
  networkThread_.check();
  if (options().range) {
    log::write(net::kNetLog, "connecting to ", options().url, " for bytes ", options().range->first,
               "-", options().range->last);
  } else {
    log::write(net::kNetLog, "connecting to ", options().url);
  }
  headDeadline_ = Clock::now() + options().headTimeout;
  lastByte_ = Clock::now();
  {
    const std::lock_guard lock(shared_->mutex);
    shared_->stats.lastProgress = lastByte_;
  }
  if (!setUp() || !multi.add(easy_)) {
    shared_->finish(StreamState::Failed, StreamError::Transfer, "could not set up the transfer");
    return false;
  }
  multi_ = &multi;
  return true;
}

void Transfer::resume() {
  networkThread_.check();
  lastByte_ = Clock::now();  // held back by us, not stalled by the server: its clock starts now
  easy_.pause(CURLPAUSE_CONT);
}

bool Transfer::overdue(Clock::time_point now, Clock::time_point& deadline) {
  networkThread_.check();
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
  easy_ = curl::Easy::create();
  if (!easy_.valid() || !requestHeaders_.append("Icy-MetaData: 1")) return false;
  // Shoutcast-style servers answer "ICY 200 OK"; without this alias curl reads that as an
  // HTTP/0.9 reply and refuses it. The real status code is still checked from the line itself.
  if (!statusAliases_.append("ICY ")) return false;

  bool ok = true;
  const auto set = [&](CURLoption option, auto value) {
    ok = ok && easy_.set(option, value);  // the first failure is told, the rest skipped
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
  set(CURLOPT_HTTPHEADER, requestHeaders_.get());
  set(CURLOPT_HTTP200ALIASES, statusAliases_.get());
  set(CURLOPT_USERAGENT, options().userAgent.c_str());
  set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options().connectTimeout.count()));
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_TCP_KEEPALIVE, 1L);
  set(CURLOPT_ERRORBUFFER, errorText_);
  set(CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
  set(CURLOPT_HEADERDATA, this);
  set(CURLOPT_WRITEFUNCTION, &Transfer::onBody);
  set(CURLOPT_WRITEDATA, this);
  if (options().reach == Reach::PublicOnly) {
    // Checked where curl opens each socket, after the name lookup and at every redirect: what
    // a name resolves to is known only there.
    curl_opensocket_callback open = [](void*, curlsocktype, curl_sockaddr* to) -> curl_socket_t {
      if (isOffLimitsToPublic(&to->addr, to->addrlen)) return CURL_SOCKET_BAD;
      return ::socket(to->family, to->socktype | SOCK_CLOEXEC, to->protocol);
    };
    set(CURLOPT_OPENSOCKETFUNCTION, open);
    set(CURLOPT_FRESH_CONNECT, 1L);
  }
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
  networkThread_.check();
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
    easy_.info(CURLINFO_CONNECT_TIME_T, &connectedAfter);
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
  networkThread_.check();
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
  if (easy_.info(CURLINFO_EFFECTIVE_URL, &url) && url != nullptr) head->effectiveUrl = url;
  const char* ip = nullptr;
  if (easy_.info(CURLINFO_PRIMARY_IP, &ip) && ip != nullptr) head->primaryIp = ip;
  icy_.emplace(static_cast<std::size_t>(head->metaint));
  lastByte_ = Clock::now();
  log::write(net::kNetLog, head->effectiveUrl, ": ",
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
  networkThread_.check();
  if (!icy_) {
    callbackError_ = StreamError::HttpStatus;  // a body we never agreed to, e.g. of a bare 3xx
    return 0;
  }
  lastByte_ = Clock::now();
  std::size_t audio = 0;
  std::shared_ptr<const std::function<void()>> metaListener;
  std::size_t metaBytes = 0;
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
      metaListener = shared_->metaListener;
      metaBytes = shared_->meta ? shared_->meta->size() : 0;
    }
  }
  if (metaBytes != 0) {
    // The moment a title arrives: what the desktop's signals are measured against.
    log::write(net::kNetLog, "a metadata block received, ", metaBytes, " bytes of text");
    if (metaListener) (*metaListener)();
  }
  if (audio != 0) {
    shared_->readable.notify_all();
    log::timeline::mark(log::timeline::Stage::FirstByte, recording_);
  }
  return data.size();
}

}  // namespace radiolist::net::detail
