// The in-place editors: placement, commits, paste, and what typing does to playback.

#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <QInputMethodEvent>
#include <QMimeData>
#include <QTest>

#include "app/window/globals.h"
#include "app/window/vcl.h"
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
  static void clickInto(QWidget* editor) {
    QTest::mouseClick(editor, Qt::LeftButton, {}, QPoint(5, editor->height() / 2));
  }
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
  EXPECT_EQ(form->Edit2->y(),
            form->ListBox2->visualRect(form->ListBox2->model()->index(2, 0)).top() + 10);
  EXPECT_EQ(ChannelIndex, 0);
  EXPECT_TRUE(audio.calls.empty());
}

TEST_F(EditorTest, TypingStopsBothStreamsAndNeverWritesAFile) {
  const std::string before = readFile("Name.txt");
  QTest::keyClick(form->Edit1, Qt::Key_Backspace);
  type(form->Edit1, QStringLiteral("x"));
  QTest::keyClick(form->Edit2, Qt::Key_Escape);
  EXPECT_EQ(audio.calls, (Calls{"Stop G:http://h/a", "Stop A:http://h/a", "Stop G:http://h/a",
                                "Stop A:http://h/a", "Stop G:http://h/a", "Stop A:http://h/a"}));
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
  EXPECT_EQ(audio.calls, (Calls{"Stop G:http://h/a", "Stop A:http://h/a", "Play G:http://h/a",
                                "Play A:http://h/a"}));
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
  EXPECT_TRUE(
      errors[0].startsWith(QStringLiteral("Cannot create file \"%1\". ").arg(path("url.txt"))))
      << errors[0].toStdString();
  EXPECT_FALSE(form->Edit2->isVisible());
  EXPECT_EQ(audio.calls, (Calls{"Stop G:http://h/a", "Stop A:http://h/a"}))
      << "the stream stays stopped";
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

// Clicks and keys land where the user aimed, and the labels draw as designed.

TEST_F(EditorTest, KeysAfterANameCommitReachNoOtherEditor) {
  const std::string urls = readFile("url.txt");
  clickInto(form->Edit1);
  QTest::keyClick(form->Edit1, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClicks(form->Edit1, QStringLiteral("New"));
  QTest::keyClick(form->Edit1, Qt::Key_Return);
  EXPECT_EQ(readFile("Name.txt"), "New\r\nBeta\r\nGamma\r\n");
  ASSERT_EQ(form->focusWidget(), form.get()) << "the focus went back to the window";

  QTest::keyClicks(form->focusWidget(), QStringLiteral("zz"));
  QTest::keyClick(form->focusWidget(), Qt::Key_Return);
  EXPECT_EQ(readFile("url.txt"), urls);
  EXPECT_EQ(form->Edit2->text(), QStringLiteral("http://h/a"));
}

TEST_F(EditorTest, OtherClicksOnAnotherNameDoNotRetargetTheOpenEditor) {
  clickInto(form->Edit1);
  QTest::keyClick(form->Edit1, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClicks(form->Edit1, QStringLiteral("Edited"));
  audio.clear();
  const QPoint row1 = form->ListBox1->visualRect(form->ListBox1->model()->index(1, 0)).center();
  QTest::mouseClick(form->ListBox1->viewport(), Qt::RightButton, {}, row1);
  QTest::mouseClick(form->ListBox1->viewport(), Qt::MiddleButton, {}, row1);
  QTest::mouseClick(form->ListBox1->viewport(), Qt::LeftButton, Qt::ControlModifier, row1);
  EXPECT_TRUE(audio.calls.empty()) << "no channel started";
  EXPECT_EQ(form->Edit1->text(), QStringLiteral("Edited"));
  QTest::keyClick(form->Edit1, Qt::Key_Return);
  EXPECT_EQ(readFile("Name.txt"), "Edited\r\nBeta\r\nGamma\r\n");
}

TEST_F(EditorTest, ComposedTextIsTypedText) {
  clickInto(form->Edit1);
  audio.clear();
  QInputMethodEvent composed;
  composed.setCommitString(QStringLiteral("é"));
  QCoreApplication::sendEvent(form->Edit1, &composed);
  EXPECT_EQ(audio.calls, (Calls{"Stop G:http://h/a", "Stop A:http://h/a"}));
  EXPECT_EQ(form->Edit1->text(), QStringLiteral("éAlpha")) << "typed where the caret stood";
}

TEST_F(EditorTest, LabelsDrawOneLineInTheirOwnColours) {
  audio.tags[{StreamHandle, BASS_TAG_META}] = "StreamTitle='Line one';";
  form->Timer3Timer(form->Timer3);
  const int oneLine = form->Label2->height();
  audio.tags[{StreamHandle, BASS_TAG_META}] = "StreamTitle='Line one\r\nLine two\nthree';";
  form->Timer3Timer(form->Timer3);
  EXPECT_EQ(form->Label2->height(), oneLine);
  EXPECT_EQ(form->Label2->text(), QStringLiteral("Line one  Line two three"));

  radiolist::setCaption(form->Label3, QStringLiteral("Text"));
  const struct {
    QLabel* label;
    QColor colour;
  } labels[] = {{form->Label1, QColor(255, 0, 0)},
                {form->Label2, QColor(0, 0, 255)},
                {form->Label3, Qt::black}};
  for (const auto& [label, colour] : labels) {
    // The label's strongest ink: the pixel farthest from the background it is drawn on.
    const QImage image = label->grab().toImage();
    const QColor background = image.pixelColor(0, 0);
    QColor ink = background;
    int farthest = 0;
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x) {
        const QColor c = image.pixelColor(x, y);
        const int distance = std::abs(c.red() - background.red()) +
                             std::abs(c.green() - background.green()) +
                             std::abs(c.blue() - background.blue());
        if (distance > farthest) farthest = distance, ink = c;
      }
    EXPECT_EQ(ink, colour) << label->objectName().toStdString() << " draws "
                           << ink.name().toStdString();
  }
}
