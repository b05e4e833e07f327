// The program's menu, one for the tray and the window: its items, and showing it on the window.

#include "app/desktop/companion.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QTimer>
#include <algorithm>
#include <tuple>
#include <QDBusError>
#include <QDateTime>
#include <QWidget>
#include <QDir>
#include <QFileDialog>
#include <QStandardPaths>
#include <QIcon>
#include <QMenu>
#include <QMessageBox>
#include <QStyle>
#include <QSystemTrayIcon>
#include <utility>

#include "app/desktop/dbus_properties.h"
#include "app/desktop/outcome_text.h"
#include "app/log_domain.h"
#include "radiolist1_adaptor.h"
#include "playback/log/log.h"
#include "playback/log/thread_name.h"

namespace radiolist {

void Companion::addSleepMenu() {
  QMenu* sleep = menu_->addMenu(tr("Sleep timer"));
  auto* choices = new QActionGroup(sleep);
  QAction* off = sleep->addAction(tr("Off"));
  off->setCheckable(true);
  off->setChecked(true);
  choices->addAction(off);
  connect(off, &QAction::triggered, this, [this] { sleep_.start(0); });
  for (const unsigned minutes : kSleepChoices) {
    QAction* choice = sleep->addAction(tr("%n minute(s)", nullptr, static_cast<int>(minutes)));
    choice->setCheckable(true);
    choices->addAction(choice);
    connect(choice, &QAction::triggered, this, [this, minutes] { sleep_.start(minutes * 60); });
  }
  // The menu shows "Off" again once the timer has run out or was cancelled over the bus.
  connect(&sleep_, &SleepTimer::changed, off, [this, off] {
    if (!sleep_.running()) off->setChecked(true);
  });
}

void Companion::buildMenu() {
  menu_ = std::make_unique<QMenu>();
  // Live radio paused and gone back in: the window's START STOP stays as it is.
  pause_ = menu_->addAction(tr("Pause"));
  pause_->setCheckable(true);
  connect(pause_, &QAction::triggered, this, [this](bool paused) {
    if (paused)
      player_.pause();
    else
      player_.play();
  });
  back_ = menu_->addAction(tr("Back 30 s"));
  connect(back_, &QAction::triggered, this, [this] { player_.seekBy(-kBackStepUs); });
  live_ = menu_->addAction(tr("Go live"));
  connect(live_, &QAction::triggered, this, &Companion::goLive);
  menu_->addSeparator();
  save_ = menu_->addAction(tr("Save song"));
  connect(save_, &QAction::triggered, this, [this] {
    saveSong([this](const SongSave& save) {
      const bool saving = save.status == SongSave::Status::Saving;
      if (tray_ != nullptr) {
        if (saving)
          tray_->showMessage(tr("Saving the song"), describe(save));
        else
          tray_->showMessage(tr("Cannot save the song"), describe(save), QSystemTrayIcon::Warning);
      } else if (!saving) {
        window_.showError(describe(save));  // nothing else would tell it
      }
    });
  });
  noteShift();
  QMenu* recent = menu_->addMenu(tr("Recent titles"));
  connect(recent, &QMenu::aboutToShow, this, [this, recent] { fillRecentTitles(recent); });
  fillRecentTitles(recent);

  addSleepMenu();

  QAction* level = menu_->addAction(tr("Level loudness"));
  level->setCheckable(true);
  level->setChecked(levelLoudness_);
  connect(level, &QAction::toggled, this, &Companion::setLevelLoudness);
  connect(this, &Companion::levelLoudnessChanged, level, &QAction::setChecked);
  QAction* notify = menu_->addAction(tr("Notify on new titles"));
  notify->setCheckable(true);
  notify->setChecked(notify_);
  connect(notify, &QAction::toggled, this, &Companion::setNotify);
  connect(this, &Companion::notifyChanged, notify, &QAction::setChecked);

  menu_->addSeparator();
  findStations_ = menu_->addAction(tr("Find stations…"));
  connect(findStations_, &QAction::triggered, this, &Companion::showFindStations);
  connect(menu_->addAction(tr("Add stations from a file…")), &QAction::triggered, this,
          &Companion::addFromFiles);
  export_ = menu_->addAction(tr("Export list…"));
  connect(export_, &QAction::triggered, this, &Companion::exportList);

  menu_->addSeparator();
  connect(menu_->addAction(tr("About")), &QAction::triggered, this, &Companion::showAbout);
  showWindow_ = menu_->addAction(tr("Show window"));
  connect(showWindow_, &QAction::triggered, this, [this] { window_.show(); });
  connect(menu_->addAction(tr("Quit")), &QAction::triggered, qApp, &QCoreApplication::quit);

  connect(menu_.get(), &QMenu::aboutToShow, this, [this] {
    export_->setEnabled(!player_.stations().isEmpty());
    showWindow_->setVisible(!std::exchange(onWindow_, false));
  });
}

void Companion::showMenuOnWindow(QPoint at, bool fromKeyboard) {
  if (menu_->isVisible()) return;
  onWindow_ = true;
  menu_->popup(at);
  if (!fromKeyboard) return;
  // From the keyboard the first item that can act is highlighted: the arrows go on from it.
  for (QAction* action : menu_->actions()) {
    if (action->isEnabled() && action->isVisible() && !action->isSeparator()) {
      menu_->setActiveAction(action);
      break;
    }
  }
}

void Companion::addFromFiles() {
  const QStringList files = QFileDialog::getOpenFileNames(
      window_.widget(), tr("Add stations"), QDir::homePath(),
      tr("Playlists and station lists (*.m3u *.m3u8 *.pls *.xspf *.txt);;All files (*)"));
  if (files.isEmpty()) return;
  intake_.add(files, [this](const StationsAdded& result) { tellResult(window_, result); });
}

void Companion::showAbout() {
  QMessageBox::about(window_.widget(), tr("About radiolist"),
                     QStringLiteral("<b>radiolist %1</b><p>%2</p>")
                         .arg(QStringLiteral(RADIOLIST_VERSION),
                              tr("A personal list of internet radio channels, played as you "
                                 "choose them.")
                                  .toHtmlEscaped()));
}

void Companion::fillRecentTitles(QMenu* submenu) {
  submenu->clear();
  const QList<TitleEntry> recent = titles_.newest(kMenuTitles);
  if (recent.isEmpty()) submenu->addAction(tr("(none yet)"))->setEnabled(false);
  for (const TitleEntry& entry : recent) {
    // A title's text is the server's: "&" must not turn into a shortcut, and a long one must not
    // make the menu wider than the screen.
    constexpr qsizetype kLongest = 80;
    QString label =
        entry.title.size() > kLongest ? entry.title.left(kLongest - 1) + u'…' : entry.title;
    label.replace(QLatin1Char('&'), QLatin1String("&&"));
    QAction* action = submenu->addAction(label);
    action->setToolTip(entry.station);
    connect(action, &QAction::triggered, this,
            [title = entry.title] { QApplication::clipboard()->setText(title); });
  }
}

}  // namespace radiolist
