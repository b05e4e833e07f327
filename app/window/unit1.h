#pragma once
// The main window: its controls (names as in the window layout), their geometry and anchors,
// the wiring of every event to its handler, and the handlers themselves. The handlers are
// implemented in handlers/, one file for each thing the window does:
//   unit1.cpp                      layout, wiring, FormCreate
//   handlers/list_views.cpp        SpeedButton1Click (loading both lists)
//   handlers/editors.cpp           OpenNameEditor, ListBox2Click, Edit*KeyPress, Edit*DblClick
//   handlers/add_delete.cpp        SpeedButton3Click, SpeedButton4Click, Timer2Timer
//   handlers/channel_start.cpp     ListBox1Click, SpeedButton2Click
//   handlers/metadata_display.cpp  Timer1Timer, Timer3Timer, the station name the core reads

#include <QFrame>
#include <QLabel>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <optional>

#include "app/window/anchors.h"
#include "app/window/controls.h"
#include "playback/bass.h"

namespace radiolist {
class AudioLibrary;
class Player;
class WindowControl;
}  // namespace radiolist

class TForm1 : public QWidget {
  Q_OBJECT
 public:
  // The window acts through `player` (which it tells after each handler) until it is destroyed.
  TForm1(radiolist::AudioLibrary& audio, radiolist::Player& player);
  ~TForm1() override;

  // Runs the creation handler (its errors are shown, as for any handler).
  void create();

  // Controls, in creation order.
  TSpeedButton* SpeedButton1;
  TSpeedButton* SpeedButton2;
  QLabel* Label2;
  TListBox* ListBox1;
  TEdit* Edit1;
  TListBox* ListBox2;
  TEdit* Edit2;
  QFrame* Panel1;
  QLabel* Label3;
  QLabel* Label1;
  TSpeedButton* SpeedButton3;
  TSpeedButton* SpeedButton4;
  QTimer* Timer1;
  QTimer* Timer2;
  QTimer* Timer3;

  // Handlers. Sender is the control or timer that raised the event, or nullptr when the
  // program runs the handler itself.
  void FormCreate(QObject* Sender);
  void SpeedButton1Click(QObject* Sender);
  void SpeedButton2Click(QObject* Sender);
  void SpeedButton3Click(QObject* Sender);
  void SpeedButton4Click(QObject* Sender);
  void ListBox1Click(QObject* Sender);
  void ListBox2Click(QObject* Sender);
  void Edit1KeyPress(QObject* Sender, char16_t& Key);
  void Edit2KeyPress(QObject* Sender, char16_t& Key);
  void Edit1DblClick(QObject* Sender);
  void Edit2DblClick(QObject* Sender);
  void Timer1Timer(QObject* Sender);
  void Timer2Timer(QObject* Sender);
  void Timer3Timer(QObject* Sender);

  // The two branches of SpeedButton2Click, also run by the desktop's media controls.
  void StartPress();
  void StopPress();
  // START for an address that is not a list row (a station found in the directory).
  void PlayAddress(const QString& address);

  // First half of ListBox1Click: opens the name editor over the selected name row and makes
  // it the current channel.
  void OpenNameEditor();

  [[nodiscard]] radiolist::AudioLibrary& audio() const { return audio_; }
  // The window as the core and the desktop side see it.
  [[nodiscard]] radiolist::WindowControl& control() const { return *control_; }
  // Tells the player core that the channel, its streams or the rows may have changed: after each
  // handler that may change them and when the list's rows change.
  void publishNowPlaying();
  // The station name the current channel's server sends in its response headers, as Label1
  // shows it (nullopt while it has sent none).
  [[nodiscard]] std::optional<QString> stationNameOnAir() const;
  // The address list's row the current streams were created from (-1: an address outside the
  // list), and the address they were created for.
  [[nodiscard]] int streamRow() const { return streamRow_; }
  [[nodiscard]] const QString& streamAddress() const { return streamAddress_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void buildControls();
  void wireEvents();
  // Stops (or restarts at the live edge) what the current channel plays: both streams.
  void stopChannelStreams();
  void restartChannelStreams();
  // Tags of the stream that carries the channel: the general one, else the AAC one.
  [[nodiscard]] const char* channelTags(DWORD type) const;
  // Its response header block: ICY, else HTTP, of the general stream, else of the AAC one.
  [[nodiscard]] const char* channelHeaderBlock() const;
  // Starts StreamHandle and AacStreamHandle for the address selected in ListBox2.
  void createAndPlayStreams(bool testActivity);
  // The same for `address`, both created anew.
  void createAndPlayStreams(const std::u16string& address);
  // Notes ListBox2's selected row as the one the streams were created from.
  void noteStreamRow();
  // Tells the audio library the address on ListBox2's row `row` (if any) ahead of its creation
  // by the countdown's run, so that connecting and decoding start now.
  void prepareAddressOnRow(int row);

  radiolist::AudioLibrary& audio_;
  radiolist::Player& player_;
  std::unique_ptr<radiolist::WindowControl> control_;
  radiolist::AnchorSet formAnchors_;
  int streamRow_ = -1;
  QString streamAddress_;
};
