#include "playback/net/http_stream.h"

#include <utility>

#include "playback/log/thread_check.h"
#include "playback/net/network_loop.h"
#include "playback/net/stream_shared.h"
#include "playback/net/transfer.h"
#include "playback/net/url_check.h"

namespace radiolist::net {
namespace {

using detail::isTerminal;
using detail::NetworkLoop;
using detail::Shared;
using detail::Transfer;

// The handle the stream's reader holds; its transfer runs on the network thread (NetworkLoop).
class CurlHttpStream final : public HttpStream {
 public:
  explicit CurlHttpStream(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
  ~CurlHttpStream() override { cancel(); }
  CurlHttpStream(const CurlHttpStream&) = delete;
  CurlHttpStream& operator=(const CurlHttpStream&) = delete;

  std::size_t read(std::span<std::byte> dst, std::chrono::milliseconds timeout) override;
  [[nodiscard]] std::shared_ptr<const ResponseHead> head() const override;
  [[nodiscard]] std::optional<std::string> latestMeta() const override;
  void setMetaListener(std::function<void()> listener) override;
  [[nodiscard]] StreamState state() const override;
  [[nodiscard]] StreamStats stats() const override;
  void dropBuffered() override;
  void cancel() override;

 private:
  std::shared_ptr<Shared> shared_;
  log::ThreadCheck reader_;  // read(): one consumer thread
};

std::size_t CurlHttpStream::read(std::span<std::byte> dst, std::chrono::milliseconds timeout) {
  reader_.check();
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

void CurlHttpStream::setMetaListener(std::function<void()> listener) {
  auto shared =
      listener ? std::make_shared<const std::function<void()>>(std::move(listener)) : nullptr;
  const std::lock_guard lock(shared_->mutex);
  shared_->metaListener = std::move(shared);
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

std::size_t HttpStream::liveTransfers() { return NetworkLoop::liveTransfers(); }

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
