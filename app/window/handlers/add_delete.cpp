// Adding and deleting lines, and the resync countdown that re-opens the editors and restarts
// the current channel after a change.

#include <limits>

#include "app/window/globals.h"
#include "app/window/unit1.h"
#include "app/window/vcl.h"
#include "app/window/handlers/list_views.h"
#include "app/window/list_saver.h"
#include "playback/audio_library.h"

using namespace radiolist;

void TForm1::SpeedButton3Click(QObject*) {
  settleListSaves();  // the rows as saved, before this click changes them
  UrlCount = UrlCount + 1;
  WorkDir = currentDir();
  ListPath = WorkDir + QStringLiteral("/Name.txt");
  appendRow(ListBox1, QString::number(NameCount) + u')');
  saveListView(ListBox1, ListPath);
  WorkDir = currentDir();
  ListPath = WorkDir + QStringLiteral("/url.txt");
  appendRow(ListBox2, QStringLiteral("http://"));
  saveListView(ListBox2, ListPath);
  sleepMs(400);
  // Each file is read once: its line count is the number of rows its load yields.
  WorkDir = currentDir();
  ListPath = WorkDir + QStringLiteral("/Name.txt");
  loadListView(ListBox1, ListPath);
  UrlCount = ListBox1->count();
  WorkDir = currentDir();
  ListPath = WorkDir + QStringLiteral("/url.txt");
  loadListView(ListBox2, ListPath);
  NameCount = ListBox2->count();
  setItemIndex(ListBox1, UrlCount - 1);
  sleepMs(400);
  stopChannelStreams();
  setTimerEnabled(Timer2, true);
  ResyncCountdown = 10;
}

void TForm1::SpeedButton4Click(QObject*) {
  settleListSaves();
  UrlCount = UrlCount - 1;
  // One row index leaves both files, so every later name keeps its address: the selected
  // name, else the selected address; with neither, nothing is removed.
  const int row = itemIndex(ListBox1) >= 0 ? itemIndex(ListBox1) : itemIndex(ListBox2);
  // Each list in turn: remove the row, save, pause, read the file back.
  const auto removeFrom = [&](TListBox* list, const QString& fileName) {
    deleteRow(list, row);
    WorkDir = currentDir();
    ListPath = WorkDir + fileName;
    saveListView(list, ListPath);
    sleepMs(200);
    ListPath = currentDir() + fileName;
    loadListView(list, ListPath);
  };
  removeFrom(ListBox1, QStringLiteral("/Name.txt"));
  removeFrom(ListBox2, QStringLiteral("/url.txt"));
  ResyncCountdown = 10;
  setItemIndex(ListBox2, UrlCount - 2);
  setItemIndex(ListBox1, NameCount - 2);
  setTimerEnabled(Timer2, true);
}

void TForm1::Timer2Timer(QObject*) {
  // A countdown left running free after a failed click saturates instead of wrapping.
  if (ResyncCountdown > std::numeric_limits<std::int32_t>::min())
    ResyncCountdown = ResyncCountdown - 1;
  if (ResyncCountdown == 0) ListBox2Click(nullptr);
  if (ResyncCountdown == 0) ListBox1Click(nullptr);
  setItemIndex(ListBox2, ChannelIndex);
  if (ResyncCountdown == 10) setTimerEnabled(Timer2, false);
}
