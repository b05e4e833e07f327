// The program's menu on the window of the real program, on a plain X server without any tray
// host (Xvfb), driven by xdotool and over a private session bus, while a loopback station plays.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "tests/e2e/bus_program.h"
#include "tests/e2e/listening.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using radiolist::test::ChildProcess;

namespace {

using radiolist::test::e2e::kProgramPath;
using radiolist::test::e2e::only440;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class WindowMenuTest : public radiolist::test::e2e::BusProgramTest {
 protected:
  WindowMenuTest() : BusProgramTest("window-menu") {}
  [[nodiscard]] Channels channels() const override {
    return {"Первый\r\nSecond\r\n", servers().mp3Url() + "\r\n" + servers().aacUrl() + "\r\n"};
  }

  void SetUp() override {
    BusProgramTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    xvfb_ = std::make_unique<ChildProcess>(ChildProcess::Options{
        {"Xvfb", "-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"}, {}, true});
    std::string number;
    const auto end = std::chrono::steady_clock::now() + 10s;
    for (char c = 0; c != '\n' && std::chrono::steady_clock::now() < end;) {
      if (::read(xvfb_->stdoutFd(), &c, 1) == 1) {
        if (c != '\n') number += c;
      } else {
        std::this_thread::sleep_for(10ms);
      }
    }
    ASSERT_FALSE(number.empty()) << "Xvfb did not start";
    display_ = ":" + number;
  }
  void TearDown() override {
    BusProgramTest::TearDown();
    if (xvfb_) xvfb_->terminate();
  }

  std::string xdotool(const std::vector<std::string>& args, bool mayFail = false) {
    std::vector<std::string> argv{"xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto result = radiolist::test::runCommand({argv, {{"DISPLAY", display_}}, true}, 10s);
    if (!mayFail) {
      EXPECT_EQ(result.exitCode, 0) << "xdotool failed: " << result.output;
    }
    return result.exitCode == 0 ? result.output : std::string();
  }
  // Separate steps with a pause: the toolkit must see each one before the next.
  void key(const std::string& keys) {
    xdotool({"key", keys});
    std::this_thread::sleep_for(200ms);
  }
  void click(int x, int y, int button) {
    xdotool({"mousemove", std::to_string(windowX_ + x), std::to_string(windowY_ + y)});
    std::this_thread::sleep_for(150ms);
    xdotool({"click", std::to_string(button)});
    std::this_thread::sleep_for(150ms);
  }

  // The program's visible X windows.
  std::vector<std::string> windows() {
    std::istringstream ids(
        xdotool({"search", "--onlyvisible", "--pid", std::to_string(program_->pid())}, true));
    std::vector<std::string> out;
    for (std::string id; std::getline(ids, id);)
      if (!id.empty()) out.push_back(id);
    return out;
  }
  // "WIDTHxHEIGHT" of the one window the program shows beside its main window, once it shows
  // one; "" when none came.
  std::string popupSize(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    do {
      for (const std::string& id : windows()) {
        if (id == window_) continue;
        std::istringstream shell(xdotool({"getwindowgeometry", "--shell", id}, true));
        std::string width, height;
        for (std::string line; std::getline(shell, line);) {
          if (line.rfind("WIDTH=", 0) == 0) width = line.substr(6);
          if (line.rfind("HEIGHT=", 0) == 0) height = line.substr(7);
        }
        if (!width.empty()) return width + "x" + height;
      }
      std::this_thread::sleep_for(100ms);
    } while (std::chrono::steady_clock::now() < end);
    return {};
  }
  bool popupGone(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (windows().size() > 1) {
      if (std::chrono::steady_clock::now() >= end) return false;
      std::this_thread::sleep_for(100ms);
    }
    return true;
  }

  std::unique_ptr<ChildProcess> xvfb_;
  std::string display_;
  std::string window_;
  int windowX_ = 0;
  int windowY_ = 0;
};

// A right click and Shift+F10 open the same menu and do nothing else: the channel plays on, the
// open editor keeps its text and the focus, no row is chosen, no file is written. With the
// arrows and Enter the sleep timer is set from it.
TEST_F(WindowMenuTest, RightClickAndShiftF10OpenTheMenuAndNothingElse) {
  program_ = startIn(dir_, {}, {{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", display_}});
  ASSERT_TRUE(listenFor(only440, 3s));
  // Back 30 s can act once the stream has kept a past: the keyboard walk below counts on it.
  ASSERT_TRUE(propertyContains("CanSeek", "true", 10s)) << property("CanSeek");
  const std::string found = xdotool({"search", "--sync", "--onlyvisible", "--class", "radiolist"});
  window_ = found.substr(0, found.find('\n'));
  std::istringstream geometry(xdotool({"getwindowgeometry", "--shell", window_}));
  for (std::string line; std::getline(geometry, line);) {
    if (line.rfind("X=", 0) == 0) windowX_ = std::stoi(line.substr(2));
    if (line.rfind("Y=", 0) == 0) windowY_ = std::stoi(line.substr(2));
  }
  const std::string names = readFile(dir_ / "Name.txt");
  const std::string urls = readFile(dir_ / "url.txt");

  // A right click on the second name row (the playing channel's editors are open, the focus in
  // one of them): the menu, and only the menu.
  click(60, 57, 3);
  const std::string menu = popupSize(3s);
  ASSERT_FALSE(menu.empty()) << "no menu on a right click";
  const int menuHeight = std::stoi(menu.substr(menu.find('x') + 1));
  EXPECT_GE(menuHeight, 11 * 18) << menu << ": fewer items than the menu has";
  key("Escape");
  EXPECT_TRUE(popupGone(3s)) << "Escape closes the menu";
  EXPECT_TRUE(listenFor(only440, 3s)) << "the first channel plays on, the second was not chosen";

  // Shift+F10 in the editor opens the same menu, whose items the arrows reach (Pause highlighted,
  // then Back 30 s, Save song and Recent titles; Go live cannot act), and Enter chooses. Were a
  // key to reach the editor, it would stop the channel.
  key("shift+F10");
  EXPECT_EQ(popupSize(3s), menu) << "the same menu from the keyboard";
  for (const char* step : {"Down", "Down", "Down", "Down", "Right", "Down", "Return"}) key(step);
  EXPECT_TRUE(popupGone(3s)) << "Enter chose an item and closed the menu";
  const std::string left = send({"org.freedesktop.DBus.Properties.Get",
                                 "string:org.radiolist.Radiolist1", "string:SleepRemaining"},
                                kProgramPath);
  const auto at = left.find("uint32 ");
  ASSERT_NE(at, std::string::npos) << left;
  const int seconds = std::stoi(left.substr(at + 7));
  EXPECT_GT(seconds, 880) << "Sleep timer ▸ 15 minutes";
  EXPECT_LE(seconds, 900);
  EXPECT_TRUE(listenFor(only440, 3s));
  EXPECT_EQ(readFile(dir_ / "Name.txt"), names) << "nothing was committed or saved";
  EXPECT_EQ(readFile(dir_ / "url.txt"), urls);

  // Inside the name's open editor its own short menu comes instead; the editor keeps its text,
  // and what is typed then goes on it and Enter commits it.
  click(30, 20, 3);
  const std::string editorMenu = popupSize(3s);
  EXPECT_FALSE(editorMenu.empty()) << "the editor's own menu";
  EXPECT_NE(editorMenu, menu) << "the editor's own menu";
  key("Escape");
  EXPECT_TRUE(popupGone(3s));
  xdotool({"type", "--delay", "30", "Kept"});
  key("Return");
  const auto end = std::chrono::steady_clock::now() + 3s;
  const std::string edited = "ПервыйKept\r\nSecond\r\n";
  while (readFile(dir_ / "Name.txt") != edited && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(50ms);
  EXPECT_EQ(readFile(dir_ / "Name.txt"), edited);
  EXPECT_EQ(readFile(dir_ / "url.txt"), urls);
}

}  // namespace
