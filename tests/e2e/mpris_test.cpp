// The desktop's media controls on the real program: a private session bus, dbus-send as the
// desktop, the program playing loopback Icecast2 streams, the sound checked at the sink.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <vector>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/child_process.h"
#include "support/signal_analysis.h"
#include "support/sink_recorder.h"
#include "support/test_servers.h"
#include "tests/e2e/bus_program.h"
#include "tests/e2e/listening.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using radiolist::test::ChildProcess;
using radiolist::test::toneShare;

namespace {

using radiolist::test::e2e::drain;
using radiolist::test::e2e::kService;
using radiolist::test::e2e::only440;
using radiolist::test::e2e::only880;
using radiolist::test::e2e::silent;

class MprisTest : public radiolist::test::e2e::BusProgramTest {
 protected:
  MprisTest() : BusProgramTest("mpris") {}
  [[nodiscard]] Channels channels() const override {
    return {"Первый\r\nSecond\r\n", servers().mp3Url() + "\r\n" + servers().aacUrl() + "\r\n"};
  }
};

TEST_F(MprisTest, MediaKeysAndMetadataFollowTheRealPlayer) {
  startProgram();
  ASSERT_TRUE(listenFor(only440, 3s));
  ASSERT_TRUE(propertyContains("PlaybackStatus", "\"Playing\"", 3s));
  EXPECT_TRUE(propertyContains("Metadata", "Test Radio 440", 6s)) << property("Metadata");
  EXPECT_TRUE(propertyContains("Metadata", "Test Artist - Tone 440", 3s)) << property("Metadata");
  EXPECT_NE(property("CanGoNext").find("true"), std::string::npos);
  EXPECT_NE(property("CanGoPrevious").find("false"), std::string::npos);

  // The media key pauses (receiving on) and plays on; Stop is the window's stop.
  call("PlayPause");
  EXPECT_TRUE(listenFor(silent, 2s)) << "PlayPause pauses what is heard";
  EXPECT_TRUE(propertyContains("PlaybackStatus", "\"Paused\"", 3s));
  call("PlayPause");
  EXPECT_TRUE(listenFor(only440, 3s)) << "PlayPause plays on";
  EXPECT_TRUE(propertyContains("PlaybackStatus", "\"Playing\"", 3s));
  call("Stop");
  EXPECT_TRUE(listenFor(silent, 2s));
  EXPECT_TRUE(propertyContains("PlaybackStatus", "\"Stopped\"", 3s));
  call("Play");
  EXPECT_TRUE(listenFor(only440, 3s)) << "Play starts again";

  call("Next");
  EXPECT_TRUE(listenFor(only880, 4s)) << "Next plays the second channel";
  EXPECT_TRUE(propertyContains("Metadata", "Test Radio 880", 6s)) << property("Metadata");
  call("Next");  // at the end of the list nothing happens
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(listenFor(only880, 2s));
  call("Previous");
  EXPECT_TRUE(listenFor(only440, 4s)) << "Previous goes back to the first channel";

  call("Stop");
  EXPECT_TRUE(listenFor(silent, 2s));
  std::this_thread::sleep_for(1500ms);  // time for the signals to reach the monitor
  std::string signals;
  drain(monitor_->stdoutFd(), signals);
  EXPECT_NE(signals.find("PropertiesChanged"), std::string::npos);
  EXPECT_NE(signals.find("\"Stopped\""), std::string::npos) << signals;
  EXPECT_NE(signals.find("Test Radio 880"), std::string::npos) << "metadata changes are signalled";

  std::string root = send(
      {"org.freedesktop.DBus.Properties.Get", "string:org.mpris.MediaPlayer2", "string:Identity"});
  EXPECT_NE(root.find("radiolist"), std::string::npos) << root;
}

// The program's own interface beside the media controls: the titles heard (also in the state
// file, once each) and the sleep timer, which fades the sound out and stops it.
TEST_F(MprisTest, RecentTitlesAndTheSleepTimerOverTheBus) {
  startProgram();
  ASSERT_TRUE(listenFor(only440, 3s));
  const std::string& path = radiolist::test::e2e::kProgramPath;
  const auto titles = [&] {
    return send({"org.radiolist.Radiolist1.RecentTitles", "uint32:5"}, path);
  };
  const auto end = std::chrono::steady_clock::now() + 8s;
  while (titles().find("Test Artist - Tone 440") == std::string::npos &&
         std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(200ms);
  const std::string reply = titles();
  EXPECT_NE(reply.find("Test Artist - Tone 440"), std::string::npos) << reply;
  EXPECT_NE(reply.find("Test Radio 440"), std::string::npos) << reply;
  std::this_thread::sleep_for(2500ms);  // more polls of the same title
  std::ifstream file(dir_ / "state" / "radiolist" / "titles.tsv");
  std::string line;
  int lines = 0;
  while (std::getline(file, line)) {
    ++lines;
    EXPECT_NE(line.find("\tTest Radio 440\tTest Artist - Tone 440"), std::string::npos) << line;
  }
  EXPECT_EQ(lines, 1);

  static double full = 0;  // the tone's level before the timer (listenFor takes no captures)
  full = radiolist::test::rms(recorder_->last(500ms));
  ASSERT_GT(full, 0.01);
  send({"org.radiolist.Radiolist1.SleepAfter", "uint32:3"}, path);
  const std::string left = send({"org.freedesktop.DBus.Properties.Get",
                                 "string:org.radiolist.Radiolist1", "string:SleepRemaining"},
                                path);
  EXPECT_TRUE(left.find("uint32 3") != std::string::npos ||
              left.find("uint32 2") != std::string::npos)
      << left;
  // A 3 s timer is all fade: it starts at a tenth of the volume.
  EXPECT_TRUE(listenFor(
      [](std::span<const float> s) {
        const double level = radiolist::test::rms(s);
        return toneShare(s, 440, radiolist::test::e2e::kRate) > 0.5 && level > 1e-3 &&
               level < 0.2 * full;
      },
      3s))
      << "the sound fades before it ends";
  EXPECT_TRUE(listenFor(silent, 4s)) << "the sleep timer ends the sound";
  // Near its end the fade is below what counts as silence: the stop itself follows.
  const auto remaining = [&] {
    return send({"org.freedesktop.DBus.Properties.Get", "string:org.radiolist.Radiolist1",
                 "string:SleepRemaining"},
                path);
  };
  const auto until = std::chrono::steady_clock::now() + 3s;
  while (remaining().find("uint32 0") == std::string::npos &&
         std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(100ms);
  EXPECT_NE(remaining().find("uint32 0"), std::string::npos);
  EXPECT_TRUE(listenFor(silent, 2s)) << "stopped";
  call("Play");
  EXPECT_TRUE(listenFor(
      [](std::span<const float> s) { return only440(s) && radiolist::test::rms(s) > 0.8 * full; },
      4s))
      << "played again at full volume";
}

// Saving the song on air: from its title change until the next one, the stream's own MP3 with
// the title, artist and station in its tags. A ';' inside the title is the title's own: the media
// controls, the titles heard and the file show it whole (only the window's label cuts there).
TEST_F(MprisTest, SaveSongWritesTheSongOnAirUntilTheTitleChanges) {
  startProgram();
  ASSERT_TRUE(listenFor(only440, 3s));
  const std::string& path = radiolist::test::e2e::kProgramPath;
  struct RestoreTitle {
    const radiolist::test::TestServers& servers;
    ~RestoreTitle() { (void)servers.setIcecastTitle("/tone440.mp3", "Test Artist - Tone 440"); }
  } restore{servers()};
  ASSERT_EQ(servers().setIcecastTitle("/tone440.mp3", "Saved Artist - Rock;Roll/Song"), "");
  ASSERT_TRUE(propertyContains("Metadata", "Saved Artist - Rock;Roll/Song", 8s));
  const std::string heard = send({"org.radiolist.Radiolist1.RecentTitles", "uint32:1"}, path);
  EXPECT_NE(heard.find("Saved Artist - Rock;Roll/Song"), std::string::npos) << heard;
  std::this_thread::sleep_for(2s);

  const std::string reply = send({"org.radiolist.Radiolist1.SaveSong"}, path);
  const fs::path song = dir_ / "music" / "radiolist" / "Saved Artist - Rock;Roll_Song.mp3";
  EXPECT_NE(reply.find(song.string()), std::string::npos) << reply;
  ASSERT_TRUE(fs::exists(song));
  const auto sizeNow = [&] { return fs::file_size(song); };
  // What was kept since the title change goes in at the next packet the stream brings.
  for (int i = 0; i < 20 && sizeNow() < 32000; ++i) std::this_thread::sleep_for(50ms);
  const auto before = sizeNow();
  EXPECT_GE(before, 32000u) << "the song's first two seconds, from its title change";
  std::this_thread::sleep_for(2s);
  EXPECT_GT(sizeNow(), before + 16000) << "the file grows while the song plays";

  ASSERT_EQ(servers().setIcecastTitle("/tone440.mp3", "Next - Song"), "");
  ASSERT_TRUE(propertyContains("Metadata", "Next - Song", 8s));
  std::this_thread::sleep_for(1s);
  const auto ended = sizeNow();
  std::this_thread::sleep_for(2s);
  EXPECT_EQ(sizeNow(), ended) << "the file ends with its song";

  const auto probe =
      radiolist::test::runCommand({{"ffprobe", "-v", "error", "-show_entries", "format_tags", "-of",
                                    "default=nw=1", song.string()},
                                   {},
                                   true},
                                  20s);
  EXPECT_NE(probe.output.find("TAG:title=Rock;Roll/Song"), std::string::npos) << probe.output;
  EXPECT_NE(probe.output.find("TAG:artist=Saved Artist"), std::string::npos) << probe.output;
  EXPECT_NE(probe.output.find("TAG:comment=Test Radio 440"), std::string::npos) << probe.output;
  const auto decoded =
      radiolist::test::runCommand({{"ffmpeg", "-v", "error", "-i", song.string(), "-f", "f32le",
                                    "-ac", "1", "-ar", "44100", "-"},
                                   {},
                                   true},
                                  20s);
  ASSERT_EQ(decoded.exitCode, 0);
  std::vector<float> samples(decoded.output.size() / sizeof(float));
  std::memcpy(samples.data(), decoded.output.data(), samples.size() * sizeof(float));
  ASSERT_GT(samples.size(), 44100u * 2) << "at least two seconds of audio";
  EXPECT_GT(toneShare(samples, 440, radiolist::test::e2e::kRate), 0.5);

  // Asked ten times while the song is saved, the same file every time, and it plays at once.
  const fs::path next = dir_ / "music" / "radiolist" / "Next - Song.mp3";
  for (int i = 0; i < 10; ++i) {
    const std::string again = send({"org.radiolist.Radiolist1.SaveSong"}, path);
    EXPECT_NE(again.find(next.string()), std::string::npos) << again;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(next.parent_path()), fs::directory_iterator()), 2);
  EXPECT_GT(fs::file_size(next), 32000u) << "the song so far is in the file when it is named";

  // A folder that cannot be made: an error of its own, with the system's reason.
  ASSERT_EQ(servers().setIcecastTitle("/tone440.mp3", "Third - Song"), "");
  ASSERT_TRUE(propertyContains("Metadata", "Third - Song", 8s));
  fs::rename(dir_ / "music" / "radiolist", dir_ / "music" / "saved");
  std::ofstream(dir_ / "music" / "radiolist") << "a file where the folder was";
  const std::string unwritable = callProgram({"org.radiolist.Radiolist1.SaveSong"});
  EXPECT_NE(unwritable.find("org.radiolist.Radiolist1.Error.CannotWrite"), std::string::npos)
      << unwritable;

  // With nothing on air the call fails.
  call("Stop");
  ASSERT_TRUE(listenFor(silent, 3s));
  const std::string refused = callProgram({"org.radiolist.Radiolist1.SaveSong"});
  EXPECT_NE(refused.find("org.radiolist.Radiolist1.Error.NothingToSave"), std::string::npos)
      << refused;
}

// An AAC song is saved as an M4A that plays while it grows; a terminating signal ends the
// program as Quit does, and the file is closed whole.
TEST_F(MprisTest, AnAacSongPlaysWhileItIsSavedAndATerminateClosesIt) {
  startProgram();
  ASSERT_TRUE(listenFor(only440, 3s));
  call("Next");
  ASSERT_TRUE(listenFor(only880, 4s));
  const std::string reply = send({"org.radiolist.Radiolist1.SaveSong"}, "/org/radiolist/Radiolist");
  const fs::path song = dir_ / "music" / "radiolist" / "Test Artist - Tone 880.m4a";
  EXPECT_NE(reply.find(song.string()), std::string::npos) << reply;
  const auto decoded = [&] {
    const auto result =
        radiolist::test::runCommand({{"ffmpeg", "-v", "error", "-i", song.string(), "-f", "f32le",
                                      "-ac", "1", "-ar", "44100", "-"},
                                     {},
                                     true},
                                    20s);
    // A fragment being written as ffmpeg reads may be cut short: what came before still counts.
    std::vector<float> samples(result.exitCode >= 0 ? result.output.size() / sizeof(float) : 0);
    std::memcpy(samples.data(), result.output.data(), samples.size() * sizeof(float));
    return samples;
  };
  std::this_thread::sleep_for(2500ms);
  const std::size_t growing = decoded().size();
  EXPECT_GT(growing, 44100u) << "more than a second plays while the file grows";

  ASSERT_EQ(::kill(program_->pid(), SIGTERM), 0);
  const auto status = program_->waitFor(5s);
  ASSERT_TRUE(status.has_value()) << "SIGTERM did not end the program";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
  const std::vector<float> closed = decoded();
  EXPECT_GT(closed.size(), growing) << "the rest was written at the exit";
  EXPECT_GT(toneShare(closed, 880, radiolist::test::e2e::kRate), 0.5);
  const auto probe =
      radiolist::test::runCommand({{"ffprobe", "-v", "error", "-show_entries", "format_tags", "-of",
                                    "default=nw=1", song.string()},
                                   {},
                                   true},
                                  20s);
  EXPECT_NE(probe.output.find("TAG:title=Tone 880"), std::string::npos) << probe.output;
}

// A second start on the same list hands over to the first, which raises its window, and ends;
// the first plays on and answers. A program on another list runs beside it.
TEST_F(MprisTest, ASecondStartOnTheListRaisesTheFirstAndEnds) {
  startProgram();
  ASSERT_TRUE(listenFor(only440, 3s));
  const auto second = startIn(dir_);
  const auto status = second->waitFor(8s);
  ASSERT_TRUE(status.has_value()) << "the second program did not end";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
  std::string calls;
  drain(monitor_->stdoutFd(), calls);
  EXPECT_NE(calls.find("interface=org.mpris.MediaPlayer2; member=Raise"), std::string::npos)
      << calls;
  EXPECT_FALSE(program_->waitFor(0ms).has_value()) << "the first program runs";
  EXPECT_TRUE(propertyContains("PlaybackStatus", "\"Playing\"", 3s));
  EXPECT_TRUE(listenFor(only440, 2s));

  const fs::path other = radiolist::test::e2e::makeChannelDir(
      "mpris-other", "Other\r\n", servers().mp3Url() + "\r\n", RADIOLIST_SOURCE_DIR);
  EXPECT_FALSE(startIn(other)->waitFor(3s).has_value()) << "a program on another list runs";
  fs::remove_all(other);
}

TEST_F(MprisTest, WithoutASessionBusTheProgramRunsAsBefore) {
  address_ = "unix:path=/nonexistent/bus";
  startProgram();
  EXPECT_TRUE(listenFor(only440, 3s));
  EXPECT_FALSE(program_->waitFor(500ms).has_value()) << "the program must keep running";
}

}  // namespace

namespace {

// Stations come in over the bus, from a playlist and another player's list, into the real
// window: both files gain them, paired, after the lines they had; the list exported as a playlist
// and added to an empty list gives the same files again.
TEST_F(MprisTest, StationsComeInOverTheBusAndGoOutAsAPlaylist) {
  const fs::path in = dir_ / "in";
  fs::create_directories(in);
  std::ofstream(in / "radio.pls") << "[playlist]\nNumberOfEntries=3\nTitle2=PLS Two\n"
                                     "File2=http://127.0.0.1:9/pls-two\nFile1=pls-relative\n"
                                     "File3=http://127.0.0.1:9/pls-three\n";
  std::ofstream(in / "stations.csv") << "# name,url\nCSV One,http://127.0.0.1:9/csv-one\n"
                                        "\"CSV, Two\",http://127.0.0.1:9/csv-two,,\n"
                                     << "Again," << servers().mp3Url() << "\n";
  const auto read = [](const fs::path& file) {
    std::ifstream stream(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), {});
  };
  const std::string names = read(dir_ / "Name.txt");
  const std::string urls = read(dir_ / "url.txt");
  const auto add = [&](const std::string& items) {
    return callProgram({"org.radiolist.Radiolist1.AddStations", "array:string:" + items});
  };

  startProgram();
  const std::string added = add((in / "radio.pls").string() + "," + (in / "stations.csv").string());
  EXPECT_NE(added.find("uint32 4"), std::string::npos) << added;
  EXPECT_EQ(read(dir_ / "Name.txt"), names + "PLS Two\r\n127.0.0.1\r\nCSV One\r\nCSV, Two\r\n");
  EXPECT_EQ(read(dir_ / "url.txt"), urls +
                                        "http://127.0.0.1:9/pls-two\r\n"
                                        "http://127.0.0.1:9/pls-three\r\n"
                                        "http://127.0.0.1:9/csv-one\r\n"
                                        "http://127.0.0.1:9/csv-two\r\n");
  // A second start on the list hands its arguments to the first, which adds them.
  const fs::path oldDir = fs::current_path();
  fs::current_path(dir_);
  ChildProcess second({{RADIOLIST_BINARY, "http://127.0.0.1:9/from-a-second-start"},
                       {{"QT_QPA_PLATFORM", "offscreen"},
                        {"XDG_STATE_HOME", (dir_ / "state").string()},
                        {"XDG_CONFIG_HOME", (dir_ / "config").string()},
                        {"DBUS_SESSION_BUS_ADDRESS", address_}},
                       false});
  fs::current_path(oldDir);
  const auto ended = second.waitFor(10s);
  ASSERT_TRUE(ended.has_value()) << "the second start did not end";
  EXPECT_TRUE(WIFEXITED(*ended) && WEXITSTATUS(*ended) == 0) << "wait status " << *ended;
  EXPECT_EQ(read(dir_ / "Name.txt"),
            names + "PLS Two\r\n127.0.0.1\r\nCSV One\r\nCSV, Two\r\n127.0.0.1\r\n");
  EXPECT_TRUE(
      read(dir_ / "url.txt").ends_with("/csv-two\r\nhttp://127.0.0.1:9/from-a-second-start\r\n"));

  const std::string refused = add((in / "missing.pls").string());
  EXPECT_NE(refused.find("No such file or directory"), std::string::npos) << refused;

  send({"org.radiolist.Radiolist1.ExportList", "string:" + (in / "out.m3u").string()},
       radiolist::test::e2e::kProgramPath);
  const std::string listNames = read(dir_ / "Name.txt");
  const std::string listUrls = read(dir_ / "url.txt");
  program_->terminate();
  program_.reset();

  std::ofstream(dir_ / "Name.txt", std::ios::trunc);
  std::ofstream(dir_ / "url.txt", std::ios::trunc);
  startProgram();
  const std::string again = add((in / "out.m3u").string());
  EXPECT_NE(again.find("uint32 7"), std::string::npos) << again;
  EXPECT_EQ(read(dir_ / "Name.txt"), listNames);
  EXPECT_EQ(read(dir_ / "url.txt"), listUrls);
}

}  // namespace
