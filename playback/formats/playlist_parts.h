#pragma once
// Shared by the playlist readers; not part of the library's interface.

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace radiolist::formats::detail {

// Collects resolved entries in order, up to `limit`, leaving out what does not resolve.
class EntryCollector {
 public:
  EntryCollector(std::string_view base, std::size_t limit) : base_(base), limit_(limit) {}
  void add(std::string_view reference);
  // ASX's <base href>: later relative entries resolve against it.
  void rebase(std::string_view reference);
  [[nodiscard]] bool full() const;
  [[nodiscard]] std::vector<std::string> take() { return std::move(entries_); }

 private:
  std::string base_;
  std::size_t limit_;
  std::vector<std::string> entries_;
};

// The readers of the XML formats; `text` is UTF-8 without a byte-order mark.
void readXspf(std::string_view text, EntryCollector& entries);
void readAsx(std::string_view text, EntryCollector& entries);

}  // namespace radiolist::formats::detail
