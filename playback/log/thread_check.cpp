#include "playback/log/thread_check.h"

#include <cstdio>
#include <cstdlib>

namespace radiolist::log {

void ThreadCheck::fail(const std::source_location& where) {
  std::fprintf(
      stderr,
      "radiolist: thread check failed: %s (%s:%u) called on a thread it does not belong to\n",
      where.function_name(), where.file_name(), static_cast<unsigned>(where.line()));
  std::abort();
}

}  // namespace radiolist::log
