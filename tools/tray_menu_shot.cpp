// Renders the tray icon's menu, with its recent titles open beside it, to a PNG (for the docs):
//
//   tray_menu_shot OUT.png        (run in a directory with a channel list, e.g. example/)
//
// in the language of the locale, as the program shows it (LANG=ru_RU.UTF-8 for Russian).
//
// The window is made as the program makes it, on an audio library that plays nothing.

#include <QApplication>
#include <QDateTime>
#include <QLocale>
#include <QMenu>
#include <QPainter>
#include <QTemporaryDir>

#include "app/core/player.h"
#include "app/desktop/companion.h"
#include "app/desktop/language.h"
#include "app/window/unit1.h"
#include "app/window/window_control.h"
#include "playback/audio_library.h"
#include "playback/playback_controls.h"

namespace {

class SilentLibrary final : public radiolist::AudioLibrary {
 public:
  BOOL Free() override { return 1; }
  BOOL Init(int, DWORD, DWORD) override { return 1; }
  BOOL Start() override { return 1; }
  HSTREAM StreamCreateURL(const char16_t*, DWORD, DWORD) override { return 0; }
  HSTREAM AacStreamCreateURL(const char16_t*, DWORD, DWORD) override { return 0; }
  DWORD ChannelIsActive(DWORD) override { return BASS_ACTIVE_STOPPED; }
  BOOL ChannelPlay(DWORD, BOOL) override { return 0; }
  BOOL ChannelStop(DWORD) override { return 0; }
  const char* ChannelGetTags(DWORD, DWORD) override { return nullptr; }
};

class SilentControls final : public radiolist::PlaybackControls {
 public:
  void SetEventWake(std::function<void()>) override {}
  std::vector<radiolist::PlaybackEvent> TakeEvents() override { return {}; }
  BOOL ChannelPause(DWORD, bool) override { return 0; }
  BOOL ChannelSeek(DWORD, std::int64_t) override { return 0; }
  std::optional<radiolist::ShiftState> ChannelGetShift(DWORD) override { return std::nullopt; }
  void SetVolume(float) override {}
  void RetryNow() override {}
  void HoldToPublicHosts(const std::string& /*url*/) override {}
  void SetLevelLoudness(bool) override {}
  radiolist::SongSave SaveSong(const std::string&) override { return {}; }
  bool StreamPlays(const std::string&, bool) override { return false; }
};

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  if (argc != 2) qFatal("usage: tray_menu_shot OUT.png");
  radiolist::useLanguage(QLocale());
  SilentLibrary audio;
  SilentControls controls;
  radiolist::Player player(controls);
  TForm1 form(audio, player);
  form.create();
  QTemporaryDir state;
  radiolist::Companion companion(player, form.control(), state.filePath("titles.tsv"));
  const qint64 now = QDateTime::currentSecsSinceEpoch();
  companion.titles().note(now - 600, "Radio 1", "Miles Davis - So What");
  companion.titles().note(now - 300, "Radio 1", "Nina Simone - Feeling Good");
  companion.titles().note(now - 60, "Jazz FM", "Chet Baker - Almost Blue");
  companion.sleepTimer().start(30 * 60);

  QMenu* menu = companion.menu();
  QAction* opened = nullptr;
  for (QAction* action : menu->actions()) {
    if (opened == nullptr && action->menu() != nullptr) opened = action;
  }
  if (opened == nullptr) qFatal("the menu has no submenu");
  QMenu* recent = opened->menu();
  emit recent->aboutToShow();  // fills it as opening it would
  const QPixmap main = menu->grab();
  const QPixmap titles = recent->grab();
  menu->adjustSize();
  const int top = menu->actionGeometry(opened).top();  // the submenu opens beside its entry
  QPixmap out(main.width() + titles.width() - 4, std::max(main.height(), top + titles.height()));
  out.fill(Qt::transparent);
  QPainter painter(&out);
  painter.drawPixmap(0, 0, main);
  painter.drawPixmap(main.width() - 4, top, titles);
  painter.end();
  return out.save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
