#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "playback/engine/page_memory.h"

namespace radiolist::audio {
namespace {

class PageMemoryTest : public testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/rl-pages-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string dir_;
};

TEST_F(PageMemoryTest, KeepsTheLatestStreamPerPageBoundedOldestDropped) {
  const std::string path = dir_ + "/state/radiolist/pages.tsv";
  PageMemory memory(path);
  EXPECT_EQ(memory.streamFor("http://p/0"), std::nullopt);
  for (std::size_t i = 0; i <= PageMemory::kMaxEntries; ++i)
    memory.remember("http://p/" + std::to_string(i), "http://s/" + std::to_string(i));
  memory.remember("http://p/1", "http://s/new");
  memory.remember("http://p/2", std::string(PageMemory::kMaxFieldBytes + 1, 'x'));  // not kept
  memory.remember("http://p/3", "http://s/a\tb");                                   // not kept
  EXPECT_EQ(memory.streamFor("http://p/0"), std::nullopt);
  EXPECT_EQ(memory.streamFor("http://p/1"), "http://s/new");
  EXPECT_EQ(memory.streamFor("http://p/2"), "http://s/2");
  EXPECT_EQ(memory.streamFor("http://p/3"), "http://s/3");
  std::ifstream in(path);
  std::string line;
  std::string last;
  std::size_t lines = 0;
  for (; std::getline(in, line); ++lines) last = line;
  EXPECT_EQ(lines, PageMemory::kMaxEntries);
  EXPECT_EQ(last, "http://p/1\thttp://s/new");  // the newest last
}

TEST_F(PageMemoryTest, AFifoInTheFilesPlaceIsRefusedAtOnceAndLeftAlone) {
  const std::string path = dir_ + "/pages.tsv";
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  PageMemory memory(path);
  memory.remember("http://p/", "http://s/");  // would block forever on a FIFO opened blocking
  EXPECT_EQ(memory.streamFor("http://p/"), std::nullopt);
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

}  // namespace
}  // namespace radiolist::audio
