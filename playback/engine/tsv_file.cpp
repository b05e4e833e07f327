#include "playback/engine/tsv_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

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
  const state::Opened file = state::openStateFile(path, O_RDONLY);
  if (!file.why.empty()) {
    log::warning(log::Domain::Engine, path, " left alone: ", file.why);
    return std::nullopt;
  }
  if (file.fd.get() < 0) return entries;  // not there yet
  const state::Fd& fd = file.fd;
  const struct stat& st = file.st;
  if (static_cast<std::size_t>(st.st_size) > maxFileBytes) {
    log::warning(log::Domain::Engine, path, " is larger than its bound: left alone");
    return std::nullopt;
  }
  // One byte more than it holds tells that it grew meanwhile (then it was not ours to read).
  std::string text(std::min(maxFileBytes, static_cast<std::size_t>(st.st_size)) + 1, '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(fd.get(), text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      log::warning(log::Domain::Engine, "cannot read ", path, ": ", state::errorText(errno));
      return std::nullopt;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got == text.size()) return std::nullopt;
  text.resize(got);
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
  if (const std::string why = state::replaceStateFile(path, text); !why.empty())
    log::warning(log::Domain::Engine, "cannot write ", path, ": ", why);
}

bool updateTsv(const std::string& path, const TsvBounds& bounds,
               const std::function<void(std::vector<TsvEntry>&)>& change) {
  const state::StateLock lock = state::StateLock::take(path);
  if (!lock.held()) {
    log::warning(log::Domain::Engine, "cannot change ", path, ": ", lock.why());
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
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/')
    return std::string(state) + "/radiolist/" + std::string(name);
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/')
    return std::string(home) + "/.local/state/radiolist/" + std::string(name);
  return {};
}

}  // namespace radiolist::audio
