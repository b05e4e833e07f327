#pragma once
// One network stream: an HTTP(S)/ICY connection run by libcurl on the process's network thread.
// The body is de-interleaved (when the server sent icy-metaint) into audio bytes, which wait in
// a bounded buffer for the reader, and metadata blocks, of which the latest is kept.
//
// Threads: start() may be called from any thread and returns at once. read() is called by one
// consumer thread (the decoder). Everything else is safe from any thread. Every transfer runs on
// one network thread with one curl multi handle, so a server's kept-alive connection serves the
// next request to it (an HLS stream's segments and playlist reloads); other threads hand it
// commands (add, remove, unpause) and never wait for it.
//
// Lifetime: the network thread keeps what a transfer needs alive by itself, so dropping the last
// shared_ptr never waits for the network: it cancels the transfer, which ends soon after (see
// liveTransfers()). At process exit the transfers still running are cancelled and their
// connections closed (waited for at most a second) before the TLS library shuts down.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

#include "playback/net/address_reach.h"

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
  std::string primaryIp;  // the address the final response came from, "" when curl did not say
};

// Bytes first..last of a resource, both included: sent as "Range: bytes=first-last".
struct ByteRange {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
};

struct StreamOptions {
  std::string url;
  // Asks for part of the resource. A server may ignore it and answer 200 with the whole body,
  // or 206 with the part: the caller tells them apart by the status (StreamStats::httpStatus).
  std::optional<ByteRange> range;
  std::string userAgent = "radiolist/0.1";
  std::chrono::milliseconds connectTimeout{5000};
  std::chrono::milliseconds stallTimeout{10000};
  std::size_t bufferBytes = 1 << 20;  // bound of the audio byte buffer (at least kMinBufferBytes)
  // Time allowed from start() to the final response head, redirects included. Catches a server
  // that accepts and never answers, drips its head, or sends header lines forever.
  std::chrono::milliseconds headTimeout{10000};
  int maxRedirects = 10;
  // PEM file of trusted certificate authorities; empty means the system's store.
  std::string caFile;
  // PublicOnly: no socket to an address of this machine's own networks, at any hop (a refused
  // one fails the stream as a refused connection does), and no connection kept from another
  // transfer is reused.
  Reach reach = Reach::Anywhere;
};

// The audio buffer never holds fewer bytes than this, whatever bufferBytes says: curl hands the
// body over in pieces of up to 16 KiB and a piece is taken whole or not at all.
inline constexpr std::size_t kMinBufferBytes = 16 * 1024;

// Why a stream ended in Failed. Meant for deciding whether to try again (a 4xx is not worth a
// quick retry, a stall is).
enum class StreamError {
  None,
  BadUrl,      // refused before connecting (see isPlausibleStreamUrl)
  Connect,     // name lookup, connect or TLS handshake failed or timed out
  HttpStatus,  // the final response was not 2xx (see StreamStats::httpStatus)
  TooManyRedirects,
  HeadTooLarge,  // header lines over the caps of HeaderCollector
  HeadTimeout,   // no complete head within headTimeout
  Stalled,       // no body byte for stallTimeout
  Transfer,      // any other transport error (reset, bad chunking, ...)
};

// Which step of a StreamError::Connect failure went wrong.
enum class ConnectStep {
  None,
  NameLookup,  // the host name did not resolve
  Refused,     // nobody accepted the connection (refused, unreachable)
  Tls,         // the TLS handshake failed or the certificate was not trusted
  TimedOut,    // no connection within connectTimeout
};

struct StreamStats {
  std::uint64_t bodyBytes = 0;   // body bytes received, metadata included
  std::uint64_t audioBytes = 0;  // audio bytes put into the buffer
  std::uint64_t metaBlocks = 0;  // non-empty metadata blocks received
  std::size_t buffered = 0;      // audio bytes waiting for read()
  std::size_t bufferCapacity = 0;
  bool paused = false;  // the transfer waits for the reader to make room
  int httpStatus = 0;   // status code of the last response head, 0 before one
  int redirects = 0;
  StreamError error = StreamError::None;
  ConnectStep connectStep = ConnectStep::None;  // with StreamError::Connect
  std::string errorText;                        // curl's message when error != None
  // When the stream last moved: its start, its head or its latest body byte.
  std::chrono::steady_clock::time_point lastProgress{};
};

// How a read ended: with bytes, with nothing yet (the wait ran out), or with the stream over
// (ended, failed or cancelled: no byte will come any more).
enum class ReadStatus { Data, TimedOut, Over };
struct ReadResult {
  std::size_t bytes = 0;
  ReadStatus status = ReadStatus::Over;
};

class HttpStream {
 public:
  // Starts the connection on a new thread. Never blocks. Never returns nullptr: an address that
  // cannot be a stream gives a stream that is already Failed (StreamError::BadUrl).
  static std::shared_ptr<HttpStream> start(StreamOptions options);

  // Transfers still running in the process (each ends soon after cancel()).
  static std::size_t liveTransfers();

  virtual ~HttpStream() = default;

  // Blocks until at least one audio byte is available, then copies up to dst.size() bytes.
  // Returns 0 when the body ended, the stream failed or was cancelled (see state()), or when
  // `timeout` passed with nothing to read. After Ended or Failed the bytes still buffered come
  // out first; after Cancelled nothing does.
  virtual std::size_t read(std::span<std::byte> dst, std::chrono::milliseconds timeout) = 0;

  // nullptr until the final response head has arrived. Only a 2xx head is ever published: a
  // stream that fails on its status (or before) keeps nullptr.
  [[nodiscard]] virtual std::shared_ptr<const ResponseHead> head() const = 0;
  // The latest non-empty metadata block up to its first NUL; nullopt when none arrived yet.
  [[nodiscard]] virtual std::optional<std::string> latestMeta() const = 0;
  // Called on the network thread, holding no lock of the stream's, each time a metadata block
  // has become latestMeta(); replaces the one before (nullptr: none). It must not wait.
  virtual void setMetaListener(std::function<void()> listener) = 0;
  [[nodiscard]] virtual StreamState state() const = 0;

  // Drops every buffered audio byte, so the next read() returns bytes that arrive from now on.
  virtual void dropBuffered() = 0;
  // Stops the transfer: wakes a blocked read() and curl; the thread ends soon after. Never blocks.
  // A cancelled stream reports Cancelled unless it had already Ended or Failed.
  virtual void cancel() = 0;

  // Counters and the failure reason; a consistent snapshot.
  [[nodiscard]] virtual StreamStats stats() const { return {}; }

  // read(), with its outcome told apart. Bytes that arrive as the stream ends still come out.
  ReadResult readSome(std::span<std::byte> dst, std::chrono::milliseconds timeout);
  // Waits for bytes or the end however long it takes: the connection's own timeouts end a
  // stalled stream, and a stop cancels the stream, which wakes the wait at once. Never TimedOut.
  ReadResult readUntil(std::span<std::byte> dst, const std::stop_token& stop);
};

}  // namespace radiolist::net
