// Times load, save and count of large list files: 100,000 ordinary lines, and 100 lines of
// 100,000 characters each, in UTF-8, in CP1251, and as a CP1251 file read through the legacy
// fallback. Prints the median of several runs in milliseconds.
//
// Usage: bench_lists [directory]   (default: a new directory under the system's temp dir)

#include "channels/list_file.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using radiolist::CodePage;
using radiolist::ListLines;

namespace {

constexpr int kRuns = 7;

double medianMs(const std::function<void()>& body) {
  std::vector<double> times;
  for (int i = 0; i < kRuns; ++i) {
    const auto start = std::chrono::steady_clock::now();
    body();
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

ListLines manyLines() {
  ListLines lines;
  lines.reserve(100000);
  for (int i = 0; i < 100000; ++i) {
    const std::string n = std::to_string(i);
    lines.push_back(u"Радио станция " + std::u16string(n.begin(), n.end()) +
                    u" — http://radio.example/live");
  }
  return lines;
}

ListLines longLines() {
  std::u16string line;
  line.reserve(100000);
  while (line.size() < 100000) line += u"Длинная строка long line ";
  line.resize(100000);
  return ListLines(100, line);
}

void run(const char* what, const ListLines& lines, const fs::path& file, const CodePage& ansi,
         const CodePage& readAs) {
  const CodePage fallback = CodePage::legacyDefault();
  std::size_t loaded = 0;
  std::size_t counted = 0;
  const double save = medianMs([&] { radiolist::saveListFile(file, lines, ansi); });
  const double load =
      medianMs([&] { loaded = radiolist::loadListFile(file, readAs, fallback).size(); });
  const double count =
      medianMs([&] { counted = radiolist::countListFile(file, readAs, fallback); });
  std::printf("| %-44s | %9.1f MB | %8.1f | %8.1f | %8.1f |%s\n", what,
              static_cast<double>(fs::file_size(file)) / 1e6, save, load, count,
              loaded == lines.size() && counted == lines.size() ? "" : " LINE COUNT MISMATCH");
}

}  // namespace

int main(int argc, char** argv) {
  fs::path dir;
  if (argc > 1) {
    dir = argv[1];
  } else {
    std::string pattern = (fs::temp_directory_path() / "radiolist-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return 1;
    dir = pattern;
  }
  const CodePage utf8 = CodePage::utf8();
  const CodePage cp1251{"CP1251"};
  const ListLines many = manyLines();
  const ListLines wide = longLines();

  std::printf("median of %d runs, milliseconds\n\n", kRuns);
  std::printf("| %-44s | %12s | %8s | %8s | %8s |\n", "list", "file", "save", "load", "count");
  std::printf("|%s|%s|%s|%s|%s|\n", std::string(46, '-').c_str(), std::string(14, '-').c_str(),
              std::string(10, '-').c_str(), std::string(10, '-').c_str(),
              std::string(10, '-').c_str());
  run("100,000 lines, UTF-8", many, dir / "many-utf8.txt", utf8, utf8);
  run("100,000 lines, CP1251", many, dir / "many-cp1251.txt", cp1251, cp1251);
  run("100,000 lines, CP1251 read via the fallback", many, dir / "many-legacy.txt", cp1251, utf8);
  run("100 lines of 100,000 chars, UTF-8", wide, dir / "wide-utf8.txt", utf8, utf8);
  run("100 lines of 100,000 chars, CP1251", wide, dir / "wide-cp1251.txt", cp1251, cp1251);
  if (argc <= 1) fs::remove_all(dir);
  return 0;
}
