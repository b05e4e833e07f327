// Program entry: the window is created (its creation handler runs, and may report an error
// before the window appears), shown, and the event loop runs until it is closed. Closing it ends
// the sound: the audio library stops every stream before the process exits.

#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>

#include "app/companion.h"
#include "app/mpris.h"
#include "app/unit1.h"
#include "playback/audio_library.h"

namespace {

int gSignalSocket[2] = {-1, -1};

void onTerminationSignal(int /*signal*/) {
  const char byte = 1;
  (void)!::write(gSignalSocket[1], &byte, 1);  // all a signal handler may safely do
}

// SIGTERM (a logout, `kill`), SIGINT and SIGHUP end the program as Quit does, so that a song being
// saved is closed and every stream stops; a second signal during that ends it at once.
void quitOnTerminationSignals() {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, gSignalSocket) != 0) return;
  auto* notifier = new QSocketNotifier(gSignalSocket[0], QSocketNotifier::Read, qApp);
  QObject::connect(notifier, &QSocketNotifier::activated, qApp, &QCoreApplication::quit);
  struct sigaction action {};
  action.sa_handler = onTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  quitOnTerminationSignals();
  QGuiApplication::setDesktopFileName(QStringLiteral("radiolist"));  // matches the desktop entry
  TForm1 form(radiolist::realAudioLibrary());
  form.create();
  form.show();
  const auto mediaControls = radiolist::MprisService::publish(form);
  radiolist::Companion companion(form, radiolist::RecentTitles::defaultPath());
  if (mediaControls) companion.publish();  // on the bus name the media controls own
  const int status = QApplication::exec();
  radiolist::shutdownRealAudioLibrary();
  return status;
}
