// Figures of a running process from /proc, for tests and benchmarks that watch for growth.
#pragma once

#include <cstddef>
#include <string>

namespace radiolist::test {

// The threads of this process.
[[nodiscard]] std::size_t threadCount();

// The value of the line `key` (e.g. "VmRSS", "VmHWM") of /proc/<pid>/status, in KiB; pid "self"
// is this process. -1 when the process or the line is not there.
[[nodiscard]] long statusKiB(const std::string& pid, const char* key);

// The UDP sockets (IPv4 and IPv6) among this process's open files.
[[nodiscard]] std::size_t udpSocketCount();

}  // namespace radiolist::test
