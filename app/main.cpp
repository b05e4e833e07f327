// Program entry: the window is created (its creation handler runs, and may report an error
// before the window appears), shown, and the event loop runs until it is closed. Closing it ends
// the sound: the audio library stops every stream before the process exits.

#include <QApplication>

#include "app/companion.h"
#include "app/mpris.h"
#include "app/unit1.h"
#include "playback/audio_library.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
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
