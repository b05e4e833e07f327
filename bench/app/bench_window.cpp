// How the window feels: start-up and every handler with lists of 100,000 rows (their specified
// pauses subtracted), and, when the loopback servers run, the time from a click on a name to
// that channel's first audible sample plus the longest stall of the event loop meanwhile.
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
#include <chrono>
#include <cstdio>
#include <vector>

#include "app/globals.h"
#include "app/unit1.h"
#include "app/vcl.h"
#include "playback/audio_library.h"
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
  auto form = std::make_unique<TForm1>(radiolist::realAudioLibrary());
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
  form.reset();
  radiolist::realAudioLibrary().Free();
}

void channelChange(const radiolist::test::TestServers& servers) {
  servers.exportPulseServer();
  radiolist::test::PrivateSink sink(servers);
  if (!sink.error().empty()) qFatal("sink: %s", sink.error().c_str());
  sink.exportAsDefault();
  radiolist::test::SinkRecorder recorder(sink);
  if (const auto why = recorder.start(); !why.empty()) qFatal("recorder: %s", why.c_str());

  QTemporaryDir temp;
  const QDir dir(temp.path());
  writeFile(dir.filePath("Name.txt"), "MP3 440\r\nAAC 880\r\n");
  writeFile(dir.filePath("url.txt"),
            QByteArray::fromStdString(servers.mp3Url() + "\r\n" + servers.aacUrl() + "\r\n"));
  writeGlyphs(dir);
  QDir::setCurrent(temp.path());
  resetGlobalState();

  const auto heard = [&](double frequency, std::chrono::milliseconds timeout) -> double {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeout.count()) {
      QTest::qWait(5);
      const auto last = recorder.last(60ms);
      if (last.size() >= 2000 && radiolist::test::toneShare(last, frequency, 44100) > 0.5)
        return static_cast<double>(timer.nsecsElapsed()) / 1e6;
    }
    return -1;
  };

  StallMeter stalls;
  QElapsedTimer sinceStart;
  sinceStart.start();
  auto form = std::make_unique<TForm1>(radiolist::realAudioLibrary());
  form->create();
  form->show();
  const double first = heard(440, 5s);
  std::printf("\nWith the loopback servers (ms)\n");
  std::printf("  start-up to first 440 Hz, no input                 %8.1f\n",
              first < 0 ? -1 : sinceStart.nsecsElapsed() / 1e6);
  QTest::qWait(1500);

  std::vector<double> clicks;
  std::vector<double> longest;
  for (int round = 0; round < 6; ++round) {
    const int row = round % 2 == 0 ? 1 : 0;
    const double frequency = row == 1 ? 880 : 440;
    stalls.start();
    const QRect rect = form->ListBox1->visualRect(form->ListBox1->model()->index(row, 0));
    QTest::mouseClick(form->ListBox1->viewport(), Qt::LeftButton, {}, rect.center());
    clicks.push_back(heard(frequency, 5s));
    QTest::qWait(400);
    longest.push_back(stalls.stop());
    QTest::qWait(1500);
  }
  std::sort(clicks.begin(), clicks.end());
  std::sort(longest.begin(), longest.end());
  std::printf("  click on a name to its first audible sample, median %8.1f (min %.1f, max %.1f)\n",
              clicks[clicks.size() / 2], clicks.front(), clicks.back());
  std::printf("  longest event-loop stall in a channel change, median %7.1f (max %.1f)\n",
              longest[longest.size() / 2], longest.back());
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
    channelChange(*servers);
  } else {
    std::printf("\n(no servers directory given: sound figures skipped)\n");
  }
  QDir::setCurrent(oldDir);
  return 0;
}
