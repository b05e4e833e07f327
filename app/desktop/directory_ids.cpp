#include "app/desktop/directory_ids.h"

#include <algorithm>
#include <fcntl.h>

#include "app/log_domain.h"
#include "files/file.h"
#include "playback/engine/state_file.h"
#include "playback/log/log.h"
#include "playback/log/thread_name.h"

namespace radiolist {

namespace {

constexpr std::size_t kMaxUuidBytes = 64;

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

bool plainAddress(std::string_view address) {
  return !address.empty() && address.size() <= kMaxDirectoryIdAddressBytes &&
         std::none_of(address.begin(), address.end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

bool directoryUuid(std::string_view uuid) {
  return !uuid.empty() && uuid.size() <= kMaxUuidBytes &&
         std::all_of(uuid.begin(), uuid.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') ||
                  c == '-';
         });
}

}  // namespace

void rememberDirectoryId(DirectoryIdList& ids, DirectoryId entry) {
  std::erase_if(ids, [&](const DirectoryId& id) { return id.address == entry.address; });
  ids.push_back(std::move(entry));
  if (ids.size() > kMaxDirectoryIds)
    ids.erase(ids.begin(),
              ids.begin() + static_cast<std::ptrdiff_t>(ids.size() - kMaxDirectoryIds));
}

DirectoryIdList parseDirectoryIds(std::string_view bytes) {
  DirectoryIdList ids;
  while (!bytes.empty()) {
    const std::size_t end = std::min(bytes.find('\n'), bytes.size());
    std::string_view line = bytes.substr(0, end);
    bytes.remove_prefix(std::min(end + 1, bytes.size()));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos) continue;
    const std::string_view address = trimmed(line.substr(0, tab));
    const std::string_view uuid = line.substr(tab + 1);
    if (!plainAddress(address) || address.find('\t') != std::string_view::npos ||
        !directoryUuid(uuid))
      continue;
    rememberDirectoryId(ids, {std::string(address), std::string(uuid)});
  }
  return ids;
}

std::string formatDirectoryIds(const DirectoryIdList& ids) {
  // The newest that fit, written oldest first.
  std::vector<const DirectoryId*> kept;
  std::size_t bytes = 0;
  for (auto it = ids.rbegin(); it != ids.rend() && kept.size() < kMaxDirectoryIds; ++it) {
    if (!plainAddress(it->address) || it->address.find('\t') != std::string::npos ||
        trimmed(it->address).size() != it->address.size() || !directoryUuid(it->uuid))
      continue;
    const std::size_t line = it->address.size() + 1 + it->uuid.size() + 1;
    if (bytes + line > kMaxDirectoryIdsBytes) break;
    bytes += line;
    kept.push_back(&*it);
  }
  std::string out;
  out.reserve(bytes);
  for (auto it = kept.rbegin(); it != kept.rend(); ++it)
    out.append((*it)->address).append(1, '\t').append((*it)->uuid).append(1, '\n');
  return out;
}

DirectoryIds::DirectoryIds(std::string path) : path_(std::move(path)) {
  disk_.setMaxThreadCount(1);
  disk_.setExpiryTimeout(2000);  // no thread waits while nothing is to be written
  if (!path_.empty()) disk_.start([this] { load(); });
}

DirectoryIds::~DirectoryIds() { disk_.waitForDone(); }

std::string DirectoryIds::defaultPath() {
  const std::string& dir = files::stateDirectory();
  return dir.empty() ? std::string() : dir + "/directory-ids.tsv";
}

std::optional<std::string> DirectoryIds::uuidFor(const std::string& address) const {
  const std::string_view wanted = trimmed(address);
  const std::lock_guard lock(mutex_);
  for (const DirectoryId& id : ids_)
    if (id.address == wanted) return id.uuid;
  return std::nullopt;
}

void DirectoryIds::remember(const std::string& address, const std::string& uuid) {
  const std::string_view key = trimmed(address);
  if (!plainAddress(key) || !directoryUuid(uuid)) return;
  change({{}, {std::string(key), uuid}});
}

void DirectoryIds::move(const std::string& from, const std::string& to) {
  const std::optional<std::string> uuid = uuidFor(from);
  const std::string_view key = trimmed(to);
  if (!uuid || !plainAddress(key)) return;
  change({std::string(trimmed(from)), {std::string(key), *uuid}});
}

void DirectoryIds::apply(DirectoryIdList& ids, const Change& change) {
  if (!change.forget.empty())
    std::erase_if(ids, [&](const DirectoryId& id) { return id.address == change.forget; });
  if (!change.keep.uuid.empty()) rememberDirectoryId(ids, change.keep);
}

void DirectoryIds::change(Change change) {
  {
    const std::lock_guard lock(mutex_);
    apply(ids_, change);
    pending_.push_back(std::move(change));
  }
  save();
}

void DirectoryIds::waitForDisk() { disk_.waitForDone(); }

namespace {
// The file's ids, read as the state files are (a regular file, never through a link); `ok` false
// when it exists and could not be read (then it is not written over either).
DirectoryIdList readIds(const std::string& path, bool& ok) {
  const files::Read read = files::readFile(path, kMaxDirectoryIdsBytes, files::Links::Refuse);
  ok = !read.failure.failed() || read.failure.missing();
  if (!ok)
    log::warning(kDesktopLog, "the directory ids are not read: ", path, ": ",
                 files::describe(read.failure));
  return ok ? parseDirectoryIds(read.bytes) : DirectoryIdList{};
}
}  // namespace

void DirectoryIds::load() {
  log::nameThisThread("rl-ids");
  bool ok = true;
  DirectoryIdList found = readIds(path_, ok);
  const std::lock_guard lock(mutex_);
  // What was changed while the file was read is newer than the file.
  for (const Change& change : pending_) apply(found, change);
  ids_ = std::move(found);
}

void DirectoryIds::save() {
  if (path_.empty()) return;
  disk_.start([this] {
    std::vector<Change> changes;
    {
      const std::lock_guard lock(mutex_);
      changes = std::exchange(pending_, {});
    }
    if (changes.empty()) return;  // an earlier task wrote them
    const state::StateLock held = state::StateLock::take(path_);
    bool ok = held.held();
    DirectoryIdList ids = ok ? readIds(path_, ok) : DirectoryIdList{};
    if (!ok) {
      log::warning(kDesktopLog, "the directory ids are not saved: ", path_, ": ",
                   held.held() ? "the file could not be read" : held.why());
      return;
    }
    for (const Change& change : changes) apply(ids, change);
    const files::Failure failure = files::replace(path_, formatDirectoryIds(ids));
    if (failure.failed())
      log::warning(kDesktopLog, "the directory ids are not saved: ", path_, ": ",
                   files::describe(failure));
    // What other programs remembered is known here from now on, with what changed meanwhile.
    const std::lock_guard lock(mutex_);
    for (const Change& change : pending_) apply(ids, change);
    ids_ = std::move(ids);
  });
}

}  // namespace radiolist
