#pragma once
// Names the calling thread for the system's tools (top -H, ps -L, gdb, /proc/<pid>/task/*/comm):
// every thread of the program would otherwise show the program's own name. Called first thing
// in each thread's function, since a name set from outside races the thread's start.

#include <string>

namespace radiolist::log {

// The kernel keeps 15 bytes of a thread's name; a longer name is cut there.
inline constexpr std::size_t kThreadNameBytes = 15;

void nameThisThread(const char* name);

// The calling thread's name as the system shows it; empty when it cannot be read.
[[nodiscard]] std::string thisThreadName();

}  // namespace radiolist::log
