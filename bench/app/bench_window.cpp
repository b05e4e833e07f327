// How the window feels: start-up and every handler with lists of 100,000 rows (their specified
// pauses subtracted), and, when the loopback servers run, the time from a click on a name to
// that channel's first audible sample (with a timeline of its stages) plus the longest stall of
// the event loop meanwhile, and the program's start to its first sound beside mpv's.
//
//   bench_window [servers-dir]     (servers-dir: as written by tools/servers/test-servers.sh)

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <array>
#include <string>
#include <chrono>
#include <cstdio>
#include <vector>

#include "app/window/globals.h"
#include "app/window/window_control.h"
#include "app/core/player.h"
#include "app/window/unit1.h"
#include "app/window/window_control.h"
#include "playback/playback_controls.h"
#include "app/window/vcl.h"
#include "playback/audio_library.h"
#include "playback/log/timeline.h"
#include "support/child_process.h"
#include "support/signal_analysis.h"
#include "support/sink_recorder.h"
#include "support/test_servers.h"

using namespace std::chrono_literals;

namespace {

void writeFile(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
    qFatal("cannot write %s", qPrintable(path));
  file.write(bytes);
}

void writeGlyphs(const QDir& dir) {
  dir.mkpath("imag");
  for (const char* name : {"glossyicon.bmp", "delete.bmp", "play.bmp", "stop.bmp"}) {
    QImage image(20, 20, QImage::Format_RGB32);
    image.fill(Qt::darkGreen);
    image.save(dir.filePath(QStringLiteral("imag/") + QLatin1String(name)), "BMP");
  }
}

// Milliseconds a call takes, minus the pauses the handler is specified to make.
double timed(const std::function<void()>& call, double pausesMs = 0) {
  QElapsedTimer timer;
  timer.start();
  call();
  return static_cast<double>(timer.nsecsElapsed()) / 1e6 - pausesMs;
}

// Watches the event loop with a 1 ms timer and keeps the longest gap between its ticks.
class StallMeter : public QObject {
 public:
  StallMeter() {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(1);
    connect(&timer_, &QTimer::timeout, this, [this] {
      if (clock_.isValid()) longest_ = std::max(longest_, clock_.nsecsElapsed() / 1e6);
      clock_.restart();
    });
  }
  void start() {
    longest_ = 0;
    clock_.invalidate();
    timer_.start();
  }
  double stop() {
    timer_.stop();
    return longest_;
  }

 private:
  QTimer timer_;
  QElapsedTimer clock_;
  double longest_ = 0;
};

void bigLists(const QDir& dir) {
  QByteArray names;
  QByteArray urls;
  for (int i = 0; i < 100000; ++i) {
    names += "Радио номер " + QByteArray::number(i) + " - music & talk\r\n";
    urls += "http://127.0.0.1:9/stream/" + QByteArray::number(i) + ".mp3\r\n";
  }
  writeFile(dir.filePath("Name.txt"), names);
  writeFile(dir.filePath("url.txt"), urls);
}

void handlersOnBigLists() {
  QTemporaryDir temp;
  const QDir dir(temp.path());
  bigLists(dir);
  writeGlyphs(dir);
  QDir::setCurrent(temp.path());
  resetGlobalState();
  radiolist::setErrorPresenter(
      [](const QString&, const QString& text) { std::printf("error: %s\n", qPrintable(text)); });

  std::printf("\nHandlers on lists of 100,000 rows (ms, specified pauses subtracted)\n");
  radiolist::Player player(radiolist::realPlaybackControls());
  auto form = std::make_unique<TForm1>(radiolist::realAudioLibrary(), player);
  std::printf("  start-up (creation handler)      %8.1f\n", timed([&] { form->create(); }));
  form->show();
  QTest::qWait(300);  // the start-up countdown runs its pair of clicks
  radiolist::setItemIndex(form->ListBox1, 50000);
  std::printf("  name click (editor + playback)   %8.1f\n",
              timed([&] { form->ListBox1Click(form->ListBox1); }));
  QTest::qWait(300);
  std::printf("  address click                    %8.1f\n",
              timed([&] { form->ListBox2Click(form->ListBox2); }));
  char16_t enter = 13;
  std::printf("  commit a name (Enter)            %8.1f\n", timed([&] {
                radiolist::setItemIndex(form->ListBox1, 50000);
                form->Edit1KeyPress(form->Edit1, enter);
              }));
  enter = 13;
  std::printf("  commit an address (Enter)        %8.1f\n",
              timed([&] { form->Edit2KeyPress(form->Edit2, enter); }, 200));
  std::printf("  add a line                       %8.1f\n",
              timed([&] { form->SpeedButton3Click(form->SpeedButton3); }, 800));
  QTest::qWait(300);
  std::printf("  delete a line                    %8.1f\n",
              timed([&] { form->SpeedButton4Click(form->SpeedButton4); }, 400));
  // The views lay their rows out again on the first paint after a reload, outside the handler.
  std::printf("  first repaint of both lists      %8.1f\n", timed([&] {
                form->ListBox1->viewport()->repaint();
                form->ListBox2->viewport()->repaint();
              }));
  QTest::qWait(300);
  std::printf("  title poll                       %8.1f\n",
              timed([&] { form->Timer3Timer(form->Timer3); }));
  // Stations added from outside: the UI thread's part (dedup, sizes, rows, snapshot), then the
  // save thread's until both files are on disk, and the longest event-loop stall meanwhile.
  radiolist::WindowControl& window = form->control();
  StallMeter stalls;
  for (const int count : {1, 10'000}) {
    QList<radiolist::ListedStation> stations;
    for (int i = 0; i < count; ++i)
      stations.push_back({QStringLiteral("Added %1 - a station from outside").arg(i),
                          QStringLiteral("http://127.0.0.1:9/added/%1/%2.mp3").arg(count).arg(i)});
    bool saved = false;
    QElapsedTimer sinceCall;
    double savedAfter = 0;
    stalls.start();
    sinceCall.start();
    const double ui = timed([&] {
      window.addStations(stations, [&](const radiolist::StationsAdded&) {
        saved = true;
        savedAfter = static_cast<double>(sinceCall.nsecsElapsed()) / 1e6;
      });
    });
    while (!saved) QTest::qWait(1);
    const double stall = stalls.stop();
    std::printf(
        "  add %5d from outside: UI thread %6.1f, on disk after %6.1f, longest stall %6.1f\n",
        count, ui, savedAfter, stall);
  }
  form.reset();
  radiolist::realAudioLibrary().Free();
}

// Milliseconds from `since` until the last 60 ms at the sink are mostly `frequency`, or -1.
double heardAfter(const radiolist::test::SinkRecorder& recorder, const QElapsedTimer& since,
                  double frequency, std::chrono::milliseconds timeout) {
  while (since.elapsed() < timeout.count()) {
    QTest::qWait(5);
    const auto last = recorder.last(60ms);
    if (last.size() >= 2000 && radiolist::test::toneShare(last, frequency, 44100) > 0.5)
      return static_cast<double>(since.nsecsElapsed()) / 1e6;
  }
  return -1;
}

// Launches a player and times it to its first sound of `frequency`; stops it after.
double launchToSound(const std::vector<std::string>& argv,
                     const radiolist::test::SinkRecorder& recorder, double frequency) {
  QElapsedTimer since;
  since.start();
  radiolist::test::ChildProcess player({.argv = argv});
  const double heard = heardAfter(recorder, since, frequency, 6s);
  player.terminate();
  QTest::qWait(1000);
  return heard;
}

struct Figures {
  std::vector<double> values;
  void add(double v) { values.push_back(v); }
  [[nodiscard]] std::string text() {
    if (values.empty()) return "-";
    std::sort(values.begin(), values.end());
    char line[96];
    std::snprintf(line, sizeof line, "%6.0f (%.0f-%.0f)", values[values.size() / 2], values.front(),
                  values.back());
    return line;
  }
};

void channelChange(const radiolist::test::TestServers& servers, const std::string& program) {
  namespace timeline = radiolist::log::timeline;
  servers.exportPulseServer();
  radiolist::test::PrivateSink sink(servers);
  if (!sink.error().empty()) qFatal("sink: %s", sink.error().c_str());
  sink.exportAsDefault();
  radiolist::test::SinkRecorder recorder(sink);
  if (const auto why = recorder.start(); !why.empty()) qFatal("recorder: %s", why.c_str());
  QTest::qWait(1000);  // parec hands its first second late and at once

  QTemporaryDir temp;
  const QDir dir(temp.path());
  writeFile(dir.filePath("Name.txt"), "MP3 440\r\nAAC 880\r\n");
  writeFile(dir.filePath("url.txt"),
            QByteArray::fromStdString(servers.mp3Url() + "\r\n" + servers.aacUrl() + "\r\n"));
  writeGlyphs(dir);
  QDir::setCurrent(temp.path());
  resetGlobalState();

  // Cold starts of whole processes, taken in turns: the program on this list (row 0 plays at
  // start-up) and mpv on the same mounts.
  constexpr int kLaunches = 5;
  Figures ours;
  Figures mpvMp3;
  Figures mpvAac;
  const bool haveMpv =
      radiolist::test::runCommand({.argv = {"mpv", "--version"}}, 5s).exitCode == 0;
  for (int i = 0; i < kLaunches; ++i) {
    ours.add(launchToSound({program}, recorder, 440));
    if (!haveMpv) continue;
    const std::vector<std::string> mpv{"mpv", "--no-config", "--no-video", "--ao=pulse",
                                       "--really-quiet"};
    auto withUrl = [&](const std::string& url) {
      auto argv = mpv;
      argv.push_back(url);
      return argv;
    };
    mpvMp3.add(launchToSound(withUrl(servers.mp3Url()), recorder, 440));
    mpvAac.add(launchToSound(withUrl(servers.aacUrl()), recorder, 880));
  }
  std::printf("\nWith the loopback servers: medians (min-max) in ms\n");
  std::printf("  process start to first 440 Hz, this program        %s\n", ours.text().c_str());
  std::printf("  mpv launch to first sound, MP3 / AAC                %s / %s\n",
              mpvMp3.text().c_str(), mpvAac.text().c_str());

  StallMeter stalls;
  radiolist::Player player(radiolist::realPlaybackControls());
  auto form = std::make_unique<TForm1>(radiolist::realAudioLibrary(), player);
  form->create();
  form->show();
  QElapsedTimer begun;
  begun.start();
  if (heardAfter(recorder, begun, 440, 5s) < 0) qFatal("row 0 never sounded");
  QTest::qWait(1500);

  // Each click goes to a channel that has not played for longer than the library keeps a freed
  // one warm, so every one starts from nothing but the window's own hints. A click as a hand
  // makes it: the button is held for 100 ms, and the click is its release.
  constexpr int kClicks = 8;
  constexpr int kHoldMs = 100;
  std::array<Figures, 2> clicks;
  std::array<Figures, 2> pressed;
  std::array<std::array<Figures, static_cast<std::size_t>(timeline::Stage::Count)>, 2> stages;
  Figures longest;
  for (int round = 0; round < kClicks; ++round) {
    const int row = round % 2 == 0 ? 1 : 0;
    const auto slot = static_cast<std::size_t>(row);
    stalls.start();
    const QPoint at = form->ListBox1->visualRect(form->ListBox1->model()->index(row, 0)).center();
    timeline::arm();
    QElapsedTimer sincePress;
    sincePress.start();
    QTest::mousePress(form->ListBox1->viewport(), Qt::LeftButton, {}, at);
    QTest::qWait(kHoldMs);
    const double held = static_cast<double>(sincePress.nsecsElapsed()) / 1e6;
    QTest::mouseRelease(form->ListBox1->viewport(), Qt::LeftButton, {}, at);
    const double heard = heardAfter(recorder, sincePress, row == 1 ? 880 : 440, 5s);
    timeline::disarm();
    pressed[slot].add(heard);
    clicks[slot].add(heard - held);
    for (std::size_t s = 0; s < stages[slot].size(); ++s) {
      if (const auto when = timeline::at(static_cast<timeline::Stage>(s)))
        stages[slot][s].add(static_cast<double>(when->count()) / 1e6 - held);
    }
    QTest::qWait(400);
    longest.add(stalls.stop());
    QTest::qWait(5600);
  }
  std::printf("  click (release) on a name to first sound, MP3 / AAC %s / %s\n",
              clicks[0].text().c_str(), clicks[1].text().c_str());
  std::printf("  the same from the press, %d ms earlier               %s / %s\n", kHoldMs,
              pressed[0].text().c_str(), pressed[1].text().c_str());
  std::printf("  of which, from the release (MP3 / AAC):\n");
  for (std::size_t s = 0; s < stages[0].size(); ++s) {
    std::printf("    %-12s %20s / %s\n",
                std::string(timeline::name(static_cast<timeline::Stage>(s))).c_str(),
                stages[0][s].text().c_str(), stages[1][s].text().c_str());
  }
  std::printf("  longest event-loop stall in a channel change       %s\n", longest.text().c_str());

  // A click after START STOP left the player stopped long enough for the output to let go of
  // its stream at the sound server (and for every connection to close): nothing is warm.
  constexpr int kStoppedClicks = 4;
  std::array<Figures, 2> afterStop;
  for (int round = 0; round < kStoppedClicks; ++round) {
    const int row = round % 2 == 0 ? 1 : 0;
    form->StopPress();
    QTest::qWait(22000);
    const QPoint at = form->ListBox1->visualRect(form->ListBox1->model()->index(row, 0)).center();
    QElapsedTimer sincePress;
    sincePress.start();
    QTest::mousePress(form->ListBox1->viewport(), Qt::LeftButton, {}, at);
    QTest::qWait(kHoldMs);
    const double held = static_cast<double>(sincePress.nsecsElapsed()) / 1e6;
    QTest::mouseRelease(form->ListBox1->viewport(), Qt::LeftButton, {}, at);
    afterStop[static_cast<std::size_t>(row)].add(
        heardAfter(recorder, sincePress, row == 1 ? 880 : 440, 5s) - held);
    QTest::qWait(1000);
  }
  std::printf("  click (release) after 22 s stopped, MP3 / AAC       %s / %s\n",
              afterStop[0].text().c_str(), afterStop[1].text().c_str());
  form.reset();
  radiolist::realAudioLibrary().Free();
  unsetenv("PULSE_SINK");
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  const QString oldDir = QDir::currentPath();
  handlersOnBigLists();
  QDir::setCurrent(oldDir);
  if (argc > 1) {
    std::string why;
    const auto servers = radiolist::test::TestServers::load(argv[1], &why);
    if (!servers) qFatal("servers: %s", why.c_str());
    channelChange(*servers, RADIOLIST_PROGRAM);
  } else {
    std::printf("\n(no servers directory given: sound figures skipped)\n");
  }
  QDir::setCurrent(oldDir);
  return 0;
}
