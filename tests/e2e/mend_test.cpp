// Mending a station that moved, on the real program: a list line added from the directory (its
// id remembered in the state file, as "Add to list" leaves it) whose address on the loopback
// Icecast now answers 404, while the stand-in directory gives the station's new address, a live
// mount. The line is offered in MovedStations, and UseMovedStation rewrites that line alone.

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/directory_stand_in.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using radiolist::test::e2e::readFile;
using radiolist::test::e2e::StandIn;

const std::string kUuid = "0000aaaa-0000-4000-8000-00000000a0a0";

class MendTest : public radiolist::test::e2e::BusProgramTest {
 protected:
  MendTest() : BusProgramTest("mend") {}
  [[nodiscard]] std::string goneUrl() const {
    return servers().mountUrl("/moved-away.mp3");  // no such mount: 404
  }
  // The gone line first, so it is the channel that plays at the start.
  [[nodiscard]] Channels channels() const override {
    return {"Moved Radio\r\nAAC\r\n", goneUrl() + "\r\n" + servers().aacUrl() + "\r\n"};
  }
  std::string movedStations() {
    return callProgram({"org.freedesktop.DBus.Properties.Get", "string:org.radiolist.Radiolist1",
                        "string:MovedStations"});
  }
};

TEST_F(MendTest, AStationWhoseAddressIsGoneIsOfferedItsNewOneAndOnlyItsLineChanges) {
  const std::string live = servers().mp3Url();
  StandIn directory(dir_ / "directory.log",
                    {"--station", "Moved Radio|" + live + "|||||" + kUuid, "--station",
                     "Moved Radio|http://127.0.0.1:9/other-station-of-that-name"});
  ASSERT_TRUE(directory.started());
  fs::create_directories(dir_ / "state" / "radiolist");
  std::ofstream(dir_ / "state" / "radiolist" / "directory-ids.tsv", std::ios::binary)
      << goneUrl() << '\t' << kUuid << '\n';
  const std::string names = readFile(dir_ / "Name.txt");
  program_ = startIn(dir_, {}, {{"RADIOLIST_DIRECTORY", directory.base()}});

  // The gone address is looked up by its id, and the live mount it names now is offered. (A bound
  // for a loaded machine, not a figure: 404 at once, the directory and the check in seconds.)
  std::string offered;
  const auto end = std::chrono::steady_clock::now() + 40s;
  while (std::chrono::steady_clock::now() < end) {
    offered = movedStations();
    if (offered.find(live) != std::string::npos) break;
    std::this_thread::sleep_for(300ms);
  }
  ASSERT_NE(offered.find(live), std::string::npos) << offered;
  EXPECT_NE(offered.find("uint32 0"), std::string::npos) << offered;
  EXPECT_NE(offered.find(goneUrl()), std::string::npos) << offered;
  EXPECT_TRUE(directory.waitForRequest("/json/stations/byuuid?uuids=" + kUuid));
  for (const std::string& line : directory.requests())
    EXPECT_EQ(line.find("/json/stations/search"), std::string::npos) << "asked by its id: " << line;

  // Not an offer: an error, and nothing written.
  const std::string urls = readFile(dir_ / "url.txt");
  EXPECT_NE(callProgram({"org.radiolist.Radiolist1.UseMovedStation", "uint32:1"})
                .find("org.radiolist.Radiolist1.Error.NoSuchOffer"),
            std::string::npos);
  EXPECT_EQ(readFile(dir_ / "url.txt"), urls);

  const std::string used = callProgram({"org.radiolist.Radiolist1.UseMovedStation", "uint32:0"});
  EXPECT_EQ(used.find("Error"), std::string::npos) << used;
  EXPECT_EQ(readFile(dir_ / "url.txt"), live + "\r\n" + servers().aacUrl() + "\r\n");
  EXPECT_EQ(readFile(dir_ / "Name.txt"), names);
  EXPECT_EQ(movedStations().find(live), std::string::npos) << "the offer went";
  // The id went with the station to its new address.
  EXPECT_EQ(readFile(dir_ / "state" / "radiolist" / "directory-ids.tsv"),
            live + "\t" + kUuid + "\n");
  EXPECT_FALSE(program_->waitFor(0ms).has_value()) << "the program must keep running";
}

}  // namespace
