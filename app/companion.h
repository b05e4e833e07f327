#pragma once
// What the program offers beside its window: saving the song on air, the log of titles heard,
// the sleep timer, a tray icon with their menu, streams connected again at once after a resume
// (logind), and the same on the session bus (org.radiolist.Radiolist1 at /org/radiolist/Radiolist).
// Without a tray host there is no icon, without a session bus no interface; the rest works either
// way and the window is untouched.

#include <QObject>
#include <QTimer>
#include <memory>

#include "app/recent_titles.h"
#include "app/sleep_timer.h"

class QMenu;
class QSystemTrayIcon;
class TForm1;

namespace radiolist {

class Companion : public QObject {
  Q_OBJECT
 public:
  static constexpr std::size_t kMenuTitles = 20;
  // Sleep timer lengths offered in the menu, in minutes.
  static constexpr unsigned kSleepChoices[] = {15, 30, 60, 90};

  Companion(TForm1& form, QString titlesPath);
  ~Companion() override;

  // Puts the interface on the session bus, beside the media controls; false without a bus.
  bool publish();

  // Notes the title on air, if it changed (the poll does this every second).
  void pollTitle();
  // Starts saving the song on air into the music directory's radiolist/ (xdg-user-dir MUSIC,
  // else ~/Music): the file's path, empty when nothing sounds or the song cannot be saved.
  QString saveSong();
  [[nodiscard]] static QString songDirectory();

  [[nodiscard]] RecentTitles& titles() { return titles_; }
  [[nodiscard]] SleepTimer& sleepTimer() { return sleep_; }
  [[nodiscard]] QMenu* menu() const { return menu_.get(); }
  // The tray icon's tooltip: the program, the title on air and the sleep time left.
  [[nodiscard]] QString toolTip() const;

 private slots:
  // logind's signal around a suspend: after the resume, streams connect again at once.
  void onPrepareForSleep(bool goingToSleep);

 private:
  void buildMenu();
  void fillRecentTitles(QMenu* submenu);
  void showTime();

  TForm1& form_;
  RecentTitles titles_;
  SleepTimer sleep_;
  QTimer poll_;
  std::unique_ptr<QMenu> menu_;
  QSystemTrayIcon* tray_ = nullptr;  // owned by this object; null without a tray host
  bool published_ = false;
};

}  // namespace radiolist
