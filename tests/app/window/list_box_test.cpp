// The list boxes on their own: row operations and the selection they leave, loading and saving
// through the list files, what the user can do to a row, and what a screen reader is told.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

#include "app/window/unit1.h"
#include "app/window/vcl.h"
#include "app/window/handlers/list_views.h"

using namespace radiolist;

namespace {

class ListBoxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    window_.resize(300, 200);
    list = new TListBox(&window_);
    list->setGeometry(0, 0, 300, 200);
    window_.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window_));
  }

  void fill(const QStringList& rows) {
    for (const QString& row : rows) appendRow(list, row);
  }
  // The rows as the view shows them.
  [[nodiscard]] QStringList shown() const {
    QStringList out;
    for (int i = 0; i < list->model()->rowCount(); ++i)
      out << list->model()->index(i, 0).data().toString();
    return out;
  }
  [[nodiscard]] QString path(const QString& name) const { return QDir(dir_.path()).filePath(name); }
  void write(const QString& name, const QByteArray& bytes) {
    QFile file(path(name));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
  }
  [[nodiscard]] QByteArray read(const QString& name) const {
    QFile file(path(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
  }
  // Error text of a call that must throw.
  static QString errorOf(const std::function<void()>& call) {
    try {
      call();
    } catch (const std::exception& error) {
      return QString::fromUtf8(error.what());
    }
    return QStringLiteral("<no error>");
  }

  QTemporaryDir dir_;
  QWidget window_;
  TListBox* list = nullptr;
};

TEST_F(ListBoxTest, DeletingARowKeepsTheSelectionOnItsRowOrClearsIt) {
  fill({"a", "b", "c", "d", "e"});
  setItemIndex(list, 2);
  deleteRow(list, 0);
  EXPECT_EQ(shown(), (QStringList{"b", "c", "d", "e"}));
  EXPECT_EQ(itemIndex(list), 1);
  EXPECT_EQ(rowText(list, itemIndex(list)), "c");

  deleteRow(list, 3);  // below the selection
  EXPECT_EQ(itemIndex(list), 1);
  EXPECT_EQ(list->selectionModel()->selectedIndexes().size(), 1);

  deleteRow(list, 1);  // the selected row itself: the view must not move the selection on
  EXPECT_EQ(shown(), (QStringList{"b", "d"}));
  EXPECT_EQ(itemIndex(list), -1);
  EXPECT_FALSE(list->currentIndex().isValid());
  EXPECT_TRUE(list->selectionModel()->selectedIndexes().isEmpty());

  deleteRow(list, 2);
  deleteRow(list, -1);
  EXPECT_EQ(shown(), (QStringList{"b", "d"})) << "deleting outside the list does nothing";
}

TEST_F(ListBoxTest, InsertingMovesTheSelectionWithItsRowAndNeverSelectsTheNewOne) {
  fill({"a", "b", "c"});
  insertRow(list, 1, "new");
  EXPECT_EQ(shown(), (QStringList{"a", "new", "b", "c"}));
  EXPECT_EQ(itemIndex(list), -1);
  EXPECT_FALSE(list->currentIndex().isValid());

  setItemIndex(list, 2);
  insertRow(list, 0, "first");
  insertRow(list, 5, "last");  // the row count: appends
  appendRow(list, "after");
  EXPECT_EQ(shown(), (QStringList{"first", "a", "new", "b", "c", "last", "after"}));
  EXPECT_EQ(itemIndex(list), 3);
  EXPECT_EQ(rowText(list, 3), "b");

  EXPECT_EQ(errorOf([&] { insertRow(list, 8, "x"); }), "Unable to insert a line");
  EXPECT_EQ(errorOf([&] { insertRow(list, -2, "x"); }), "Unable to insert a line");
  EXPECT_EQ(list->count(), 7);
}

TEST_F(ListBoxTest, IndexAndTextFollowTheListsBounds) {
  fill({"a", "b"});
  setItemIndex(list, 1);
  setItemIndex(list, 2);
  setItemIndex(list, -5);
  EXPECT_EQ(itemIndex(list), 1) << "an index outside the list changes nothing";
  setItemIndex(list, -1);
  EXPECT_EQ(itemIndex(list), -1);
  EXPECT_FALSE(list->currentIndex().isValid());

  EXPECT_EQ(errorOf([&] { (void)rowText(list, 2); }), "List index out of bounds (2)");
  EXPECT_EQ(errorOf([&] { (void)rowText(list, -1); }), "List index out of bounds (-1)");
  EXPECT_EQ(errorOf([&] { selectRow(list, 2); }), "List index out of bounds (2)");
  EXPECT_EQ(itemIndex(list), -1);
}

TEST_F(ListBoxTest, SelectingARowFarDownScrollsItIntoView) {
  QStringList rows;
  for (int i = 0; i < 500; ++i) rows << QString::number(i);
  fill(rows);
  selectRow(list, 400);
  EXPECT_EQ(itemIndex(list), 400);
  EXPECT_TRUE(list->viewport()->rect().contains(rowRect(list, 400))) << rowRect(list, 400).y();
}

TEST_F(ListBoxTest, RowRectanglesAreUniformAndOneRowPastTheEnd) {
  EXPECT_EQ(rowRect(list, 0), QRect(0, 0, list->viewport()->width(), list->fontMetrics().height()));
  EXPECT_EQ(rowRect(list, -1), QRect());
  fill({"a", "b", "c"});
  const QRect first = rowRect(list, 0);
  ASSERT_GT(first.height(), 0);
  EXPECT_EQ(rowRect(list, 2), first.translated(0, 2 * first.height()));
  EXPECT_EQ(rowRect(list, 3), first.translated(0, 3 * first.height()));
  EXPECT_EQ(rowRect(list, 4), QRect());
}

TEST_F(ListBoxTest, LoadingReplacesEveryRowAndLeavesNoneSelectedAFailedLoadChangesNothing) {
  fill({"old 1", "old 2", "old 3"});
  setItemIndex(list, 2);
  write("Name.txt", "Радио\r\nJazz & Blues\r\n\r\nlast");
  loadListView(list, path("Name.txt"));
  EXPECT_EQ(shown(), (QStringList{"Радио", "Jazz & Blues", "", "last"}));
  EXPECT_EQ(itemIndex(list), -1);
  EXPECT_FALSE(list->currentIndex().isValid());

  setItemIndex(list, 1);
  EXPECT_EQ(errorOf([&] { loadListView(list, path("missing.txt")); }).left(16), "Cannot open file");
  EXPECT_EQ(shown(), (QStringList{"Радио", "Jazz & Blues", "", "last"}));
  EXPECT_EQ(itemIndex(list), 1);
}

TEST_F(ListBoxTest, EditsOnALargeListSaveExactlyTheRowsShown) {
  QByteArray bytes;
  for (int i = 0; i < 100000; ++i) bytes += "row " + QByteArray::number(i) + "\r\n";
  write("url.txt", bytes);
  loadListView(list, path("url.txt"));
  ASSERT_EQ(list->count(), 100000);
  EXPECT_EQ(rowText(list, 99999), "row 99999");

  deleteRow(list, 50000);
  insertRow(list, 0, "top");
  appendRow(list, "bottom");
  saveListView(list, path("url.txt"));
  QByteArray expected = "top\r\n" + bytes + "bottom\r\n";
  expected.replace("row 50000\r\n", "");
  EXPECT_TRUE(read("url.txt") == expected) << "saved " << read("url.txt").size() << " bytes";
  loadListView(list, path("url.txt"));
  EXPECT_EQ(list->count(), 100001);
  EXPECT_EQ(list->model()->index(50000, 0).data().toString(), "row 49999");
  EXPECT_EQ(list->model()->index(50001, 0).data().toString(), "row 50001");
}

TEST_F(ListBoxTest, TheUserSelectsWithMouseAndKeysButCannotEditARowInPlace) {
  fill({"a", "b", "c"});
  QSignalSpy chosen(list, &TListBox::userSelected);
  setItemIndex(list, 0);
  selectRow(list, 1);
  EXPECT_EQ(chosen.count(), 0) << "selections made by the program are not reported";

  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rowRect(list, 2).center());
  EXPECT_EQ(itemIndex(list), 2);
  EXPECT_EQ(chosen.count(), 1);
  list->setFocus();
  QTest::keyClick(list, Qt::Key_Up);
  EXPECT_EQ(itemIndex(list), 1);
  EXPECT_EQ(chosen.count(), 2);
  QTest::keyClick(list, Qt::Key_Up);
  QTest::keyClick(list, Qt::Key_Up);  // already at the top: nothing changes, nothing reported
  EXPECT_EQ(chosen.count(), 3);

  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, rowRect(list, 1).center());
  QTest::keyClick(list, Qt::Key_F2);
  EXPECT_TRUE(list->findChildren<QLineEdit*>().isEmpty()) << "no in-place editor opened";
  EXPECT_EQ(shown(), (QStringList{"a", "b", "c"}));
}

TEST_F(ListBoxTest, OnlyAPlainLeftClickSelectsAndTheReleaseRowIsTheOneChosen) {
  fill({"a", "b", "c"});
  selectRow(list, 0);
  list->clearFocus();
  QSignalSpy chosen(list, &TListBox::userSelected);
  QSignalSpy pressed(list, &TListBox::pressedOnRow);
  const struct {
    Qt::MouseButton button;
    Qt::KeyboardModifiers modifiers;
  } ignored[] = {
      {Qt::RightButton, {}}, {Qt::MiddleButton, {}}, {Qt::LeftButton, Qt::ControlModifier}};
  for (const auto& click : ignored) {
    QTest::mouseClick(list->viewport(), click.button, click.modifiers, rowRect(list, 2).center());
    QTest::mouseClick(list->viewport(), click.button, click.modifiers, rowRect(list, 0).center());
    EXPECT_EQ(itemIndex(list), 0) << "button " << click.button;
  }
  EXPECT_EQ(chosen.count(), 0);
  EXPECT_EQ(pressed.count(), 0);
  EXPECT_FALSE(list->hasFocus()) << "only a left press takes the focus";

  // Pressed on one row and released on another: the release row, reported once.
  QTest::mousePress(list->viewport(), Qt::LeftButton, {}, rowRect(list, 0).center());
  QTest::mouseMove(list->viewport(), rowRect(list, 2).center());
  QTest::mouseRelease(list->viewport(), Qt::LeftButton, {}, rowRect(list, 2).center());
  EXPECT_EQ(itemIndex(list), 2);
  EXPECT_EQ(chosen.count(), 1);
  EXPECT_TRUE(list->hasFocus());
  // The press told which row it was on (the hint the window gives the audio library); a press
  // below the last row tells nothing.
  ASSERT_EQ(pressed.count(), 1);
  EXPECT_EQ(pressed.front().front().toInt(), 0);
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rowRect(list, 3).center());
  EXPECT_EQ(pressed.count(), 1);
}

TEST_F(ListBoxTest, AScreenReaderSeesAListWhoseRowsReadAsTheirText) {
  fill({"Радио Один", "Jazz FM"});
  setItemIndex(list, 1);
  QAccessibleInterface* view = QAccessible::queryAccessibleInterface(list);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view->role(), QAccessible::List);
  QAccessibleTableInterface* table = view->tableInterface();
  ASSERT_NE(table, nullptr);
  ASSERT_EQ(table->rowCount(), 2);
  EXPECT_EQ(table->cellAt(0, 0)->text(QAccessible::Name), "Радио Один");
  EXPECT_EQ(table->cellAt(1, 0)->text(QAccessible::Name), "Jazz FM");
  EXPECT_FALSE(table->cellAt(0, 0)->state().selected);
  EXPECT_TRUE(table->cellAt(1, 0)->state().selected);
  EXPECT_EQ(table->selectedRows(), QList<int>{1});
}

}  // namespace
