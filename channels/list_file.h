#pragma once
// Channel list files (Name.txt, url.txt): the byte format and the three file operations.
//
// Written format: every line followed by CR LF, in the ANSI code page, no byte-order mark; an
// empty list is an empty file. Read format: a byte-order mark picks UTF-16LE (FF FE), UTF-16BE
// (FE FF) or UTF-8 (EF BB BF); without one the ANSI page is used, and when that page is UTF-8
// and the bytes are not valid UTF-8, the legacy fallback page. The text is then cut into lines
// at CR LF, lone CR, lone LF (LF CR starts an empty line); a final break adds no line and the
// first NUL character ends the text.
//
// Nothing here keeps state; every call may come from any thread.

#include "text/code_page.h"

#include <cstddef>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <string_view>
#include <vector>

namespace radiolist {

using ListLines = std::vector<std::u16string>;

// What the file operations throw. what() is UTF-8 and is the whole user-facing message:
//   Cannot open file "<full path>". <system error text>      (load, count)
//   Cannot create file "<full path>". <system error text>    (save)
//   Stream write error                                       (save: writing failed part way)
// The system error text is strerror's, without trailing blanks, line breaks and full stops.
class ListFileError : public std::runtime_error {
 public:
  explicit ListFileError(const std::string& message, int error = 0, std::string path = {})
      : std::runtime_error(message), error_(error), path_(std::move(path)) {}
  // The errno value behind "Cannot open file" and "Cannot create file" (ENOENT: the file is
  // missing), 0 for the rest.
  [[nodiscard]] int error() const { return error_; }
  // The full path the message names, UTF-8; "" for "Stream write error".
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  int error_;
  std::string path_;
};

// Bytes of a whole file to its lines. A UTF-8 file with a byte-order mark keeps every line even
// when it holds malformed sequences: each bad sequence reads as U+FFFD.
[[nodiscard]] ListLines decodeListBytes(std::string_view bytes, const CodePage& ansi,
                                        const CodePage& legacyFallback);

// The number of lines decodeListBytes() would give, without building them.
[[nodiscard]] std::size_t countListBytes(std::string_view bytes, const CodePage& ansi,
                                         const CodePage& legacyFallback);

// Lines to the bytes of a file as saved.
[[nodiscard]] std::string encodeListBytes(std::span<const std::u16string> lines,
                                          const CodePage& ansi);

// encodeListBytes(lines, ansi).size(), counted without the bytes in UTF-8.
[[nodiscard]] std::size_t encodedListSize(std::span<const std::u16string> lines,
                                          const CodePage& ansi);

// The largest list file that loadListFile() and countListFile() read. A channel is a line of
// some 20 to 200 bytes in each file, so this is far more channels than anyone listens to (the
// public station directories come to a few megabytes; a million short lines, 17 MB, still fit).
// What it bounds is memory: every line becomes a string of its own, so a file of nothing but
// line breaks grows about 32-fold once loaded, and the limit keeps even that near a gibibyte
// rather than letting a huge file, or one that never ends, take it all.
inline constexpr std::size_t kMaxListFileBytes = std::size_t{32} << 20;

// Reads the whole file anew. Throws ListFileError ("Cannot open file ...") when it is missing or
// unreadable, when it is not a regular file ("Is a directory"; "Invalid argument" for a pipe,
// device or socket, which are refused without waiting on them) and when it is larger than
// kMaxListFileBytes ("File too large"). Symbolic links are followed as for saveListFile().
[[nodiscard]] ListLines loadListFile(const std::filesystem::path& path, const CodePage& ansi,
                                     const CodePage& legacyFallback);

// The number of lines loadListFile() would give; throws as loadListFile() does.
[[nodiscard]] std::size_t countListFile(const std::filesystem::path& path, const CodePage& ansi,
                                        const CodePage& legacyFallback);

// Replaces the file's content with the lines. Writes a temporary file beside it, syncs it and
// renames it over the old file, so a failure never leaves a truncated or half-written list:
// the old file keeps its content and no temporary file stays behind. The old file's permission
// bits, without set-ID and sticky bits, (and, where allowed, owner) carry over; the temporary
// file is never wider than that. A new file gets 0666 minus the umask. A symbolic link stays a
// link and its target receives the content, but a link in a sticky world-writable directory
// (/tmp) is followed only when it is the caller's or the directory owner's, as the kernel's
// fs.protected_symlinks rule has it, whether that setting is on or not ("Permission denied").
// Throws ListFileError: "Cannot create file ..." when the file may not be written (read-only
// file, unwritable directory, anything but a regular file of that name) and when the lines come
// to more than kMaxListFileBytes ("File too large": a list is never saved that could not be read
// back), "Stream write error" when writing fails part way (disk full, file size limit).
void saveListFile(const std::filesystem::path& path, std::span<const std::u16string> lines,
                  const CodePage& ansi);

}  // namespace radiolist
