#include "playback/engine/tsv_file.h"

#include "files/file.h"
#include "playback/engine/log_domains.h"
#include "playback/engine/state_file.h"
#include "playback/log/log.h"

namespace radiolist::audio {

bool tsvFieldFits(std::string_view field, const TsvBounds& bounds) {
  return !field.empty() && field.size() <= bounds.maxFieldBytes &&
         field.find_first_of("\t\r\n") == std::string_view::npos;
}

std::optional<std::vector<TsvEntry>> loadTsv(const std::string& path, const TsvBounds& bounds) {
  // Whole lines at their longest, and a little more: a longer file is not ours.
  const std::size_t maxFileBytes = bounds.maxEntries * (2 * bounds.maxFieldBytes + 2);
  std::vector<TsvEntry> entries;
  const files::Read file = files::readFile(path, maxFileBytes, files::Links::Refuse);
  if (file.failure.missing()) return entries;  // not there yet
  if (file.failure.failed()) {
    log::warning(audio::kEngineLog, path, " left alone: ", files::describe(file.failure));
    return std::nullopt;
  }
  const std::string& text = file.bytes;
  std::string_view rest(text);
  while (!rest.empty()) {
    const std::size_t eol = std::min(rest.find('\n'), rest.size());
    const std::string_view line = rest.substr(0, eol);
    rest.remove_prefix(std::min(eol + 1, rest.size()));
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, tab);
    const std::string_view value = line.substr(tab + 1);
    if (tsvFieldFits(key, bounds) && tsvFieldFits(value, bounds))
      entries.push_back({std::string(key), std::string(value)});
  }
  if (entries.size() > bounds.maxEntries)
    entries.erase(entries.begin(), entries.end() - static_cast<std::ptrdiff_t>(bounds.maxEntries));
  return entries;
}

void saveTsv(const std::string& path, const std::vector<TsvEntry>& entries) {
  std::string text;
  for (const TsvEntry& e : entries) text += e.key + '\t' + e.value + '\n';
  files::makeParents(path);
  if (const files::Failure failed = files::replace(path, text); failed.failed())
    log::warning(audio::kEngineLog, "cannot write ", path, ": ", files::describe(failed));
}

bool updateTsv(const std::string& path, const TsvBounds& bounds,
               const std::function<void(std::vector<TsvEntry>&)>& change) {
  const state::StateLock lock = state::StateLock::take(path);
  if (!lock.held()) {
    log::warning(audio::kEngineLog, "cannot change ", path, ": ", lock.why());
    return false;
  }
  auto entries = loadTsv(path, bounds);
  if (!entries) return false;
  change(*entries);
  if (entries->size() > bounds.maxEntries)
    entries->erase(entries->begin(),
                   entries->end() - static_cast<std::ptrdiff_t>(bounds.maxEntries));
  saveTsv(path, *entries);
  return true;
}

std::string stateFilePath(std::string_view name) {
  const std::string& dir = files::stateDirectory();
  return dir.empty() ? std::string() : dir + '/' + std::string(name);
}

}  // namespace radiolist::audio
