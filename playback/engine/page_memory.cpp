#include "playback/engine/page_memory.h"

#include <utility>

#include "playback/engine/tsv_file.h"

namespace radiolist::audio {
namespace {

constexpr TsvBounds kBounds{PageMemory::kMaxEntries, PageMemory::kMaxFieldBytes};

}  // namespace

std::string PageMemory::defaultPath() { return stateFilePath("pages.tsv"); }

void PageMemory::setPath(std::string path) {
  const std::lock_guard lock(mutex_);
  path_ = std::move(path);
}

std::optional<std::string> PageMemory::streamFor(std::string_view page) {
  const std::lock_guard lock(mutex_);
  if (path_.empty() || !tsvFieldFits(page, kBounds)) return std::nullopt;
  const auto entries = loadTsv(path_, kBounds);
  if (!entries) return std::nullopt;
  for (auto it = entries->rbegin(); it != entries->rend(); ++it) {
    if (it->key == page) return it->value;
  }
  return std::nullopt;
}

void PageMemory::remember(std::string_view page, std::string_view stream) {
  const std::lock_guard lock(mutex_);
  if (path_.empty() || !tsvFieldFits(page, kBounds) || !tsvFieldFits(stream, kBounds)) return;
  updateTsv(path_, kBounds, [&](std::vector<TsvEntry>& entries) {
    std::erase_if(entries, [&](const TsvEntry& e) { return e.key == page; });
    entries.push_back({std::string(page), std::string(stream)});
  });
}

void PageMemory::forget(std::string_view page) {
  const std::lock_guard lock(mutex_);
  if (path_.empty() || !tsvFieldFits(page, kBounds)) return;
  // Under the file's lock, as remember(): another program's entries written meanwhile stay.
  updateTsv(path_, kBounds, [&](std::vector<TsvEntry>& entries) {
    std::erase_if(entries, [&](const TsvEntry& e) { return e.key == page; });
  });
}

}  // namespace radiolist::audio
