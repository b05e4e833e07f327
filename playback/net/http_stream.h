#pragma once
// One network stream: an HTTP(S)/ICY connection run by libcurl on the stream's own thread.
// The body is de-interleaved (when the server sent icy-metaint) into audio bytes, which wait in
// a bounded buffer for the reader, and metadata blocks, of which the latest is kept.
//
// Threads: start() may be called from any thread and returns at once. read() is called by one
// consumer thread (the decoder). Everything else is safe from any thread.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace radiolist::net {

enum class StreamState {
  Connecting,  // no response head yet
  Streaming,   // head received, body flowing
  Ended,       // server closed the body
  Failed,      // could not connect, bad status, stalled too long, or too many redirects
  Cancelled,   // cancel() was called
};

struct ResponseHead {
  // The final response's header lines (after redirects), raw bytes without CR LF, the status
  // line first.
  std::vector<std::string> lines;
  bool icy = false;         // status line begins with "ICY"
  long metaint = 0;         // icy-metaint, 0 when absent or unusable
  std::string contentType;  // lower-cased media type without parameters, "" when absent
  std::string effectiveUrl;
};

struct StreamOptions {
  std::string url;
  std::string userAgent = "radiolist/0.1";
  std::chrono::milliseconds connectTimeout{5000};
  std::chrono::milliseconds stallTimeout{10000};
  std::size_t bufferBytes = 1 << 20;  // bound of the audio byte buffer
};

class HttpStream {
 public:
  // Starts the connection on a new thread. Never blocks.
  static std::shared_ptr<HttpStream> start(StreamOptions options);

  virtual ~HttpStream() = default;

  // Blocks until at least one audio byte is available, then copies up to dst.size() bytes.
  // Returns 0 when the body ended, the stream failed or was cancelled (see state()), or when
  // `timeout` passed with nothing to read.
  virtual std::size_t read(std::span<std::byte> dst, std::chrono::milliseconds timeout) = 0;

  // nullptr until the final response head has arrived.
  [[nodiscard]] virtual std::shared_ptr<const ResponseHead> head() const = 0;
  // The latest non-empty metadata block up to its first NUL; nullopt when none arrived yet.
  [[nodiscard]] virtual std::optional<std::string> latestMeta() const = 0;
  [[nodiscard]] virtual StreamState state() const = 0;

  // Drops every buffered audio byte, so the next read() returns bytes that arrive from now on.
  virtual void dropBuffered() = 0;
  // Stops the transfer: wakes a blocked read() and curl; the thread ends soon after. Never blocks.
  virtual void cancel() = 0;
};

}  // namespace radiolist::net
