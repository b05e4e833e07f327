// Clicks and keys land where the user aimed, and the labels draw as designed.

#include <QInputMethodEvent>
#include <QTest>

#include "app/globals.h"
#include "app/vcl.h"
#include "tests/app/window_fixture.h"

using radiolist::itemIndex;

namespace {

class AimTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    writeLists({"Alpha", "Beta", "Gamma"}, {"http://h/a", "http://h/b", "http://h/c"});
    writeGlyphs();
    startAndSettle();
    audio.clear();
  }
  void clickInto(QWidget* editor) { QTest::mouseClick(editor, Qt::LeftButton, {}, QPoint(5, editor->height() / 2)); }
};

TEST_F(AimTest, KeysAfterANameCommitReachNoOtherEditor) {
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

TEST_F(AimTest, OtherClicksOnAnotherNameDoNotRetargetTheOpenEditor) {
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

TEST_F(AimTest, ComposedTextIsTypedText) {
  clickInto(form->Edit1);
  audio.clear();
  QInputMethodEvent composed;
  composed.setCommitString(QStringLiteral("é"));
  QCoreApplication::sendEvent(form->Edit1, &composed);
  EXPECT_EQ(audio.calls, (std::vector<std::string>{"Stop G:http://h/a", "Stop A:http://h/a"}));
  EXPECT_EQ(form->Edit1->text(), QStringLiteral("éAlpha")) << "typed where the caret stood";
}

TEST_F(AimTest, LabelsDrawOneLineInTheirOwnColours) {
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
  } labels[] = {{form->Label1, QColor(255, 0, 0)}, {form->Label2, QColor(0, 0, 255)}, {form->Label3, Qt::black}};
  for (const auto& [label, colour] : labels) {
    // The label's strongest ink: the pixel farthest from the background it is drawn on.
    const QImage image = label->grab().toImage();
    const QColor background = image.pixelColor(0, 0);
    QColor ink = background;
    int farthest = 0;
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x) {
        const QColor c = image.pixelColor(x, y);
        const int distance = std::abs(c.red() - background.red()) + std::abs(c.green() - background.green()) +
                             std::abs(c.blue() - background.blue());
        if (distance > farthest) farthest = distance, ink = c;
      }
    EXPECT_EQ(ink, colour) << label->objectName().toStdString() << " draws " << ink.name().toStdString();
  }
}

}  // namespace
