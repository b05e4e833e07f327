// Finding stations in the directory over the bus, on the real program: three stand-in mirrors on
// loopback (tools/directory-server.py), the first never answering, the second answering 503, the
// third good; the station found plays from the loopback Icecast.

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/directory_stand_in.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using radiolist::test::e2e::occurrences;
using radiolist::test::e2e::readFile;
using radiolist::test::e2e::StandIn;

class FindStationsTest : public radiolist::test::e2e::BusProgramTest {
 protected:
  FindStationsTest() : BusProgramTest("find-stations") {}
  [[nodiscard]] Channels channels() const override {
    return {"AAC\r\n", servers().aacUrl() + "\r\n"};
  }
};

TEST_F(FindStationsTest, FindsPastBadMirrorsAddsOnceAndCountsTheClick) {
  const std::string tone = servers().mp3Url();
  StandIn hanging(dir_ / "hanging.log", {"--mode", "hang"});
  StandIn failing(dir_ / "failing.log", {"--mode", "status", "--status", "503"});
  StandIn good(dir_ / "good.log", {"--station", "Loopback Tone|" + tone + "|tone|Testland|MP3|128",
                                   "--station", "Loopback Tone Copy|" + tone});
  ASSERT_TRUE(hanging.started() && failing.started() && good.started());
  program_ =
      startIn(dir_, {},
              {{"RADIOLIST_DIRECTORY", hanging.base() + "," + failing.base() + "," + good.base()}});

  // The window opens, and nothing goes to the directory before a search.
  EXPECT_EQ(callProgram({"org.radiolist.Radiolist1.ShowFindStations"}).find("Error"),
            std::string::npos);
  std::this_thread::sleep_for(1s);
  EXPECT_TRUE(hanging.requests().empty() && failing.requests().empty() && good.requests().empty());

  const std::string found =
      callProgram({"org.radiolist.Radiolist1.FindStations", "string:Loopback Tone", "uint32:50"});
  // The two entries with one stream address come back as one station.
  EXPECT_EQ(occurrences(found, "\"" + tone + "\""), 1u) << found;
  EXPECT_NE(found.find("Loopback Tone"), std::string::npos) << found;
  EXPECT_NE(found.find(good.uuids().front()), std::string::npos) << found;
  EXPECT_NE(found.find("Testland"), std::string::npos) << found;

  const std::string names = readFile(dir_ / "Name.txt");
  const std::string added =
      callProgram({"org.radiolist.Radiolist1.AddStations", "array:string:" + tone});
  EXPECT_NE(added.find("uint32 1"), std::string::npos) << added;
  EXPECT_EQ(readFile(dir_ / "url.txt"), servers().aacUrl() + "\r\n" + tone + "\r\n");
  EXPECT_EQ(occurrences(readFile(dir_ / "Name.txt"), "\r\n"), occurrences(names, "\r\n") + 1);
  // Added again: no repeat in the list.
  callProgram({"org.radiolist.Radiolist1.AddStations", "array:string:" + tone});
  EXPECT_EQ(occurrences(readFile(dir_ / "url.txt"), tone), 1u);

  EXPECT_TRUE(good.waitForRequest("/json/url/" + good.uuids().front())) << "no click counted";
  ASSERT_TRUE(hanging.waitForRequest("GET /json/stations/search"));
  ASSERT_TRUE(failing.waitForRequest("GET /json/stations/search"));
  for (const StandIn* mirror : {&hanging, &failing, &good}) {
    for (const std::string& line : mirror->requests())
      EXPECT_NE(line.find("\tradiolist/"), std::string::npos) << line;
  }
}

TEST_F(FindStationsTest, NoMirrorAnsweringIsAnErrorWithItsReason) {
  StandIn failing(dir_ / "failing.log", {"--mode", "status", "--status", "503"});
  ASSERT_TRUE(failing.started());
  program_ = startIn(dir_, {}, {{"RADIOLIST_DIRECTORY", failing.base()}});
  const std::string answer =
      callProgram({"org.radiolist.Radiolist1.FindStations", "string:anything", "uint32:10"});
  EXPECT_NE(answer.find("org.radiolist.Radiolist1.Error.DirectoryUnreachable"), std::string::npos)
      << answer;
  EXPECT_NE(answer.find("503"), std::string::npos) << answer;
  EXPECT_FALSE(program_->waitFor(0ms).has_value()) << "the program must keep running";
}

}  // namespace
