// A stand-in for the network stream: serves bytes from memory, optionally paced like a live
// server (a burst, then a steady rate), with a chosen response head and metadata.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "playback/net/http_stream.h"

namespace radiolist::test {

inline std::vector<std::byte> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::vector<std::byte> bytes(in ? static_cast<std::size_t>(in.tellg()) : 0);
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

class FakeStream final : public net::HttpStream {
 public:
  struct Options {
    std::vector<std::byte> body;
    std::vector<std::string> headLines{"ICY 200 OK", "icy-name:Fake Radio"};
    std::string contentType = "audio/mpeg";
    std::optional<std::string> meta;
    // 0: everything at once. Else bytes per second after `burstBytes` (a live server's pace).
    std::size_t bytesPerSecond = 0;
    std::size_t burstBytes = 0;
    bool loop = false;     // start the body over at its end (a stream that never ends)
    bool refused = false;  // no head and no body: the connection failed at once
    int status = 0;        // with `refused`: the server answered this status
  };

  static Options served(std::vector<std::byte> body, std::string contentType = "audio/mpeg") {
    Options options;
    options.body = std::move(body);
    options.contentType = std::move(contentType);
    return options;
  }

  explicit FakeStream(Options options) : options_(std::move(options)) {
    auto head = std::make_shared<net::ResponseHead>();
    head->lines = options_.headLines;
    head->icy = !head->lines.empty() && head->lines.front().starts_with("ICY");
    head->contentType = options_.contentType;
    if (!options_.refused) head_ = std::move(head);
  }

  std::size_t read(std::span<std::byte> dst, std::chrono::milliseconds timeout) override {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(mutex_);
    for (;;) {
      if (cancelled_ || options_.refused || options_.body.empty()) return 0;
      if (pos_ >= options_.body.size()) {
        if (!options_.loop) return 0;
        pos_ = 0;
      }
      const std::size_t allowed = allowedNow();
      if (allowed > served_) {
        const std::size_t n =
            std::min({dst.size(), allowed - served_, options_.body.size() - pos_});
        std::memcpy(dst.data(), options_.body.data() + pos_, n);
        pos_ += n;
        served_ += n;
        return n;
      }
      if (woken_.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() +
                                                         std::chrono::milliseconds(5))) ==
              std::cv_status::timeout &&
          std::chrono::steady_clock::now() >= deadline)
        return 0;
    }
  }

  [[nodiscard]] std::shared_ptr<const net::ResponseHead> head() const override { return head_; }
  [[nodiscard]] std::optional<std::string> latestMeta() const override {
    std::lock_guard lock(mutex_);
    return options_.meta;
  }
  [[nodiscard]] net::StreamState state() const override {
    std::lock_guard lock(mutex_);
    if (cancelled_) return net::StreamState::Cancelled;
    if (options_.refused) return net::StreamState::Failed;
    if (!options_.loop && pos_ >= options_.body.size()) return net::StreamState::Ended;
    return net::StreamState::Streaming;
  }
  [[nodiscard]] net::StreamStats stats() const override {
    net::StreamStats stats;
    stats.lastProgress = std::chrono::steady_clock::now();  // never stalled
    if (options_.refused) {
      stats.httpStatus = options_.status;
      stats.error = options_.status != 0 ? net::StreamError::HttpStatus : net::StreamError::Connect;
      stats.connectStep = options_.status != 0 ? net::ConnectStep::None : net::ConnectStep::Refused;
    }
    return stats;
  }
  void dropBuffered() override {}
  void cancel() override {
    {
      std::lock_guard lock(mutex_);
      cancelled_ = true;
    }
    woken_.notify_all();
  }

  void setMetaListener(std::function<void()> listener) override {
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
  }

  // A new block, told to the listener as the network thread would (holding no lock of ours).
  void setMeta(std::string meta) {
    std::function<void()> listener;
    {
      std::lock_guard lock(mutex_);
      options_.meta = std::move(meta);
      listener = listener_;
    }
    if (listener) listener();
  }
  // Body bytes handed out so far.
  [[nodiscard]] std::size_t served() const {
    std::lock_guard lock(mutex_);
    return served_;
  }
  [[nodiscard]] bool cancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
  }

 private:
  // Bytes a paced server would have sent by now.
  std::size_t allowedNow() const {
    if (options_.bytesPerSecond == 0) return SIZE_MAX;
    const auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_);
    return options_.burstBytes +
           static_cast<std::size_t>(elapsed.count() * options_.bytesPerSecond);
  }

  mutable std::mutex mutex_;
  std::condition_variable woken_;
  Options options_;
  std::function<void()> listener_;
  std::shared_ptr<const net::ResponseHead> head_;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::size_t pos_ = 0;
  std::size_t served_ = 0;
  bool cancelled_ = false;
};

// Where the build put the generated test media (see CMakeLists.txt).
inline std::string mediaPath(const std::string& name) {
  return std::string(RL_ENGINE_MEDIA_DIR) + "/" + name;
}

}  // namespace radiolist::test
