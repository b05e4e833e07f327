#include "playback/engine/source.h"

namespace radiolist::audio {

Source::Source(std::string url, std::shared_ptr<net::HttpStream> stream)
    : url_(std::move(url)), stream_(std::move(stream)) {}

Source::~Source() {
  decoder_.request_stop();
  stream_->cancel();  // wakes a read() the decoder waits in
}

void Source::startDecoder() {
  decoder_ = std::jthread([this](std::stop_token stop) {
    decodeStream(*stream_, voice_, stop);
    finished_.store(true, std::memory_order_release);
  });
}

}  // namespace radiolist::audio
