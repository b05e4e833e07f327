#include "playback/log/thread_name.h"

#include <pthread.h>

#include <array>
#include <cstring>

namespace radiolist::log {

void nameThisThread(const char* name) {
  std::array<char, kThreadNameBytes + 1> cut{};
  std::strncpy(cut.data(), name, kThreadNameBytes);  // pthread_setname_np refuses longer names
  pthread_setname_np(pthread_self(), cut.data());
}

std::string thisThreadName() {
  std::array<char, kThreadNameBytes + 1> name{};
  if (pthread_getname_np(pthread_self(), name.data(), name.size()) != 0) return {};
  return name.data();
}

}  // namespace radiolist::log
