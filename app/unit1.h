#pragma once
// The main window: its controls (names as in the window layout), their geometry and anchors,
// the wiring of every event to its handler, and the handlers themselves. The handlers are
// implemented in app/handlers/, one file for each thing the window does:
//   app/unit1.cpp                      layout, wiring, FormCreate
//   app/handlers/list_views.cpp        SpeedButton1Click (loading both lists)
//   app/handlers/editors.cpp           OpenNameEditor, ListBox2Click, Edit*KeyPress, Edit*DblClick
//   app/handlers/add_delete.cpp        SpeedButton3Click, SpeedButton4Click, Timer2Timer
//   app/handlers/channel_start.cpp     ListBox1Click, SpeedButton2Click
//   app/handlers/metadata_display.cpp  Timer1Timer, Timer3Timer

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QAbstractListModel>
#include <QListView>
#include <QTimer>
#include <QToolButton>
#include <QWidget>
#include <functional>
#include <optional>
#include <vector>

#include "app/anchors.h"
#include "channels/list_file.h"
#include "playback/bass.h"

namespace radiolist {
class AudioLibrary;
}

// A bitmap button that never takes the focus; Tag is a free integer, as on the other toolkit.
class TSpeedButton : public QToolButton {
  Q_OBJECT
 public:
  explicit TSpeedButton(QWidget* parent);
  int Tag = 0;
};

// The rows of a list box, kept as the list files hold them: a reload moves the file's lines in
// and a save writes them out, with no per-row objects and no conversion. Rows are plain,
// selectable and not editable in place.
class ListBoxRows : public QAbstractListModel {
  Q_OBJECT
 public:
  explicit ListBoxRows(QObject* parent);
  [[nodiscard]] int rowCount(const QModelIndex& parent = {}) const override;
  [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
  [[nodiscard]] Qt::ItemFlags flags(const QModelIndex& index) const override;

  [[nodiscard]] const radiolist::ListLines& lines() const { return lines_; }
  void replace(radiolist::ListLines lines);
  void insert(int row, std::u16string text);
  void remove(int row);

 private:
  radiolist::ListLines lines_;
};

// A list view that reports a selection made by the user (mouse or keyboard), never one made
// by the program.
class TListBox : public QListView {
  Q_OBJECT
 public:
  explicit TListBox(QWidget* parent);
  [[nodiscard]] int count() const { return rows_->rowCount(); }
  [[nodiscard]] const ListBoxRows& rows() const { return *rows_; }
  [[nodiscard]] ListBoxRows& rows() { return *rows_; }
 signals:
  void userSelected();
  // A left press on `row`: the release that follows will most likely choose it.
  void pressedOnRow(int row);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  // As on a classic list box: only a plain left click selects (the row under the release), and
  // each such click runs the selection handling once; other buttons change nothing.
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  ListBoxRows* rows_;
  bool leftPressed_ = false;
  int selectedAtPress_ = -1;
};

// A single-line editor whose key-press handler sees each typed character first and may consume
// it by setting it to 0.
class TEdit : public QLineEdit {
  Q_OBJECT
 public:
  explicit TEdit(QWidget* parent);
  std::function<void(char16_t& key)> onKeyPress;
  std::function<void()> onDblClick;

  void setVisible(bool visible) override;

 protected:
  void inputMethodEvent(QInputMethodEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
};

class TForm1 : public QWidget {
  Q_OBJECT
 public:
  explicit TForm1(radiolist::AudioLibrary& audio);
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

  // First half of ListBox1Click: opens the name editor over the selected name row and makes
  // it the current channel.
  void OpenNameEditor();

  [[nodiscard]] radiolist::AudioLibrary& audio() const { return audio_; }
  // What the current channel's server says now (nullopt while it says nothing): the station
  // name from its response headers and the title from its in-band metadata, as the labels show
  // them.
  [[nodiscard]] std::optional<QString> stationNameOnAir() const;
  [[nodiscard]] std::optional<QString> titleOnAir() const;

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
  // Tells the audio library the address on ListBox2's row `row` (if any) ahead of its creation
  // by the countdown's run, so that connecting and decoding start now.
  void prepareAddressOnRow(int row);

  radiolist::AudioLibrary& audio_;
  radiolist::AnchorSet formAnchors_;
};
