// The real program as a person meets it: its own process, a real X window (Xvfb), mouse and
// keyboard from xdotool, sound checked at the sound server, the list files checked byte for byte.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/child_process.h"
#include "support/signal_analysis.h"
#include "support/sink_recorder.h"
#include "support/test_servers.h"
#include "tests/e2e/listening.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using radiolist::test::ChildProcess;
using radiolist::test::toneShare;

namespace {

using radiolist::test::e2e::only440;
using radiolist::test::e2e::only880;
using radiolist::test::e2e::silent;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class ProgramTest : public radiolist::test::ServerTest {
 protected:
  using Environment = std::vector<std::pair<std::string, std::string>>;

  void SetUp() override {
    ServerTest::SetUp();
    if (IsSkipped()) return;
    sink_ = std::make_unique<radiolist::test::PrivateSink>(servers());
    ASSERT_EQ(sink_->error(), "");
    recorder_ = std::make_unique<radiolist::test::SinkRecorder>(*sink_);
    ASSERT_EQ(recorder_->start(), "");

    names_ = "Тестовое радио 440\r\nTest Radio 880 AAC\r\n";
    urls_ = servers().mp3Url() + "\r\n" + servers().aacUrl() + "\r\n";
    dir_ = radiolist::test::e2e::makeChannelDir("e2e", names_, urls_, RADIOLIST_SOURCE_DIR);

    xvfb_ = std::make_unique<ChildProcess>(ChildProcess::Options{
        {"Xvfb", "-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"}, {}, true});
    display_ = ":" + readLine(xvfb_->stdoutFd(), 10s);
    ASSERT_NE(display_, ":") << "Xvfb did not start";
  }

  void TearDown() override {
    if (program_) program_->terminate();
    if (xvfb_) xvfb_->terminate();
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  static std::string readLine(int fd, std::chrono::milliseconds timeout) {
    std::string line;
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
      char c;
      const ssize_t n = ::read(fd, &c, 1);
      if (n == 1) {
        if (c == '\n') return line;
        line += c;
      } else {
        std::this_thread::sleep_for(10ms);
      }
    }
    return line;
  }

  // Runs xdotool on the test's display; returns its output.
  std::string xdotool(const std::vector<std::string>& args) {
    std::vector<std::string> argv;
    argv.reserve(args.size() + 1);
    argv.emplace_back("xdotool");
    for (const std::string& arg : args) argv.push_back(arg);
    const auto result = radiolist::test::runCommand({argv, {{"DISPLAY", display_}}, true}, 10s);
    EXPECT_EQ(result.exitCode, 0) << "xdotool failed: " << result.output;
    return result.output;
  }
  void click(int x, int y, int button = 1) {
    moveTo(x, y);
    xdotool({"click", std::to_string(button)});
    std::this_thread::sleep_for(150ms);
  }
  void moveTo(int x, int y) {
    // Separate steps with a pause: the toolkit must see the pointer arrive before the press.
    xdotool({"mousemove", std::to_string(windowX_ + x), std::to_string(windowY_ + y)});
    std::this_thread::sleep_for(150ms);
  }

  // Starts the program in its channel directory (it reads its files from its current directory).
  void launch(const Environment& extra = {}) { program_ = spawn({RADIOLIST_BINARY}, extra, false); }
  std::unique_ptr<ChildProcess> spawn(const std::vector<std::string>& argv,
                                      const Environment& extra, bool captureStdout) {
    const fs::path oldDir = fs::current_path();
    fs::current_path(dir_);
    Environment env{{"DISPLAY", display_},
                    {"QT_QPA_PLATFORM", "xcb"},
                    {"PULSE_SERVER", sink_->pulseServer()},
                    {"PULSE_SINK", sink_->name()}};
    env.insert(env.end(), extra.begin(), extra.end());
    auto child = std::make_unique<ChildProcess>(ChildProcess::Options{argv, env, captureStdout});
    fs::current_path(oldDir);
    return child;
  }
  // The program's window id; sets windowX_ and windowY_ to its client area's place on the screen.
  std::string findWindow() {
    const std::string window =
        xdotool({"search", "--sync", "--onlyvisible", "--class", "radiolist"});
    const std::string id = window.substr(0, window.find('\n'));
    std::istringstream geometry(xdotool({"getwindowgeometry", "--shell", id}));
    for (std::string line; std::getline(geometry, line);) {
      if (line.rfind("X=", 0) == 0) windowX_ = std::stoi(line.substr(2));
      if (line.rfind("Y=", 0) == 0) windowY_ = std::stoi(line.substr(2));
    }
    return id;
  }

  bool listenFor(const std::function<bool(std::span<const float>)>& heard,
                 std::chrono::milliseconds timeout) {
    return recorder_->waitFor(200ms, timeout, heard).has_value();
  }

  bool waitForFiles(const std::string& names, const std::string& urls,
                    std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (readFile(dir_ / "Name.txt") == names && readFile(dir_ / "url.txt") == urls) return true;
      if (std::chrono::steady_clock::now() >= end) return false;
      std::this_thread::sleep_for(50ms);
    }
  }

  std::unique_ptr<radiolist::test::PrivateSink> sink_;
  std::unique_ptr<radiolist::test::SinkRecorder> recorder_;
  std::unique_ptr<ChildProcess> xvfb_;
  std::unique_ptr<ChildProcess> program_;
  fs::path dir_;
  std::string display_;
  std::string names_;
  std::string urls_;
  int windowX_ = 0;
  int windowY_ = 0;
};

TEST_F(ProgramTest, PlaysAtStartSwitchesStopsAndEditsTheListFiles) {
  launch();
  ASSERT_TRUE(listenFor(only440, 3s)) << "the first channel plays by itself";
  const std::string id = findWindow();
  EXPECT_EQ(windowX_, 274);
  EXPECT_EQ(windowY_, 103);

  // The second name's row: the name list's rows start at y 38 (its top edge 36 and frame);
  // y 57 lies inside the second row for any row height from 10 to 19 pixels.
  click(60, 57);
  EXPECT_TRUE(listenFor(only880, 4s)) << "the chosen AAC channel replaces the first";

  click(25, 17);  // START STOP: after a channel start the first press restarts...
  EXPECT_TRUE(listenFor(only880, 3s));
  click(25, 17);  // ...and the second stops.
  EXPECT_TRUE(listenFor(silent, 2s)) << "START STOP silences what is heard";

  // The name editor stands over the second row, 10 px below its top: y 38 lies inside it for
  // any row height the fonts give. Its text is replaced and committed with Enter.
  click(40, 38);
  xdotool({"key", "ctrl+a"});
  xdotool({"type", "--delay", "30", "Renamed"});
  xdotool({"key", "Return"});
  const std::string renamed = "Тестовое радио 440\r\nRenamed\r\n";
  EXPECT_TRUE(waitForFiles(renamed, urls_, 3s)) << readFile(dir_ / "Name.txt");

  click(255, 347);  // add a line
  EXPECT_TRUE(waitForFiles(renamed + "2)\r\n", urls_ + "http://\r\n", 4s))
      << readFile(dir_ / "Name.txt") << readFile(dir_ / "url.txt");
  std::this_thread::sleep_for(1s);  // the countdown makes the new line current
  click(218, 347);                  // delete it again
  EXPECT_TRUE(waitForFiles(renamed, urls_, 4s))
      << readFile(dir_ / "Name.txt") << readFile(dir_ / "url.txt");

  std::this_thread::sleep_for(1s);  // let the window repaint after the handler's pauses
  const auto shot =
      radiolist::test::runCommand({{"import", "-window", "root", "-crop", "760x420+264+93",
                                    (fs::path(RADIOLIST_BINARY_DIR) / "e2e-window.png").string()},
                                   {{"DISPLAY", display_}},
                                   true},
                                  20s);
  EXPECT_EQ(shot.exitCode, 0) << shot.output;

  // Closing the window ends the process, and with it the sound; the files stay as they are.
  click(60, 57);
  EXPECT_TRUE(
      listenFor([](std::span<const float> s) { return radiolist::test::rms(s) > 0.01; }, 4s));
  const auto closed = radiolist::test::runCommand(
      {{"python3", std::string(RADIOLIST_SOURCE_DIR) + "/tools/x11-close-window.py", id},
       {{"DISPLAY", display_}},
       true},
      10s);
  EXPECT_EQ(closed.exitCode, 0) << closed.output;
  const auto status = program_->waitFor(5s);
  ASSERT_TRUE(status.has_value()) << "the program did not end when its window closed";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
  EXPECT_TRUE(listenFor(silent, 2s));
  EXPECT_TRUE(waitForFiles(renamed, urls_, 0s));
}

// The window's pixels as a person sees them: RGB rows of the client area.
struct Shot {
  int width = 0;
  int height = 0;
  std::string rgb;
  [[nodiscard]] const unsigned char* at(int x, int y) const {
    return reinterpret_cast<const unsigned char*>(rgb.data()) +
           3 * (static_cast<std::size_t>(y) * width + x);
  }
  // Mean length of the horizontal runs of dark pixels in a rectangle: a text's stroke width.
  [[nodiscard]] double strokeWidth(int left, int top, int right, int bottom) const {
    long runs = 0, inked = 0;
    for (int y = top; y < bottom; ++y)
      for (int x = left, run = 0; x <= right; ++x) {
        const unsigned char* p = at(x, y);
        const bool dark = x < right && p[0] + p[1] + p[2] < 3 * 128;
        if (dark)
          ++run, ++inked;
        else if (run > 0)
          ++runs, run = 0;
      }
    return runs == 0 ? 0 : static_cast<double>(inked) / static_cast<double>(runs);
  }
};

TEST_F(ProgramTest, ClicksAndKeysLandWhereAimedAndTextIsDrawnAsDesigned) {
  // Two more rows below the editors, for the stroke measurement.
  names_ += "Third radio name\r\nFourth radio name\r\n";
  urls_ += "http://127.0.0.1:9/third-address.mp3\r\nhttp://127.0.0.1:9/fourth-address.mp3\r\n";
  std::ofstream(dir_ / "Name.txt", std::ios::binary) << names_;
  std::ofstream(dir_ / "url.txt", std::ios::binary) << urls_;
  launch();
  ASSERT_TRUE(listenFor(only440, 3s));
  findWindow();

  // Editing the first name, a right click on the second name retargets nothing...
  click(40, 20);
  xdotool({"key", "ctrl+a"});
  xdotool({"type", "--delay", "30", "Edited"});
  click(60, 57, 3);
  click(60, 57, 2);
  xdotool({"key", "Return"});
  const std::string edited = "Edited\r\n" + names_.substr(names_.find("\r\n") + 2);
  EXPECT_TRUE(waitForFiles(edited, urls_, 3s)) << readFile(dir_ / "Name.txt");
  // ...and the keys typed after the commit reach no editor.
  xdotool({"type", "--delay", "30", "zz"});
  xdotool({"key", "Return"});
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(waitForFiles(edited, urls_, 0s)) << readFile(dir_ / "url.txt");

  // Pressed on the first name and released on the second: the second one plays.
  moveTo(60, 44);
  xdotool({"mousedown", "1"});
  moveTo(60, 50);
  moveTo(60, 57);
  xdotool({"mouseup", "1"});
  EXPECT_TRUE(listenFor(only880, 4s)) << "the release row is chosen and played";

  std::this_thread::sleep_for(500ms);
  const auto shot = radiolist::test::runCommand(
      {{"sh", "-c",
        "import -window root -crop 743x370+" + std::to_string(windowX_) + "+" +
            std::to_string(windowY_) + " -depth 8 rgb:-"},
       {{"DISPLAY", display_}},
       true},
      20s);
  ASSERT_EQ(shot.exitCode, 0);
  const Shot window{743, 370, shot.output};
  ASSERT_EQ(window.rgb.size(), 743u * 370u * 3u);

  // Label1 (the channel's number, then its station name) draws in red.
  int red = 0;
  for (int y = 329; y < 345; ++y)
    for (int x = 0; x < 200; ++x)
      red += window.at(x, y)[0] > 200 && window.at(x, y)[1] < 60 && window.at(x, y)[2] < 60;
  EXPECT_GE(red, 5) << "red pixels of Label1";
  // Bold rows: text at regular weight measured 1.6-1.8 px per stroke here, true bold 2.8-3.0.
  const double names = window.strokeWidth(12, 75, 390, 108);
  const double addresses = window.strokeWidth(411, 75, 720, 108);
  RecordProperty("name_stroke_px", std::to_string(names));
  RecordProperty("address_stroke_px", std::to_string(addresses));
  EXPECT_GE(names, 2.3) << names;
  EXPECT_GE(addresses, 2.3) << addresses;
}

// A terminating signal ends the program whenever it comes: here while the creation handler's
// error box (the list is a directory) holds the start, before the window's own loop runs.
TEST_F(ProgramTest, TerminatingSignalsEndTheProgramWhileTheCreationErrorBoxIsUp) {
  fs::remove(dir_ / "Name.txt");
  fs::create_directory(dir_ / "Name.txt");
  const struct {
    std::vector<int> signals;
    bool orderly;  // exit status 0, else ended by the second signal
  } cases[] = {{{SIGTERM}, true},
               // Stopped, it meets both at once: the second one of any kind ends it at once.
               {{SIGSTOP, SIGTERM, SIGINT, SIGCONT}, false}};
  for (const auto& c : cases) {
    launch();
    xdotool({"search", "--sync", "--onlyvisible", "--pid", std::to_string(program_->pid())});
    for (const int signal : c.signals) ::kill(program_->pid(), signal);
    const auto status = program_->waitFor(10s);
    EXPECT_TRUE(status.has_value()) << c.signals.size() << " signals: the program did not end";
    if (!status) continue;
    EXPECT_TRUE(c.orderly ? WIFEXITED(*status) && WEXITSTATUS(*status) == 0 : WIFSIGNALED(*status))
        << "wait status " << *status;
  }
}

// Two starts on one list without a session bus: the second cannot hand over, says so in an error
// box and ends, the list files untouched; the first plays on.
TEST_F(ProgramTest, ASecondStartOnTheListWithoutABusSaysSoAndLeavesTheListAlone) {
  const Environment noBus{{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"}};
  launch(noBus);
  ASSERT_TRUE(listenFor(only440, 3s));
  const auto written = [&] {  // a save replaces the files
    return std::pair(fs::last_write_time(dir_ / "Name.txt"), fs::last_write_time(dir_ / "url.txt"));
  };
  const auto before = written();
  const auto second = spawn({"sh", "-c", "exec \"$0\" 2>&1", RADIOLIST_BINARY}, noBus, true);
  const std::string box =
      xdotool({"search", "--sync", "--onlyvisible", "--pid", std::to_string(second->pid())});
  EXPECT_EQ(radiolist::test::runCommand(
                {{"python3", std::string(RADIOLIST_SOURCE_DIR) + "/tools/x11-close-window.py",
                  box.substr(0, box.find('\n'))},
                 {{"DISPLAY", display_}}},
                10s)
                .exitCode,
            0);
  const auto status = second->waitFor(10s);
  ASSERT_TRUE(status.has_value()) << "the second program did not end";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) != 0) << "wait status " << *status;
  std::string said(4096, '\0');
  said.resize(std::max<ssize_t>(0, ::read(second->stdoutFd(), said.data(), said.size())));
  EXPECT_NE(said.find("Another radiolist is already running on the list in \"" +
                      fs::canonical(dir_).string() + '"'),
            std::string::npos)
      << said;
  EXPECT_EQ(written(), before);
  EXPECT_FALSE(program_->waitFor(0ms).has_value()) << "the first program runs";
  EXPECT_TRUE(listenFor(only440, 2s)) << "and plays";
}

}  // namespace
