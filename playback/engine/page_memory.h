#pragma once
// The stream found in a station's page, remembered per page address, so that the next start of
// the page goes straight to its stream. Kept in one small text file: a line per page, the page's
// address, a TAB, the stream's address; the newest line last. Bounded: kMaxEntries lines (the
// oldest dropped), kMaxFieldBytes an address (longer ones are not remembered).
//
// Threads: any thread but the window's (each call reads, and remember() writes, the file); calls
// from several sources' decoder threads are serialised by the object.

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace radiolist::audio {

class PageMemory {
 public:
  static constexpr std::size_t kMaxEntries = 500;
  static constexpr std::size_t kMaxFieldBytes = 1024;

  // `path` of the file; "" remembers nothing.
  explicit PageMemory(std::string path) : path_(std::move(path)) {}

  // $XDG_STATE_HOME/radiolist/pages.tsv, else ~/.local/state/radiolist/pages.tsv; "" when
  // neither is known.
  static std::string defaultPath();

  // The stream remembered for `page`, nothing when there is none (or the file cannot be read:
  // a file that is not a regular file is refused at once, and said so).
  [[nodiscard]] std::optional<std::string> streamFor(std::string_view page);
  // Remembers `stream` for `page` in place of what was; the file is replaced as a whole (a
  // temporary file renamed over it), so it is either the old one or the new one. Errors are
  // told in the engine's log; nothing else happens.
  void remember(std::string_view page, std::string_view stream);
  // Forgets what was remembered for `page` (it plays by itself now), the same way.
  void forget(std::string_view page);

  void setPath(std::string path);

 private:
  std::mutex mutex_;
  std::string path_;  // guarded by mutex_
};

}  // namespace radiolist::audio
