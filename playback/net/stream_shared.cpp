#include "playback/net/stream_shared.h"

#include <algorithm>
#include <utility>

#include "playback/log/log.h"
#include "playback/net/log_domain.h"

namespace radiolist::net::detail {
namespace {

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

}  // namespace

Shared::Shared(StreamOptions o)
    : options(std::move(o)), ring(std::max(options.bufferBytes, kMinBufferBytes)) {}

void Shared::cancel() {
  cancelled.store(true);
  finish(StreamState::Cancelled, StreamError::None, {});
}

void Shared::finish(StreamState s, StreamError error, std::string text, ConnectStep step) {
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
  if (s == StreamState::Ended) log::write(net::kNetLog, options.url, ": the server ended the body");
  if (s == StreamState::Failed) {
    log::write(net::kNetLog, options.url, ": failed (", nameOf(error, step), ", last status ",
               status, "): ", text);
  }
}

}  // namespace radiolist::net::detail
