// Start-up: the creation sequence, its failure states, the layout and the error box rules.

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QTest>
#include <sys/stat.h>

#include "app/window/globals.h"
#include "app/window/vcl.h"
#include "tests/app/window_fixture.h"

using radiolist::itemIndex;

namespace {

const QStringList kNames{QStringLiteral("Радио Один"), QStringLiteral("Jazz FM")};
const QStringList kUrls{QStringLiteral("http://a.example/live"),
                        QStringLiteral("https://b.example/aac")};

// The rows as the view shows them.
QStringList rows(const TListBox* list) {
  QStringList out;
  for (int i = 0; i < list->model()->rowCount(); ++i)
    out << list->model()->index(i, 0).data().toString();
  return out;
}

}  // namespace

TEST_F(WindowTest, StartsQuietlyWithListsLoadedAndPlaysTheFirstChannelAfterTheCountdown) {
  writeLists(kNames, kUrls);
  writeGlyphs();
  start();
  EXPECT_TRUE(errors.isEmpty()) << errors.join(u'|').toStdString();
  EXPECT_EQ(rows(form->ListBox1), kNames);
  EXPECT_EQ(rows(form->ListBox2), kUrls);
  EXPECT_EQ(itemIndex(form->ListBox1), 0);
  EXPECT_EQ(form->Label3->text(), QStringLiteral("Для применения изменений нажать ENTER"));
  EXPECT_TRUE(form->Label1->text().isEmpty());
  EXPECT_TRUE(form->Label2->text().isEmpty());
  EXPECT_FALSE(form->Edit1->isVisible());
  EXPECT_FALSE(form->Edit2->isVisible());
  EXPECT_TRUE(form->Timer2->isActive());
  EXPECT_EQ(ResyncCountdown, 10);
  EXPECT_TRUE(audio.calls.empty()) << "nothing plays before the countdown ends";
  for (auto* button : {form->SpeedButton2, form->SpeedButton3, form->SpeedButton4})
    EXPECT_FALSE(button->icon().isNull());

  ASSERT_TRUE(settle());
  const std::vector<std::string> expected{"Free",
                                          "Init",
                                          "Create G:http://a.example/live",
                                          "Create A:http://a.example/live",
                                          "Play G:http://a.example/live",
                                          "Play A:http://a.example/live",
                                          "Start"};
  EXPECT_EQ(audio.calls, expected);
  EXPECT_EQ(form->Label1->text(), QStringLiteral("0"));
  EXPECT_TRUE(form->Edit1->isVisible());
  EXPECT_TRUE(form->Edit2->isVisible());
  EXPECT_EQ(form->Edit1->text(), kNames[0]);
  EXPECT_EQ(form->Edit2->text(), kUrls[0]);
  EXPECT_EQ(ResyncCountdown, 10);
  EXPECT_TRUE(form->Timer1->isActive());
  EXPECT_TRUE(form->Timer3->isActive());
  EXPECT_EQ(UrlCount, 2);
  EXPECT_EQ(NameCount, 2);
}

TEST_F(WindowTest, MissingNameFileShowsOneBoxAndLeavesTheWindowEmptyAndSilent) {
  writeFile(QStringLiteral("url.txt"), "http://a\r\n");
  writeGlyphs();
  start();
  ASSERT_EQ(errors.size(), 1);
  EXPECT_EQ(
      errors[0],
      QStringLiteral("Cannot open file \"%1\". No such file or directory.").arg(path("Name.txt")));
  EXPECT_EQ(form->ListBox1->count(), 0);
  EXPECT_EQ(form->ListBox2->count(), 0);
  EXPECT_TRUE(form->Edit1->isVisible());
  EXPECT_TRUE(form->Edit2->isVisible());
  EXPECT_EQ(form->Edit1->text(), QStringLiteral("Edit1"));
  EXPECT_EQ(form->Edit2->text(), QStringLiteral("Edit2"));
  EXPECT_FALSE(form->Timer2->isActive());
  EXPECT_EQ(ResyncCountdown, 0);
  EXPECT_TRUE(form->SpeedButton3->icon().isNull());
  QTest::qWait(200);
  EXPECT_TRUE(audio.calls.empty());
}

TEST_F(WindowTest, MissingAddressFileKeepsTheNamesLoaded) {
  writeFile(QStringLiteral("Name.txt"), "One\r\nTwo\r\n");
  writeGlyphs();
  start();
  ASSERT_EQ(errors.size(), 1);
  EXPECT_EQ(
      errors[0],
      QStringLiteral("Cannot open file \"%1\". No such file or directory.").arg(path("url.txt")));
  EXPECT_EQ(rows(form->ListBox1), (QStringList{"One", "Two"}));
  EXPECT_EQ(itemIndex(form->ListBox1), -1);
  EXPECT_FALSE(form->Timer2->isActive());
}

TEST_F(WindowTest, GlyphFailuresStopTheSequenceAtTheirStep) {
  writeLists(kNames, kUrls);
  writeGlyphs();
  writeFile(QStringLiteral("imag/play.bmp"), "this is not a bitmap");
  start();
  ASSERT_GE(errors.size(), 1);
  EXPECT_EQ(errors[0], QStringLiteral("Bitmap image is not valid."));
  EXPECT_FALSE(form->SpeedButton3->icon().isNull());
  EXPECT_FALSE(form->SpeedButton4->icon().isNull());
  EXPECT_TRUE(form->SpeedButton2->icon().isNull());
  EXPECT_TRUE(form->Timer2->isActive());
}

TEST_F(WindowTest, AGlyphThatIsNoFileIsRefusedWithoutWaiting) {
  writeLists(kNames, kUrls);
  writeGlyphs();
  QFile::remove(path(QStringLiteral("imag/play.bmp")));
  ASSERT_EQ(::mkfifo(QFile::encodeName(path(QStringLiteral("imag/play.bmp"))).constData(), 0600),
            0);
  start();  // a blocking open would wait here for a writer forever
  ASSERT_GE(errors.size(), 1);
  EXPECT_EQ(errors[0], QStringLiteral("Cannot open file \"%1\". Invalid argument.")
                           .arg(path(QStringLiteral("imag/play.bmp"))));
}

TEST_F(WindowTest, MissingGlyphDirectoryWithTheBoxOpenLongFailsTheCountdownsFocusAndPlaysNothing) {
  writeLists(kNames, kUrls);
  // The box stays open until the countdown has run out (its message loop keeps delivering the
  // countdown's ticks while the window is not yet shown), however slowly a loaded machine ticks.
  radiolist::setErrorPresenter([this](const QString&, const QString& text) {
    errors << text;
    if (errors.size() == 1) (void)QTest::qWaitFor([] { return ResyncCountdown < 0; }, 10000);
  });
  start();
  ASSERT_GE(errors.size(), 2);
  EXPECT_EQ(errors[0], QStringLiteral("Cannot open file \"%1\". No such file or directory.")
                           .arg(path("imag/glossyicon.bmp")));
  EXPECT_EQ(errors[1], QStringLiteral("Cannot focus a disabled or invisible window."));
  EXPECT_TRUE(audio.calls.empty());
  EXPECT_TRUE(form->Timer2->isActive()) << "a failed click leaves the countdown running free";
  EXPECT_LT(ResyncCountdown, 0);
  QTest::qWait(100);
  EXPECT_TRUE(audio.calls.empty());
}

TEST_F(WindowTest, LayoutMatchesTheDesignAndAnchorsFollowAResize) {
  writeLists(kNames, kUrls);
  writeGlyphs();
  start();
  EXPECT_EQ(form->windowTitle(), QStringLiteral("Дромелин каналов"));
  EXPECT_EQ(form->size(), QSize(743, 370));
  EXPECT_EQ(form->frameGeometry().topLeft(), QPoint(274, 103));
  EXPECT_EQ(form->ListBox1->geometry(), QRect(8, 36, 393, 296));
  EXPECT_EQ(form->ListBox2->geometry(), QRect(407, 36, 328, 296));
  EXPECT_EQ(form->Panel1->geometry(), QRect(0, 329, 735, 41));
  EXPECT_EQ(form->SpeedButton2->geometry(), QRect(8, 4, 34, 26));
  EXPECT_EQ(form->SpeedButton3->geometry(), QRect(240, 1, 31, 34));
  EXPECT_EQ(form->SpeedButton4->geometry(), QRect(203, 1, 31, 34));
  EXPECT_FALSE(form->SpeedButton1->isVisible());
  EXPECT_EQ(form->SpeedButton2->toolTip(), QStringLiteral("START STOP"));
  EXPECT_EQ(form->SpeedButton3->toolTip(), QStringLiteral("Добавить строку"));
  EXPECT_EQ(form->SpeedButton4->toolTip(), QStringLiteral("Удалить строку"));
  EXPECT_EQ(form->ListBox1->font().pixelSize(), 13);
  EXPECT_TRUE(form->ListBox1->font().bold());
  EXPECT_EQ(form->Edit1->font().pixelSize(), 15);
  EXPECT_EQ(form->Label3->font().pixelSize(), 19);
  EXPECT_EQ(form->Label1->palette().color(QPalette::WindowText), QColor(255, 0, 0));
  EXPECT_EQ(form->Label2->palette().color(QPalette::WindowText), QColor(0, 0, 255));
  for (auto* button : {form->SpeedButton2, form->SpeedButton3, form->SpeedButton4})
    EXPECT_EQ(button->focusPolicy(), Qt::NoFocus);

  form->resize(843, 420);
  EXPECT_EQ(form->ListBox1->geometry(), QRect(8, 36, 493, 346));
  EXPECT_EQ(form->ListBox2->geometry(), QRect(407, 36, 428, 346))
      << "the address list widens in place";
  EXPECT_EQ(form->Panel1->geometry(), QRect(0, 379, 835, 41));
  EXPECT_EQ(form->SpeedButton2->geometry(), QRect(8, 4, 34, 26));
}

TEST_F(WindowTest, TabMovesAmongTheNameListAndTheShownEditorsOnly) {
  writeLists(kNames, kUrls);
  writeGlyphs();
  startAndSettle();
  form->ListBox1->setFocus();
  QTest::keyClick(form->ListBox1, Qt::Key_Tab);
  EXPECT_EQ(form->focusWidget(), form->Edit1);
  QTest::keyClick(form->Edit1, Qt::Key_Tab);
  EXPECT_EQ(form->focusWidget(), form->Edit2);
  QTest::keyClick(form->Edit2, Qt::Key_Tab);
  EXPECT_EQ(form->focusWidget(), form->ListBox1);
}

TEST_F(WindowTest, ADirectoryNamedLikeTheNameFileIsAnOpenError) {
  ASSERT_TRUE(QDir(dir_.path()).mkdir(QStringLiteral("Name.txt")));
  writeFile(QStringLiteral("url.txt"), "http://a\r\n");
  writeGlyphs();
  start();
  ASSERT_EQ(errors.size(), 1);
  EXPECT_TRUE(
      errors[0].startsWith(QStringLiteral("Cannot open file \"%1\". ").arg(path("Name.txt"))))
      << errors[0].toStdString();
  EXPECT_TRUE(errors[0].endsWith(u'.'));
  EXPECT_EQ(form->ListBox1->count(), 0);
}

TEST_F(WindowTest, TheRealErrorBoxIsModalWithTheTitleCaptionAndTimersTickMeanwhile) {
  radiolist::setErrorPresenter(radiolist::modalErrorBox());
  writeLists(kNames, kUrls);  // no glyphs: the creation handler fails at the first glyph
  QString caption;
  QString text;
  int ticksWhileOpen = -1;
  // The box is closed once three countdown ticks have passed while it was open, before the
  // tenth tick's click would open a second box.
  QTimer poll;
  poll.setTimerType(Qt::PreciseTimer);
  poll.setInterval(2);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || ResyncCountdown > 7) return;
    caption = box->windowTitle();
    text = box->text();
    EXPECT_EQ(box->icon(), QMessageBox::Critical);
    EXPECT_EQ(box->buttons().size(), 1);
    ticksWhileOpen = 10 - ResyncCountdown;
    poll.stop();
    box->accept();
  });
  poll.start();
  start();
  EXPECT_EQ(caption, radiolist::applicationTitle());
  EXPECT_EQ(text, QStringLiteral("Cannot open file \"%1\". No such file or directory.")
                      .arg(path("imag/glossyicon.bmp")));
  EXPECT_GE(ticksWhileOpen, 3) << "the countdown ticks while the box is open";
  // A tick may still land between the box's accept() and its exec() returning, never ten.
  EXPECT_LE(ResyncCountdown, 10 - ticksWhileOpen);
  EXPECT_GT(ResyncCountdown, 0) << "the box was closed before the countdown's clicks";
}

TEST(ErrorBox, AddsAFullStopOnlyAfterCharactersAboveIt) {
  EXPECT_EQ(radiolist::errorBoxText(QStringLiteral("Bitmap image is not valid")),
            QStringLiteral("Bitmap image is not valid."));
  EXPECT_EQ(radiolist::errorBoxText(QStringLiteral("Done.")), QStringLiteral("Done."));
  EXPECT_EQ(radiolist::errorBoxText(QStringLiteral("List index out of bounds (-1)")),
            QStringLiteral("List index out of bounds (-1)"))
      << "')' sorts below '.'";
  EXPECT_EQ(radiolist::errorBoxText(QStringLiteral("a/")), QStringLiteral("a/."));
  EXPECT_EQ(radiolist::errorBoxText(QString()), QString());
}

TEST(ErrorBox, CaptionIsTheCapitalisedExecutableNameBeforeItsFirstDot) {
  const QString title = radiolist::applicationTitle();
  ASSERT_FALSE(title.isEmpty());
  EXPECT_TRUE(title.front().isUpper());
  EXPECT_FALSE(title.contains(u'.'));
  EXPECT_EQ(title.mid(1), title.mid(1).toLower());
}
