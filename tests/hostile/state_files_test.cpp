// The state files (titles.tsv, pages.tsv, loudness.tsv) as other programs of the same user, on
// other lists, and hostile hands use them: two programs changing them at once lose nothing, a
// compaction keeps what the other program wrote, and a link or pipe at a state file's path is
// refused, never followed or replaced.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFile>
#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>

#include "app/desktop/recent_titles.h"
#include "playback/engine/loudness.h"
#include "playback/engine/page_memory.h"
#include "playback/engine/state_file.h"

namespace {

using radiolist::RecentTitles;
using radiolist::audio::LoudnessMemory;
using radiolist::audio::PageMemory;

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The first TAB-separated field of each line.
std::set<std::string> keysIn(const std::string& path) {
  std::set<std::string> keys;
  std::istringstream lines(readAll(path));
  for (std::string line; std::getline(lines, line);) keys.insert(line.substr(0, line.find('\t')));
  return keys;
}

// How each memory of the library adds one entry for `key`, on its own object, as a program of
// its own would.
struct Memory {
  const char* file;
  std::function<void(const std::string& path, const std::string& key)> remember;
  std::function<bool(const std::string& path, const std::string& key)> knows;
};
const Memory kMemories[] = {
    {"pages.tsv",
     [](const std::string& path, const std::string& key) {
       PageMemory(path).remember(key, key + "/stream");
     },
     [](const std::string& path, const std::string& key) {
       return PageMemory(path).streamFor(key) == key + "/stream";
     }},
    {"loudness.tsv",
     [](const std::string& path, const std::string& key) {
       LoudnessMemory(path).remember(key, -20);
     },
     [](const std::string& path, const std::string& key) {
       return LoudnessMemory(path).loudnessFor(key) == -20.0;
     }},
};

// Two programs (processes of their own) each remember entries of their own in one file at the
// same time; every entry of both is there after, whatever the interleaving.
TEST(StateFilesTest, TwoProgramsRememberingAtOnceLoseNoEntry) {
  constexpr int kPerProgram = 40;
  for (const Memory& memory : kMemories) {
    SCOPED_TRACE(memory.file);
    QTemporaryDir dir;
    const std::string path = dir.filePath("state/radiolist/").toStdString() + memory.file;
    pid_t programs[2];
    for (int p = 0; p < 2; ++p) {
      programs[p] = ::fork();
      ASSERT_GE(programs[p], 0);
      if (programs[p] == 0) {
        for (int i = 0; i < kPerProgram; ++i)
          memory.remember(path, "http://p" + std::to_string(p) + "/" + std::to_string(i));
        ::_exit(0);
      }
    }
    for (const pid_t program : programs) {
      int status = 0;
      ASSERT_EQ(::waitpid(program, &status, 0), program);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const std::set<std::string> keys = keysIn(path);
    EXPECT_EQ(keys.size(), 2u * kPerProgram);
    for (int p = 0; p < 2; ++p)
      for (int i = 0; i < kPerProgram; ++i)
        EXPECT_TRUE(memory.knows(path, "http://p" + std::to_string(p) + "/" + std::to_string(i)))
            << "program " << p << ", entry " << i;
  }
}

// A program compacting titles.tsv keeps the titles another program appended since it read the
// file. (Two objects, each with its own opens of the file and its lock, are two programs to the
// file.)
TEST(StateFilesTest, ACompactionKeepsTheTitlesAnotherProgramWroteSince) {
  QTemporaryDir dir;
  const QString path = dir.filePath("titles.tsv");
  {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    for (int i = 1; i <= 1996; ++i)
      file.write(QByteArray::number(i) + "\tOld\t" + QByteArray::number(i) + '\n');
  }
  RecentTitles first(path);
  first.flush();  // it has read the file
  {
    RecentTitles second(path);
    second.flush();
    second.note(3000, "Second", "S1");
    second.note(3001, "Second", "S2");
    second.flush();
  }
  // 1998 lines now: the third note passes 2000 however the titles thread batches the three, so
  // the compaction comes with the last write.
  for (int i = 0; i < 3; ++i) first.note(4000 + i, "First", "F" + QString::number(i));
  first.flush();  // past 2000 lines: compacted
  const std::string bytes = readAll(path.toStdString());
  std::istringstream lines(bytes);
  std::vector<std::string> kept;
  for (std::string line; std::getline(lines, line);) kept.push_back(line);
  ASSERT_EQ(kept.size(), RecentTitles::kKeepLines) << "compacted";
  const std::vector<std::string> newest(kept.end() - 5, kept.end());
  EXPECT_EQ(newest,
            (std::vector<std::string>{"3000\tSecond\tS1", "3001\tSecond\tS2", "4000\tFirst\tF0",
                                      "4001\tFirst\tF1", "4002\tFirst\tF2"}));
  EXPECT_EQ(kept.front(), "1002\tOld\t1002");
}

// A symbolic link at a state file's path, or at its lock's, is refused by every state file: what
// it points to is neither read nor written, and the link stays a link.
TEST(StateFilesTest, ALinkAtAStateFilesPathIsRefusedAndLeftAsItIs) {
  const auto isLink = [](const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
  };
  for (const bool atLock : {false, true}) {
    for (const Memory& memory : kMemories) {
      SCOPED_TRACE(std::string(memory.file) + (atLock ? ": its lock" : ""));
      QTemporaryDir dir;
      const std::string path = dir.filePath(memory.file).toStdString();
      const std::string target = dir.filePath("elsewhere").toStdString();
      // What the target holds is a valid entry: following the link would find it.
      memory.remember(target, "http://known");
      const std::string before = readAll(target);
      ASSERT_NE(before, "");
      ASSERT_EQ(::symlink(target.c_str(), (atLock ? path + ".lock" : path).c_str()), 0);
      memory.remember(path, "http://new");
      EXPECT_EQ(readAll(target), before) << "the link's target is not written";
      EXPECT_TRUE(isLink(atLock ? path + ".lock" : path));
      if (!atLock) {
        EXPECT_FALSE(memory.knows(path, "http://known")) << "nor read";
      }
      EXPECT_FALSE(memory.knows(path, "http://new"));
    }
    SCOPED_TRACE(std::string("titles.tsv") + (atLock ? ": its lock" : ""));
    QTemporaryDir dir;
    const QString path = dir.filePath("titles.tsv");
    const std::string target = dir.filePath("elsewhere").toStdString();
    std::ofstream(target) << "1\tS\tknown\n";
    const std::string link = path.toStdString() + (atLock ? ".lock" : "");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    {
      RecentTitles titles(path);
      titles.flush();
      if (!atLock) {
        EXPECT_EQ(titles.newest(5).size(), 0) << "not read through the link";
      }
      EXPECT_TRUE(titles.note(2, "S", "new"));
      titles.flush();
    }
    EXPECT_EQ(readAll(target), "1\tS\tknown\n");
    EXPECT_TRUE(isLink(link));
  }
}

// A program that holds a state file's lock and does not let go delays a change only so long: it
// is then given up and the file is left as it is.
TEST(StateFilesTest, ALockHeldTooLongIsGivenUpAndTheFileLeftAsItIs) {
  QTemporaryDir dir;
  const std::string path = dir.filePath("pages.tsv").toStdString();
  PageMemory(path).remember("http://a", "http://a/stream");
  const std::string before = readAll(path);
  const radiolist::state::StateLock holder = radiolist::state::StateLock::take(path);
  ASSERT_TRUE(holder.held());
  EXPECT_FALSE(radiolist::state::StateLock::take(path, std::chrono::milliseconds(20)).held());
  PageMemory(path).remember("http://b", "http://b/stream");
  EXPECT_EQ(readAll(path), before);
}

}  // namespace
