// The window on the real audio library, a real Icecast2 and a PulseAudio null sink: what a
// listener hears and reads, with no stand-ins.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>
#include <QTest>
#include <chrono>
#include <functional>

#include "app/window/globals.h"
#include "app/core/player.h"
#include "app/window/unit1.h"
#include "playback/playback_controls.h"
#include "app/window/vcl.h"
#include "playback/audio_library.h"
#include "support/signal_analysis.h"
#include "support/sink_recorder.h"
#include "support/test_servers.h"
#include "tests/e2e/listening.h"

using namespace std::chrono_literals;
using radiolist::test::toneShare;

namespace {

using radiolist::test::e2e::only440;
using radiolist::test::e2e::only880;
using radiolist::test::e2e::silent;

void writeFile(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write(bytes);
}

class WindowSoundTest : public radiolist::test::ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    if (IsSkipped()) return;
    sink_ = std::make_unique<radiolist::test::PrivateSink>(servers());
    ASSERT_EQ(sink_->error(), "");
    sink_->exportAsDefault();
    recorder_ = std::make_unique<radiolist::test::SinkRecorder>(*sink_);
    ASSERT_EQ(recorder_->start(), "");

    ASSERT_TRUE(dir_.isValid());
    oldDir_ = QDir::currentPath();
    QDir::setCurrent(dir_.path());
    const QByteArray names = "Тестовое радио 440\r\nTest Radio 880 AAC\r\n";
    const QByteArray urls =
        QByteArray::fromStdString(servers().mp3Url() + "\r\n" + servers().aacUrl() + "\r\n");
    writeFile(dir_.filePath("Name.txt"), names);
    writeFile(dir_.filePath("url.txt"), urls);
    QDir(dir_.path()).mkpath("imag");
    for (const char* name : {"glossyicon.bmp", "delete.bmp", "play.bmp", "stop.bmp"}) {
      QImage image(20, 20, QImage::Format_RGB32);
      image.fill(Qt::white);
      QPainter(&image).fillRect(5, 5, 10, 10, Qt::darkGreen);
      ASSERT_TRUE(image.save(dir_.filePath(QStringLiteral("imag/") + QLatin1String(name)), "BMP"));
    }
    resetGlobalState();
    radiolist::setErrorPresenter([this](const QString&, const QString& text) { errors_ << text; });
  }

  void TearDown() override {
    form_.reset();
    radiolist::realAudioLibrary().Free();
    if (!oldDir_.isEmpty()) QDir::setCurrent(oldDir_);
    unsetenv("PULSE_SINK");
  }

  // Runs the event loop until `heard` holds for the last 200 ms of sound, or `timeout` passes.
  bool listenFor(const std::function<bool(std::span<const float>)>& heard,
                 std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
      QTest::qWait(20);
      const auto last = recorder_->last(200ms);
      if (last.size() >= radiolist::test::e2e::kRate / 5 && heard(last)) return true;
    }
    return false;
  }
  bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= end) return false;
      QTest::qWait(20);
    }
    return true;
  }

  std::unique_ptr<radiolist::test::PrivateSink> sink_;
  std::unique_ptr<radiolist::test::SinkRecorder> recorder_;
  QTemporaryDir dir_;
  QString oldDir_;
  QStringList errors_;
  radiolist::Player player_{radiolist::realPlaybackControls()};
  std::unique_ptr<TForm1> form_;
};

TEST_F(WindowSoundTest, PlaysShowsNameAndTitleSwitchesChannelsAndStops) {
  const auto started = std::chrono::steady_clock::now();
  form_ = std::make_unique<TForm1>(radiolist::realAudioLibrary(), player_);
  form_->create();
  form_->show();
  ASSERT_TRUE(errors_.isEmpty()) << errors_.join('|').toStdString();

  ASSERT_TRUE(listenFor(only440, 2s))
      << "the first channel must be heard within 2 s, with no input";
  RecordProperty("first_sound_ms",
                 static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - started)
                                      .count()));

  EXPECT_TRUE(
      waitFor([&] { return form_->Label1->text() == QStringLiteral("Test Radio 440"); }, 5s))
      << "station name: " << form_->Label1->text().toStdString();
  EXPECT_TRUE(waitFor(
      [&] { return form_->Label2->text() == QStringLiteral("Test Artist - Tone 440"); }, 5s))
      << "title: " << form_->Label2->text().toStdString();

  const std::string title = "Новости - Утро & Co";
  ASSERT_EQ(servers().setIcecastTitle(servers().value("MOUNT_TONE440_MP3"), title), "");
  EXPECT_TRUE(waitFor([&] { return form_->Label2->text() == QString::fromStdString(title); }, 6s))
      << "title did not follow: " << form_->Label2->text().toStdString();
  ASSERT_EQ(
      servers().setIcecastTitle(servers().value("MOUNT_TONE440_MP3"), "Test Artist - Tone 440"),
      "");

  // A click on the second name brings the AAC channel and silences the first.
  const QRect row = form_->ListBox1->visualRect(form_->ListBox1->model()->index(1, 0));
  QTest::mouseClick(form_->ListBox1->viewport(), Qt::LeftButton, {}, row.center());
  EXPECT_TRUE(listenFor(only880, 4s)) << "880 Hz alone after choosing the AAC channel";
  EXPECT_TRUE(
      waitFor([&] { return form_->Label1->text() == QStringLiteral("Test Radio 880"); }, 6s))
      << "AAC station name: " << form_->Label1->text().toStdString();

  // After a channel start the first press restarts, the second stops.
  form_->SpeedButton2->click();
  EXPECT_TRUE(listenFor(only880, 3s));
  form_->SpeedButton2->click();
  EXPECT_TRUE(listenFor(silent, 1s)) << "START STOP must silence the AAC channel";
  EXPECT_EQ(form_->SpeedButton2->Tag, 0);
  EXPECT_TRUE(errors_.isEmpty()) << errors_.join('|').toStdString();
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
