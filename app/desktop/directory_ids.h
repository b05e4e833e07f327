#pragma once
// The directory id of each station added to the list from the directory's search, by its
// address, so that a station whose address dies can be looked up again by its id. Kept in
// directory-ids.tsv in the program's state directory: one "address TAB id" line per station,
// the newest last, at most kMaxEntries lines and kMaxFileBytes (the oldest dropped first).
// The file is read when the program starts and written after each change, both on a thread of the
// store's own; the window's thread only looks up and changes the copy in memory. Every program of
// the user shares the file: as with the other state files (state_file.h), a change is made under
// the file's lock, to the file as read again under it, so no program writes over another's ids.

#include <QThreadPool>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace radiolist {

struct DirectoryId {
  std::string address;
  std::string uuid;
  friend bool operator==(const DirectoryId&, const DirectoryId&) = default;
};
using DirectoryIdList = std::vector<DirectoryId>;  // oldest first, one per address

inline constexpr std::size_t kMaxDirectoryIds = 5000;
inline constexpr std::size_t kMaxDirectoryIdsBytes = std::size_t{1} << 20;
inline constexpr std::size_t kMaxDirectoryIdAddressBytes = 2048;

// The entries of a file's bytes: lines that are not an address (one line, no TAB, at most
// kMaxDirectoryIdAddressBytes) and a directory id (hex digits and '-', 1 to 64) are passed over;
// a later line for an address replaces the earlier one; at most the newest kMaxDirectoryIds.
[[nodiscard]] DirectoryIdList parseDirectoryIds(std::string_view bytes);
// The bytes of a file holding the newest of `ids` that fit kMaxDirectoryIds and
// kMaxDirectoryIdsBytes; entries that could not be read back are left out.
[[nodiscard]] std::string formatDirectoryIds(const DirectoryIdList& ids);
// Adds or moves `entry` to the newest place and drops the oldest past kMaxDirectoryIds.
void rememberDirectoryId(DirectoryIdList& ids, DirectoryId entry);

class DirectoryIds {
 public:
  // Reads `path` on the store's thread at once; "" keeps the ids in memory only.
  explicit DirectoryIds(std::string path);
  // Waits for the last write.
  ~DirectoryIds();
  DirectoryIds(const DirectoryIds&) = delete;
  DirectoryIds& operator=(const DirectoryIds&) = delete;

  // state directory/directory-ids.tsv, "" when there is no state directory.
  [[nodiscard]] static std::string defaultPath();

  // The id remembered for `address` (as the list line holds it, blanks around it aside).
  [[nodiscard]] std::optional<std::string> uuidFor(const std::string& address) const;
  // Remembers `uuid` for `address` (nothing for an entry the file could not hold).
  void remember(const std::string& address, const std::string& uuid);
  // The station at `from` is now at `to`: its id goes with it.
  void move(const std::string& from, const std::string& to);
  // Waits until what was asked of the store's thread is done (for tests).
  void waitForDisk();

 private:
  // One change of the ids: `forget` (when not empty) goes, then `keep` (when it has an id) is
  // remembered.
  struct Change {
    std::string forget;
    DirectoryId keep;
  };
  void change(Change change);
  static void apply(DirectoryIdList& ids, const Change& change);
  void load();
  void save();

  std::string path_;
  mutable std::mutex mutex_;
  DirectoryIdList ids_;          // under mutex_
  std::vector<Change> pending_;  // under mutex_: made in memory, not yet on disk
  QThreadPool disk_;             // one thread: the read first, then the writes in order
};

}  // namespace radiolist
