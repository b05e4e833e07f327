#include <algorithm>

#include "playback/engine/engine.h"
#include "playback/engine/log_domains.h"
#include "playback/log/log.h"
#include "playback/net/url_check.h"

// Which addresses the engine holds to public hosts: those a public directory gave, named by the
// program before it plays them (the window's path knows nothing of where an address came from).

namespace radiolist::audio {

void Engine::holdToPublic(std::string url) {
  if (url.size() > net::kMaxUrlBytes) return;  // such an address is never created either
  const std::lock_guard lock(mutex_);
  const auto known = std::find(publicOnly_.begin(), publicOnly_.end(), url);
  if (known != publicOnly_.end()) publicOnly_.erase(known);
  log::write(audio::kEngineLog, url, ": public hosts only");
  publicOnly_.push_back(std::move(url));
  if (publicOnly_.size() > kMaxPublicOnly) publicOnly_.pop_front();
}

StreamOpener Engine::openerFor(bool publicOnly) {
  if (!publicOnly) return opener_;
  return [this](const std::string& url, std::optional<net::ByteRange> range, net::Reach) {
    return open(url, range, net::Reach::PublicOnly);
  };
}

bool Engine::heldToPublic(const std::string& url) const {
  return std::find(publicOnly_.begin(), publicOnly_.end(), url) != publicOnly_.end();
}

}  // namespace radiolist::audio
