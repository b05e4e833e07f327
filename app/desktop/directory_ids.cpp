#include "app/desktop/directory_ids.h"

#include <algorithm>
#include <fcntl.h>

#include "app/log_domain.h"
#include "files/file.h"
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
  {
    const std::lock_guard lock(mutex_);
    rememberDirectoryId(ids_, {std::string(key), uuid});
  }
  save();
}

void DirectoryIds::move(const std::string& from, const std::string& to) {
  const std::optional<std::string> uuid = uuidFor(from);
  if (!uuid) return;
  {
    const std::lock_guard lock(mutex_);
    const std::string_view old = trimmed(from);
    std::erase_if(ids_, [&](const DirectoryId& id) { return id.address == old; });
  }
  remember(to, *uuid);
}

void DirectoryIds::waitForDisk() { disk_.waitForDone(); }

void DirectoryIds::load() {
  log::nameThisThread("rl-ids");
  const files::Read read = files::readFile(path_, kMaxDirectoryIdsBytes, files::Links::Follow);
  if (read.failure.failed() && !read.failure.missing())
    log::warning(kDesktopLog, "the directory ids are not read: ", path_, ": ",
                 files::describe(read.failure));
  DirectoryIdList found = parseDirectoryIds(read.bytes);
  const std::lock_guard lock(mutex_);
  // What was remembered while the file was read is newer than the file.
  for (DirectoryId& id : ids_) rememberDirectoryId(found, std::move(id));
  ids_ = std::move(found);
}

void DirectoryIds::save() {
  if (path_.empty()) return;
  disk_.start([this] {
    std::string bytes;
    {
      const std::lock_guard lock(mutex_);
      bytes = formatDirectoryIds(ids_);
    }
    files::makeParents(path_);
    const files::Failure failure = files::replace(path_, bytes);
    if (failure.failed())
      log::warning(kDesktopLog, "the directory ids are not saved: ", path_, ": ",
                   files::describe(failure));
  });
}

}  // namespace radiolist
