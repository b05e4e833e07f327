// Program entry: the list directory is locked (a second program on the same list hands over to
// the first and ends), the window is created (its creation handler runs, and may report an error
// before the window appears), shown, and the event loop runs until it is closed. Closing it ends
// the sound: the audio library stops every stream before the process exits.

#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QLocale>
#include <QSocketNotifier>
#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>
#include <optional>
#include <string>

#include "app/desktop/companion.h"
#include "app/desktop/language.h"
#include "app/desktop/mpris.h"
#include "app/desktop/single_program.h"
#include "app/core/player.h"
#include "app/log_domain.h"
#include "app/window/unit1.h"
#include "app/window/vcl.h"
#include "app/window/window_control.h"
#include "playback/audio_library.h"
#include "playback/playback_controls.h"
#include "playback/log/log.h"

namespace {

using namespace std::chrono_literals;

// How long an orderly end may take after a terminating signal before the watchdog ends the
// process as that signal would have; the end of a window with streams and a song being saved
// takes well under half of it.
constexpr long kOrderlyEndNs = 1'500'000'000;
// How long a second start waits for the program on its list to answer on the bus.
constexpr auto kHandOverWait = 5s;

int gSignalSocket[2] = {-1, -1};
std::atomic<int> gEnding{0};  // the first terminating signal, 0 until one came
timer_t gWatchdog{};
bool gWatchdogMade = false;

static_assert(std::atomic<int>::is_always_lock_free, "used in signal handlers");

[[noreturn]] void endAsSignalled(int signal) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(signal);
  ::_exit(128 + signal);
}

// Only async-signal-safe calls: the first signal asks the event loop for an orderly end and arms
// the watchdog; any later one, of any of the three kinds, ends the process at once.
void onTerminationSignal(int signal) {
  if (gEnding.exchange(signal) != 0) endAsSignalled(signal);
  if (gWatchdogMade) {
    itimerspec at{};
    at.it_value.tv_sec = kOrderlyEndNs / 1'000'000'000;
    at.it_value.tv_nsec = kOrderlyEndNs % 1'000'000'000;
    ::timer_settime(gWatchdog, 0, &at, nullptr);
  } else {
    ::alarm(1);  // whole seconds only
  }
  const char byte = 1;
  (void)!::write(gSignalSocket[1], &byte, 1);
}

void onWatchdog(int /*signal*/) { endAsSignalled(gEnding.load()); }

bool ending() { return gEnding.load() != 0; }

// Runs on the UI thread, in whichever event loop runs: the main one, or an error box's before
// it (where quit() does nothing, so exit() leaves every running loop and main does not enter
// exec()). Reading the byte keeps the notifier from firing again.
void endOnSignal() {
  char bytes[16];
  while (::read(gSignalSocket[0], bytes, sizeof bytes) > 0) {
  }
  QCoreApplication::quit();  // as Quit does: the windows close, then the loop ends
  QCoreApplication::exit(0);
}

// SIGTERM (a logout, `kill`), SIGINT and SIGHUP end the program as Quit does, so that a song being
// saved is closed and every stream stops; a second signal ends it at once, and so does the
// watchdog when the orderly end hangs.
void endOnTerminationSignals() {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, gSignalSocket) == 0) {
    auto* notifier = new QSocketNotifier(gSignalSocket[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, endOnSignal);
  }
  sigevent event{};
  event.sigev_notify = SIGEV_SIGNAL;
  event.sigev_signo = SIGALRM;
  gWatchdogMade = ::timer_create(CLOCK_MONOTONIC, &event, &gWatchdog) == 0;
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  action.sa_handler = onWatchdog;
  ::sigaction(SIGALRM, &action, nullptr);
  action.sa_handler = onTerminationSignal;
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

// A second start on a list another program holds: that one adds the stations given and shows its
// window instead, or, when it cannot be reached, this one says so. It never creates a window or
// touches the list files.
int handOver(const QByteArray& listDir, const QStringList& stations,
             const radiolist::ListLock& lock) {
  const QString busName = radiolist::listBusName(listDir);
  const radiolist::HandOver answer = radiolist::handOverToRunningProgram(
      busName, stations, kHandOverWait, [&lock] { return lock.holder(); });
  if (ending()) return 0;
  if (answer.answered && answer.error.isEmpty()) return 0;
  if (answer.stranger != 0)
    radiolist::log::error(radiolist::kDesktopLog, "the bus name ", busName.toStdString(),
                          " is owned by process ",
                          answer.stranger > 0 ? std::to_string(answer.stranger) : "unknown",
                          ", not by the program holding the list's lock (process ",
                          answer.holder > 0 ? std::to_string(answer.holder) : "unknown",
                          "): nothing was handed over");
  const QString text = answer.answered ? answer.error : radiolist::alreadyRunningText(listDir);
  radiolist::log::error(radiolist::kDesktopLog, radiolist::errorBoxText(text).toStdString());
  radiolist::showError(text);
  return 1;
}

// Qt's own messages (a missing tray host, a bus that went away) in the program's log, as the
// desktop side's: warnings and worse always, the rest when RADIOLIST_LOG names "desktop".
void logQtMessage(QtMsgType type, const QMessageLogContext& /*context*/, const QString& text) {
  using radiolist::log::Level;
  const Level level = type == QtDebugMsg     ? Level::Debug
                      : type == QtInfoMsg    ? Level::Info
                      : type == QtWarningMsg ? Level::Warning
                                             : Level::Error;
  radiolist::log::at(level, radiolist::kDesktopLog, text.toStdString());
}

}  // namespace

int main(int argc, char* argv[]) {
  qInstallMessageHandler(logQtMessage);
  QApplication application(argc, argv);
  radiolist::useLanguage(QLocale());  // the system's
  endOnTerminationSignals();
  QGuiApplication::setDesktopFileName(QStringLiteral("radiolist"));  // matches the desktop entry

  QByteArray listDir;
  const radiolist::ListLock lock = radiolist::ListLock::takeForCurrentDirectory(listDir);
  // Playlists, station lists and addresses to add: everything after the program's name.
  const QStringList stations = QCoreApplication::arguments().mid(1);
  if (lock.state() == radiolist::ListLock::State::Held) return handOver(listDir, stations, lock);
  if (lock.state() == radiolist::ListLock::State::Failed)
    radiolist::log::warning(radiolist::kDesktopLog, "cannot lock the list in \"",
                            listDir.constData(), "\" (",
                            radiolist::systemErrorText(lock.error()).toStdString(),
                            "): a second program on it would not be noticed");

  radiolist::Player player(radiolist::realPlaybackControls());
  TForm1 form(radiolist::realAudioLibrary(), player);
  if (!ending()) form.create();
  int status = 0;
  std::unique_ptr<radiolist::MprisService> mediaControls;
  std::optional<radiolist::Companion> companion;
  if (!ending()) {
    form.show();
    radiolist::WindowControl& window = form.control();
    mediaControls = radiolist::MprisService::publish(player, window);
    companion.emplace(player, window, radiolist::RecentTitles::defaultPath());
    if (mediaControls) {
      companion->publish();  // on the bus name the media controls own
      if (lock.state() == radiolist::ListLock::State::Taken)
        radiolist::claimListBusName(radiolist::listBusName(listDir));
    }
    if (!stations.isEmpty()) {
      companion->intake().add(stations, [&window](const radiolist::StationsAdded& result) {
        radiolist::tellResult(window, result);
      });
    }
    status = QApplication::exec();
  }
  radiolist::shutdownRealAudioLibrary();
  return status;
}
