#pragma once
// A window in a temporary working directory, with list files and glyphs the test chooses, the
// audio library replaced by a recorder and error boxes recorded instead of shown.

#include <gtest/gtest.h>

#include <QDir>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <string>

#include "app/core/player.h"
#include "app/window/unit1.h"
#include "app/window/window_control.h"
#include "tests/app/recording_audio.h"

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes the list files with CR LF line ends (UTF-8).
  void writeLists(const QStringList& names, const QStringList& urls);
  void writeFile(const QString& name, const std::string& bytes);
  [[nodiscard]] std::string readFile(const QString& name) const;
  // Four glyphs: white background with a coloured square in the middle.
  void writeGlyphs();
  [[nodiscard]] QString path(const QString& name) const { return QDir(dir_.path()).filePath(name); }

  // Creates the window, runs its creation handler and shows it.
  void start();
  // Starts and waits until the start-up countdown has run its pair of clicks.
  void startAndSettle();
  // Processes events until `done` holds or `ms` pass; returns whether it holds.
  static bool waitUntil(const std::function<bool()>& done, int ms = 3000);
  // Waits until the resync countdown has stopped.
  bool settle() {
    return waitUntil([this] { return !form->Timer2->isActive(); });
  }
  // A user's mouse click on a row of a list view.
  static void clickRow(TListBox* list, int row);

  QTemporaryDir dir_;
  QString oldDir_;
  RecordingAudio audio;
  RecordingControls controls{audio};
  std::unique_ptr<radiolist::Player> player;
  std::unique_ptr<TForm1> form;
  QStringList errors;  // texts of the error boxes, in order
};
