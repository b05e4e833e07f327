// The in-place editors: placement, commits, paste, and what typing does to playback.

#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <QMimeData>
#include <QTest>

#include "app/globals.h"
#include "app/vcl.h"
#include "tests/app/window_fixture.h"

using radiolist::itemIndex;
using Calls = std::vector<std::string>;

class EditorTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    writeLists({"Alpha", "Beta", "Gamma"}, {"http://h/a", "http://h/b", "http://h/c"});
    writeGlyphs();
    startAndSettle();
    audio.clear();
  }
  static void type(QWidget* editor, const QString& text) { QTest::keyClicks(editor, text); }
  static void enter(QWidget* editor) { QTest::keyClick(editor, Qt::Key_Return); }
};

TEST_F(EditorTest, EditorsOpenOverRowZeroSizedByTheCanvasFont) {
  const QRect row = form->ListBox1->visualRect(form->ListBox1->model()->index(0, 0));
  EXPECT_EQ(form->Edit1->pos(), QPoint(4, 10));
  EXPECT_EQ(form->Edit1->width(), radiolist::canvasTextWidth(QStringLiteral("Alpha")) + 100);
  EXPECT_EQ(form->Edit1->height(), row.height() + 20);
  EXPECT_EQ(form->Edit2->pos(), QPoint(460, 10));
  EXPECT_EQ(form->Edit2->width(), radiolist::canvasTextWidth(QStringLiteral("http://h/a")) + 200);
  EXPECT_EQ(ItemRect.Top, row.top());
  EXPECT_EQ(ItemRect.Bottom - ItemRect.Top, row.height());
  EXPECT_EQ(form->focusWidget(), form->Edit2);
  EXPECT_EQ(form->Edit2->selectedText(), QStringLiteral("http://h/a"));
}

TEST_F(EditorTest, AddressRowClickMovesOnlyTheAddressEditor) {
  clickRow(form->ListBox2, 2);
  EXPECT_FALSE(form->Edit1->isVisible());
  EXPECT_TRUE(form->Edit1->text().isEmpty());
  EXPECT_EQ(form->Edit2->text(), QStringLiteral("http://h/c"));
  EXPECT_EQ(form->Edit2->y(), form->ListBox2->visualRect(form->ListBox2->model()->index(2, 0)).top() + 10);
  EXPECT_EQ(ChannelIndex, 0);
  EXPECT_TRUE(audio.calls.empty());
}

TEST_F(EditorTest, TypingStopsBothStreamsAndNeverWritesAFile) {
  const std::string before = readFile("Name.txt");
  QTest::keyClick(form->Edit1, Qt::Key_Backspace);
  type(form->Edit1, QStringLiteral("x"));
  QTest::keyClick(form->Edit2, Qt::Key_Escape);
  EXPECT_EQ(audio.calls, (Calls{"Stop G:http://h/a", "Stop A:http://h/a", "Stop G:http://h/a", "Stop A:http://h/a",
                                "Stop G:http://h/a", "Stop A:http://h/a"}));
  QTest::keyClick(form->Edit1, Qt::Key_Left);
  EXPECT_EQ(audio.calls.size(), 6u) << "keys without a character do not reach the handler";
  EXPECT_EQ(readFile("Name.txt"), before);
  EXPECT_EQ(form->Edit1->text(), QStringLiteral("Alphx")) << "other keys reach the editor";
}

TEST_F(EditorTest, EnterInTheNameEditorReplacesTheSelectedRowAndLeavesPlaybackStopped) {
  radiolist::selectRow(form->ListBox1, 1);
  form->Edit1->setText(QStringLiteral("Бета"));
  enter(form->Edit1);
  EXPECT_EQ(readFile("Name.txt"), "Alpha\r\nБета\r\nGamma\r\n");
  EXPECT_EQ(readFile("url.txt"), "http://h/a\r\nhttp://h/b\r\nhttp://h/c\r\n");
  EXPECT_EQ(itemIndex(form->ListBox1), -1);
  EXPECT_FALSE(form->Edit1->isVisible());
  EXPECT_TRUE(form->Edit2->isVisible());
  EXPECT_EQ(form->Edit1->text(), QStringLiteral("Бета")) << "Enter is consumed, not typed";
  EXPECT_EQ(audio.calls, (Calls{"Stop G:http://h/a", "Stop A:http://h/a"}));
}

TEST_F(EditorTest, EnterInTheAddressEditorSavesReselectsTheChannelAndRestartsIt) {
  radiolist::selectRow(form->ListBox2, 0);
  form->Edit2->setText(QStringLiteral("http://h/new"));
  enter(form->Edit2);
  EXPECT_EQ(readFile("url.txt"), "http://h/new\r\nhttp://h/b\r\nhttp://h/c\r\n");
  EXPECT_EQ(itemIndex(form->ListBox2), ChannelIndex);
  EXPECT_EQ(itemIndex(form->ListBox1), -1);
  EXPECT_EQ(form->focusWidget(), form->ListBox1);
  EXPECT_EQ(ResyncCountdown, 9);
  EXPECT_FALSE(form->Timer2->isActive()) << "the address commit does not arm the countdown";
  EXPECT_EQ(audio.calls, (Calls{"Stop G:http://h/a", "Stop A:http://h/a", "Play G:http://h/a", "Play A:http://h/a"}));
}

TEST_F(EditorTest, EnterWithoutSelectedRowReplacesTheCurrentChannelsRow) {
  // After an address commit the name list is reloaded without selection while the name
  // editor stays open.
  enter(form->Edit2);
  ASSERT_EQ(itemIndex(form->ListBox1), -1);
  ASSERT_TRUE(form->Edit1->isVisible());
  form->Edit1->setText(QStringLiteral("Renamed"));
  enter(form->Edit1);
  EXPECT_EQ(readFile("Name.txt"), "Renamed\r\nBeta\r\nGamma\r\n") << "no unpaired row is appended";
}

TEST_F(EditorTest, EnterWithoutSelectedRowOrCurrentRowWritesNothingAndKeepsTheText) {
  radiolist::setItemIndex(form->ListBox1, -1);
  ChannelIndex = 7;
  form->Edit1->setText(QStringLiteral("Orphan"));
  enter(form->Edit1);
  EXPECT_EQ(readFile("Name.txt"), "Alpha\r\nBeta\r\nGamma\r\n");
  EXPECT_TRUE(form->Edit1->isVisible());
  EXPECT_EQ(form->Edit1->text(), QStringLiteral("Orphan"));
}

TEST_F(EditorTest, CommitThatCannotSaveReportsAndKeepsTheFile) {
  ASSERT_TRUE(QFile::remove(path("url.txt")));
  ASSERT_TRUE(QDir(dir_.path()).mkdir(QStringLiteral("url.txt")));  // a directory in the way
  form->Edit2->setText(QStringLiteral("http://h/x"));
  enter(form->Edit2);
  ASSERT_EQ(errors.size(), 1);
  EXPECT_TRUE(errors[0].startsWith(QStringLiteral("Cannot create file \"%1\". ").arg(path("url.txt"))))
      << errors[0].toStdString();
  EXPECT_FALSE(form->Edit2->isVisible());
  EXPECT_EQ(audio.calls, (Calls{"Stop G:http://h/a", "Stop A:http://h/a"})) << "the stream stays stopped";
}

TEST_F(EditorTest, DoubleClickReplacesTheTextWithTheClipboardsAsOneLine) {
  QGuiApplication::clipboard()->setText(QStringLiteral("http://pasted/one\r\nsecond\n"));
  QTest::mouseDClick(form->Edit2, Qt::LeftButton);
  EXPECT_EQ(form->Edit2->text(), QStringLiteral("http://pasted/one second"));
  radiolist::selectRow(form->ListBox2, 1);
  enter(form->Edit2);
  EXPECT_EQ(readFile("url.txt"), "http://h/a\r\nhttp://pasted/one second\r\nhttp://h/c\r\n")
      << "a pasted line break must not split the row";

  auto* image = new QMimeData;
  image->setImageData(QImage(4, 4, QImage::Format_RGB32));
  QGuiApplication::clipboard()->setMimeData(image);
  form->Edit1->show();
  QTest::mouseDClick(form->Edit1, Qt::LeftButton);
  EXPECT_TRUE(form->Edit1->text().isEmpty());
  EXPECT_EQ(audio.calls.size(), 4u) << "pasting calls no audio";
}
