#include "support/proc_status.h"

#include <dirent.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace radiolist::test {

std::size_t threadCount() {
  std::size_t n = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* e = readdir(dir)) n += e->d_name[0] != '.';
    closedir(dir);
  }
  return n;
}

long statusKiB(const std::string& pid, const char* key) {
  std::ifstream in("/proc/" + pid + "/status");
  const std::size_t length = std::strlen(key);
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, length, key) == 0 && line.size() > length && line[length] == ':')
      return std::strtol(line.c_str() + length + 1, nullptr, 10);
  }
  return -1;
}

std::size_t udpSocketCount() {
  // The tables list every UDP socket of the network namespace; their inodes tell ours apart.
  std::set<std::string> udpInodes;
  for (const char* table : {"/proc/self/net/udp", "/proc/self/net/udp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // column names
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string field;
      for (int column = 0; column < 10 && fields >> field; ++column) {
      }
      if (fields) udpInodes.insert(field);  // the tenth column is the inode
    }
  }
  std::size_t n = 0;
  std::error_code error;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    const std::string target = std::filesystem::read_symlink(fd.path(), error).string();
    if (!error && target.starts_with("socket:[") && target.ends_with(']'))
      n += udpInodes.count(target.substr(8, target.size() - 9));
  }
  return n;
}

}  // namespace radiolist::test
