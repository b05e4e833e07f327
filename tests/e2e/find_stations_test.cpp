// Finding stations in the directory over the bus, on the real program: three stand-in mirrors on
// loopback (tools/directory-server.py), the first never answering, the second answering 503, the
// third good; the station found plays from the loopback Icecast.

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/bus_program.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using radiolist::test::ChildProcess;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// One stand-in mirror: its port, the uuids of the stations given with --station, and its log of
// requests (request line, tab, User-Agent).
class StandIn {
 public:
  StandIn(const fs::path& log, std::vector<std::string> args) : log_(log) {
    std::vector<std::string> argv = {
        "python3",   RL_DIRECTORY_SERVER_PY, "--port", "0", "--stations", "2000", "--log",
        log.string()};
    const auto added = static_cast<long>(std::count(args.begin(), args.end(), "--station"));
    expectedUuids_ = added;
    argv.insert(argv.end(), args.begin(), args.end());
    child_ = std::make_unique<ChildProcess>(ChildProcess::Options{argv, {}, true});
    std::string out;
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (std::count(out.begin(), out.end(), '\n') < 1 + added &&
           std::chrono::steady_clock::now() < end) {
      pollfd pfd{child_->stdoutFd(), POLLIN, 0};
      if (::poll(&pfd, 1, 1000) <= 0) continue;
      char buf[4096];
      const ssize_t n = ::read(child_->stdoutFd(), buf, sizeof buf);
      if (n <= 0) break;
      out.append(buf, static_cast<std::size_t>(n));
    }
    std::istringstream lines(out);
    for (std::string word; lines >> word;) {
      if (word == "PORT") lines >> port_;
      if (word == "UUID") {
        std::string uuid;
        lines >> uuid;
        uuids_.push_back(uuid);
        std::getline(lines, word);
      }
    }
  }
  ~StandIn() { child_->terminate(); }

  [[nodiscard]] bool started() const {
    return port_ != 0 && uuids_.size() == static_cast<std::size_t>(expectedUuids_);
  }
  [[nodiscard]] std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  [[nodiscard]] const std::vector<std::string>& uuids() const { return uuids_; }
  [[nodiscard]] std::vector<std::string> requests() const {
    std::vector<std::string> out;
    std::ifstream in(log_);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }
  // Waits (at most 10 s: a bound for a loaded machine, not a figure) for a request holding `part`.
  [[nodiscard]] bool waitForRequest(const std::string& part) const {
    for (int i = 0; i < 200; ++i) {
      for (const std::string& line : requests())
        if (line.find(part) != std::string::npos) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }

 private:
  fs::path log_;
  std::unique_ptr<ChildProcess> child_;
  int port_ = 0;
  long expectedUuids_ = 0;
  std::vector<std::string> uuids_;
};

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
