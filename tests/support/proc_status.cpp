#include "support/proc_status.h"

#include <dirent.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

namespace rl::test {

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

}  // namespace rl::test
