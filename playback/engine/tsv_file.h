#pragma once
// The small state files the library keeps per address (pages.tsv, loudness.tsv): a line per
// address, the address, a TAB, its value; the newest line last. Bounded by the caller's limits;
// a file that is not a regular file, or larger than the bounds allow, is left alone.
//
// Threads: any thread but the window's (they read and write the disk); callers serialise access
// to one file themselves.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace radiolist::audio {

struct TsvEntry {
  std::string key;
  std::string value;
};

struct TsvBounds {
  std::size_t maxEntries;
  std::size_t maxFieldBytes;
};

// Whether `field` can be a key or value of a file with these bounds (no TAB or line break).
[[nodiscard]] bool tsvFieldFits(std::string_view field, const TsvBounds& bounds);

// The entries in the file, oldest first (only the newest maxEntries); nullopt when the file is
// there but unusable (not a regular file, unreadable, too large), said in the engine's log. A
// FIFO or device is refused without waiting on it.
std::optional<std::vector<TsvEntry>> loadTsv(const std::string& path, const TsvBounds& bounds);

// Replaces the file as a whole (a temporary file renamed over it), making missing directories
// private to the user; errors are told in the engine's log. Without the lock: updateTsv's part.
void saveTsv(const std::string& path, const std::vector<TsvEntry>& entries);

// Under the file's lock, reads the entries as they are now, lets `change` change them, keeps the
// newest maxEntries and writes them back. False, said in the engine's log, when the lock could
// not be had in time or the file is unusable: then nothing is written.
bool updateTsv(const std::string& path, const TsvBounds& bounds,
               const std::function<void(std::vector<TsvEntry>&)>& change);

// $XDG_STATE_HOME/radiolist/<name>, else ~/.local/state/radiolist/<name>; "" when neither is
// known.
std::string stateFilePath(std::string_view name);

}  // namespace radiolist::audio
