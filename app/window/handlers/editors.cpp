// The in-place editors: opening them over a row, committing with Enter, pasting on a double click.

#include "app/window/globals.h"
#include "app/window/unit1.h"
#include "app/window/vcl.h"
#include "app/window/handlers/list_views.h"
#include "app/window/list_saver.h"
#include "playback/audio_library.h"

using namespace radiolist;

namespace {

constexpr char16_t kEnter = 13;

// The row an editor's commit replaces: the list's selected row; with none (the list was
// reloaded while the editor stayed open), the current channel's row when the list has it.
// -1: nothing to replace, so nothing is written.
int commitRow(const TListBox* list) {
  const int selected = itemIndex(list);
  if (selected >= 0) return selected;
  return ChannelIndex >= 0 && ChannelIndex < list->count() ? ChannelIndex : -1;
}

// Clipboard text as one row: a line break or NUL saved into a list file would split or cut the
// row on the next load and shift every later name against its address.
QString singleLine(QString text) {
  while (!text.isEmpty() && (text.back() == u'\n' || text.back() == u'\r')) text.chop(1);
  text.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
  for (QChar& c : text)
    if (c == u'\r' || c == u'\n' || c == u'\0') c = u' ';
  return text;
}

}  // namespace

void TForm1::OpenNameEditor() {
  Edit1->setText(QString());
  Edit2->hide();
  const QRect rect = rowRect(ListBox1, itemIndex(ListBox1));
  ItemRect = {rect.left(), rect.top(), rect.left() + rect.width(), rect.top() + rect.height()};
  Edit1->move(ItemRect.Left + 4, ItemRect.Top + 10);
  Edit1->resize(canvasTextWidth(rowText(ListBox1, itemIndex(ListBox1))) + 100, Edit1->height());
  Edit1->resize(Edit1->width(), ItemRect.Bottom - ItemRect.Top + 20);
  Edit1->setText(rowText(ListBox1, itemIndex(ListBox1)));
  selectRow(ListBox1, itemIndex(ListBox1));
  setFocusChecked(ListBox2);
  ChannelIndexText = QString::number(itemIndex(ListBox1));
  ChannelIndex = itemIndex(ListBox1);
  setCaption(Label1, ChannelIndexText);
  Edit1->show();
  Edit1->selectAll();
  setFocusChecked(Edit1);
  Edit2->show();
  Edit2->selectAll();
  setFocusChecked(Edit2);
}

void TForm1::ListBox2Click(QObject*) {
  Edit1->hide();
  Edit1->setText(QString());
  const QRect rect = rowRect(ListBox2, itemIndex(ListBox2));
  Edit2->move(rect.left() + 460, rect.top() + 10);
  Edit2->resize(canvasTextWidth(rowText(ListBox2, itemIndex(ListBox2))) + 200, Edit2->height());
  Edit2->resize(Edit2->width(), rect.height() + 20);
  Edit2->setText(rowText(ListBox2, itemIndex(ListBox2)));
  selectRow(ListBox2, itemIndex(ListBox2));
  Edit2->show();
  Edit2->selectAll();
  setFocusChecked(Edit2);
}

void TForm1::Edit1KeyPress(QObject*, char16_t& Key) {
  stopChannelStreams();
  if (Key != kEnter) return;
  settleListSaves();  // the rows as saved, before this edit changes one
  const QString path = currentDir() + QStringLiteral("/Name.txt");
  const int row = commitRow(ListBox1);
  if (row < 0) return;  // the editor keeps its text; no unpaired row is appended
  deleteRow(ListBox1, row);
  insertRow(ListBox1, row, Edit1->text());
  Edit1->hide();
  saveListView(ListBox1, path);
  Key = 0;
  loadListView(ListBox1, currentDir() + QStringLiteral("/Name.txt"));
}

void TForm1::Edit2KeyPress(QObject*, char16_t& Key) {
  stopChannelStreams();
  if (Key != kEnter) return;
  settleListSaves();  // the rows as saved, before this edit changes one
  const QString path = currentDir() + QStringLiteral("/url.txt");
  const int row = commitRow(ListBox2);
  if (row < 0) return;
  deleteRow(ListBox2, row);
  insertRow(ListBox2, row, Edit2->text());
  Edit2->hide();
  saveListView(ListBox2, path);
  Key = 0;
  sleepMs(100);
  loadListView(ListBox2, currentDir() + QStringLiteral("/url.txt"));
  sleepMs(100);
  loadListView(ListBox1, currentDir() + QStringLiteral("/Name.txt"));
  ResyncCountdown = 9;
  setItemIndex(ListBox2, ChannelIndex);
  setFocusChecked(ListBox2);
  setFocusChecked(ListBox1);
  restartChannelStreams();
}

void TForm1::Edit1DblClick(QObject*) {
  Edit1->setText(QString());
  Edit1->setText(singleLine(clipboardText()));
}

void TForm1::Edit2DblClick(QObject*) {
  Edit2->setText(QString());
  Edit2->setText(singleLine(clipboardText()));
}

void TForm1::stopChannelStreams() {
  audio_.ChannelStop(StreamHandle);
  audio_.ChannelStop(AacStreamHandle);
}

void TForm1::restartChannelStreams() {
  audio_.ChannelPlay(StreamHandle, 1);
  audio_.ChannelPlay(AacStreamHandle, 1);
}
