// Notifications of new titles: when one is due, and what a notification server on a private
// session bus receives (a stand-in registering org.freedesktop.Notifications); a bus without one,
// or one that never answers, costs nothing.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QFile>
#include <QImage>
#include <QMenu>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <memory>
#include <vector>

#include "app/desktop/companion.h"
#include "app/desktop/notifier.h"
#include "tests/app/window_fixture.h"

using namespace radiolist;

namespace {

// What a notification server is asked to show; it answers with ids of its own (from 41 up), and
// while `silent` it never answers at all.
class StandInServer : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
 public:
  struct Call {
    uint replaces = 0;
    QString summary;
    QString body;
    QVariantMap hints;
    uint answer = 0;
    QStringList actions;
  };
  std::vector<Call> calls;
  bool silent = false;
  QStringList capabilities{QStringLiteral("body"), QStringLiteral("body-markup")};
  int capabilityQuestions = 0;

 public slots:
  QStringList GetCapabilities() {
    ++capabilityQuestions;
    return capabilities;
  }
  uint Notify(const QString& /*app*/, uint replaces, const QString& /*icon*/,
              const QString& summary, const QString& body, const QStringList& actions,
              const QVariantMap& hints, int /*timeout*/) {
    calls.push_back({replaces, summary, body, hints, 0, actions});
    if (silent) {
      setDelayedReply(true);  // and never replied to
      return 0;
    }
    // A server keeps the id it was asked to replace.
    calls.back().answer = replaces != 0 ? replaces : nextId_++;
    return calls.back().answer;
  }

 private:
  uint nextId_ = 41;
};

// A session bus of the test's own.
class PrivateBus {
 public:
  PrivateBus() {
    daemon_.start(QStringLiteral("dbus-daemon"),
                  {QStringLiteral("--session"), QStringLiteral("--nofork"),
                   QStringLiteral("--print-address=1")});
    if (!daemon_.waitForStarted(10000)) return;
    while (!address_.contains('\n') && daemon_.waitForReadyRead(10000))
      address_ += QString::fromUtf8(daemon_.readAllStandardOutput());
    address_ = address_.trimmed();
  }
  ~PrivateBus() {
    for (const QString& name : names_) QDBusConnection::disconnectFromBus(name);
    daemon_.kill();
    daemon_.waitForFinished();
  }
  [[nodiscard]] bool up() const { return address_.startsWith(QLatin1String("unix:")); }
  QDBusConnection connect(const QString& name) {
    names_ << name;
    return QDBusConnection::connectToBus(address_, name);
  }

 private:
  QProcess daemon_;
  QString address_;
  QStringList names_;
};

QImage someIcon() {
  QImage icon(16, 16, QImage::Format_ARGB32);
  icon.fill(Qt::blue);
  return icon;
}

}  // namespace

// Whether a title change makes a notification, and what it says.
TEST(NotifierDecision, OnlyANewTitleHeardAwayFromTheWindowWhileSwitchedOn) {
  using Note = Notifier::Note;
  const QString longTitle(5000, u'x');
  const struct {
    Notifier::Moment moment;
    std::optional<Note> note;
  } cases[] = {
      {{true, false, "Radio One", "Artist - Song"}, Note{"Radio One", "Artist - Song"}},
      {{true, true, "Radio One", "Artist - Song"}, std::nullopt},    // the window shows it
      {{false, false, "Radio One", "Artist - Song"}, std::nullopt},  // switched off
      {{true, false, "Radio One", ""}, std::nullopt},                // no title (stopped)
      {{true, false, "Radio One", " \n\t "}, std::nullopt},          // nothing to read
      {{true, false, "", "Song"}, Note{"radiolist", "Song"}},        // a station without a name
      {{true, false, "Radio\nOne", "Line\none"}, Note{"Radio One", "Line one"}},
      {{true, false, "S", longTitle},
       Note{"S", longTitle.left(Notifier::kMaxText - 1) + u'…'}},  // a station's text is bounded
  };
  for (const auto& c : cases) {
    const auto note = Notifier::decide(c.moment);
    EXPECT_EQ(note.has_value(), c.note.has_value()) << c.moment.title.left(20).toStdString();
    if (note && c.note) {
      EXPECT_EQ(note->summary, c.note->summary);
      EXPECT_EQ(note->body, c.note->body);
    }
  }
}

// The body reaches a server that reads markup with what markup reads escaped, so that a title
// shows as the station sent it; a server that reads none gets it as it is.
TEST(NotifierBody, EscapedForAServerThatReadsMarkupOnly) {
  const struct {
    QString title;
    QString markup;
    QString plain;
  } cases[] = {
      {"Rock & Roll <Live>", "Rock &amp; Roll &lt;Live&gt;", "Rock & Roll <Live>"},
      {"<b>bold</b>", "&lt;b&gt;bold&lt;/b&gt;", "<b>bold</b>"},
      {"&amp; already", "&amp;amp; already", "&amp; already"},  // shown as sent, entity and all
      {"Say \"hi\" 'there'", "Say \"hi\" 'there'", "Say \"hi\" 'there'"},  // quotes as sent
      {"Line\n<two>", "Line &lt;two&gt;", "Line <two>"},
      {QString(300, u'<'), QString(Notifier::kMaxText - 1, u'<').replace("<", "&lt;") + u'…',
       QString(Notifier::kMaxText - 1, u'<') + u'…'},  // capped before escaping
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Notifier::bodyText(c.title, true), c.markup) << c.title.toStdString();
    EXPECT_EQ(Notifier::bodyText(c.title, false), c.plain) << c.title.toStdString();
  }
}

// One notification per new title, each replacing the one before, silent, with the program's
// picture; markup in a title is shown as text. A server that never answers holds back only the
// newest note, which goes once the call has timed out; a bus without a server costs nothing.
TEST(NotifierOnTheBus, EachTitleReplacesTheLastAndNoServerOrASilentOneCostsNothing) {
  PrivateBus bus;
  if (!bus.up()) GTEST_SKIP() << "no dbus-daemon";
  QDBusConnection client = bus.connect(QStringLiteral("notifier-client"));
  ASSERT_TRUE(client.isConnected());

  {  // no server yet
    Notifier notifier(client, someIcon(), QStringLiteral("radiolist"));
    QSignalSpy answered(&notifier, &Notifier::answered);
    notifier.show({"Radio One", "First"});
    ASSERT_TRUE(answered.wait(10000));
    EXPECT_FALSE(answered.at(0).at(0).toBool());
    EXPECT_EQ(notifier.shownId(), 0u);
  }

  StandInServer server;
  QDBusConnection serving = bus.connect(QStringLiteral("notifier-server"));
  ASSERT_TRUE(serving.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &server,
                                     QDBusConnection::ExportAllSlots));
  ASSERT_TRUE(serving.registerService(QStringLiteral("org.freedesktop.Notifications")));

  Notifier notifier(client, someIcon(), QStringLiteral("radiolist"));
  QSignalSpy answered(&notifier, &Notifier::answered);
  notifier.show({"Radio One", "Artist - First"});
  ASSERT_TRUE(answered.wait(10000));
  notifier.show({"Radio One", "Artist <b>&</b> Second"});
  ASSERT_TRUE(answered.wait(10000));
  ASSERT_EQ(server.calls.size(), 2u);
  EXPECT_EQ(server.calls[0].replaces, 0u);
  EXPECT_EQ(server.calls[0].summary, "Radio One");
  EXPECT_EQ(server.calls[0].body, "Artist - First");
  EXPECT_EQ(server.calls[1].replaces, server.calls[0].answer);  // the same notification
  EXPECT_EQ(server.calls[1].body, "Artist &lt;b&gt;&amp;&lt;/b&gt; Second");
  EXPECT_EQ(notifier.shownId(), server.calls[0].answer);
  for (const auto& call : server.calls) {
    EXPECT_TRUE(call.hints.value("suppress-sound").toBool());
    EXPECT_TRUE(call.hints.contains("image-data"));
  }

  // The server stops answering: of the titles meanwhile, only the newest follows the timeout.
  server.silent = true;
  answered.clear();
  notifier.show({"Radio One", "Third"});
  notifier.show({"Radio One", "Fourth"});
  notifier.show({"Radio One", "Fifth"});
  QTest::qWait(200);
  EXPECT_EQ(server.calls.size(), 3u);  // one call under way, not three
  server.silent = false;
  ASSERT_TRUE(answered.wait(Notifier::kCallTimeoutMs + 10000));  // the silent call times out
  EXPECT_FALSE(answered.at(0).at(0).toBool());
  ASSERT_TRUE(answered.wait(10000));  // and the newest goes
  ASSERT_EQ(server.calls.size(), 4u);
  EXPECT_EQ(server.calls[3].body, "Fifth");
  EXPECT_EQ(server.calls[3].replaces, server.calls[0].answer);
  EXPECT_EQ(server.capabilityQuestions, 1) << "the server's capabilities are asked once";

  // A server that reads no markup gets the title as it is.
  server.capabilities = {QStringLiteral("body")};
  Notifier plain(client, someIcon(), QStringLiteral("radiolist"));
  QSignalSpy plainAnswered(&plain, &Notifier::answered);
  plain.show({"Radio One", "Rock & Roll <Live>"});
  ASSERT_TRUE(plainAnswered.wait(10000));
  ASSERT_EQ(server.calls.size(), 5u);
  EXPECT_EQ(server.calls[4].body, "Rock & Roll <Live>");
}

// A question's button: pressed on the note shown now, its key comes back once; pressed on another
// note, or after a plain note replaced the question, nothing does.
TEST(NotifierOnTheBus, AQuestionsButtonIsToldOnlyForTheNoteShownNow) {
  PrivateBus bus;
  if (!bus.up()) GTEST_SKIP() << "no dbus-daemon";
  QDBusConnection client = bus.connect(QStringLiteral("question-client"));
  StandInServer server;
  QDBusConnection serving = bus.connect(QStringLiteral("question-server"));
  ASSERT_TRUE(serving.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &server,
                                     QDBusConnection::ExportAllSlots));
  ASSERT_TRUE(serving.registerService(QStringLiteral("org.freedesktop.Notifications")));
  const auto press = [&](uint id, const QString& key) {
    QDBusMessage pressed = QDBusMessage::createSignal(
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("ActionInvoked"));
    pressed << id << key;
    ASSERT_TRUE(serving.send(pressed));
  };

  Notifier notifier(client, someIcon(), QStringLiteral("radiolist"));
  QSignalSpy answered(&notifier, &Notifier::answered);
  QSignalSpy acted(&notifier, &Notifier::actionInvoked);
  notifier.show({"Radio moved: use the new address?", "http://b/", "Use it", "0\nhttp://a/"});
  ASSERT_TRUE(answered.wait(10000));
  ASSERT_EQ(server.calls.size(), 1u);
  EXPECT_EQ(server.calls[0].actions, QStringList({"yes", "Use it"}));
  const uint id = server.calls[0].answer;
  press(id + 1, QStringLiteral("yes"));  // another program's notification
  press(id, QStringLiteral("default"));  // a click on its body is no yes
  press(id, QStringLiteral("yes"));
  ASSERT_TRUE(acted.wait(10000));
  QTest::qWait(100);
  ASSERT_EQ(acted.size(), 1);
  EXPECT_EQ(acted.at(0).at(0).toString(), "0\nhttp://a/");

  notifier.show({"Radio One", "A title"});  // replaces the question, which asks nothing any more
  ASSERT_TRUE(answered.wait(10000));
  EXPECT_TRUE(server.calls.back().actions.isEmpty());
  press(id, QStringLiteral("yes"));
  EXPECT_FALSE(acted.wait(300));
}

class NotifySettingTest : public WindowTest {};

// "Notify on new titles" follows "Level loudness" in the menu, is on by default, and the choice
// made there or on the bus outlives the program.
TEST_F(NotifySettingTest, OnByDefaultBesideLevelLoudnessAndRemembered) {
  start();
  const QString settings = path("config/settings");
  const auto item = [](Companion& c) -> QAction* {
    const QList<QAction*> items = c.menu()->actions();
    for (qsizetype i = 0; i + 1 < items.size(); ++i)
      if (items[i]->text() == "Level loudness") return items[i + 1];
    return nullptr;
  };
  {
    Companion companion(*player, form->control(), path("titles.tsv"), settings);
    EXPECT_TRUE(companion.notify());
    ASSERT_NE(item(companion), nullptr);
    EXPECT_EQ(item(companion)->text(), "Notify on new titles");
    EXPECT_TRUE(item(companion)->isCheckable());
    EXPECT_TRUE(item(companion)->isChecked());
    item(companion)->trigger();
    EXPECT_FALSE(companion.notify());
    companion.setProperty("Notify", true);  // as the bus's adaptor writes it
    EXPECT_TRUE(item(companion)->isChecked());
    companion.setNotify(false);
    EXPECT_FALSE(item(companion)->isChecked());
  }
  EXPECT_EQ(readFile("config/settings"), "notify=off\n");
  Companion companion(*player, form->control(), path("titles.tsv"), settings);
  EXPECT_FALSE(companion.notify());
  EXPECT_FALSE(item(companion)->isChecked());
}

// What the stand-in server receives from the program's side as titles change: one notification
// of the station and title while another window is active, the next replacing it; none while the
// window is the active one, none once switched off.
TEST_F(NotifySettingTest, ANewTitleIsToldOnlyWhileAnotherWindowIsActive) {
  PrivateBus bus;
  if (!bus.up()) GTEST_SKIP() << "no dbus-daemon";
  StandInServer server;
  QDBusConnection serving = bus.connect(QStringLiteral("companion-server"));
  ASSERT_TRUE(serving.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &server,
                                     QDBusConnection::ExportAllSlots));
  ASSERT_TRUE(serving.registerService(QStringLiteral("org.freedesktop.Notifications")));

  start();
  Companion companion(*player, form->control(), path("titles.tsv"), path("config/settings"));
  companion.notifier().setBus(bus.connect(QStringLiteral("companion-client")));
  QSignalSpy answered(&companion.notifier(), &Notifier::answered);
  QWidget other;
  other.show();
  const auto activate = [](QWidget* window) {
    QApplication::setActiveWindow(window);
    return waitUntil([window] { return window->isActiveWindow(); });
  };
  const auto hear = [this](const char* title) {
    OnAir now = player->nowPlaying().now();
    now.station = "Radio One";
    now.title = SongTitle{"", "", title};
    player->nowPlaying().update(now);
  };

  ASSERT_TRUE(activate(&other));
  hear("Artist - First");
  ASSERT_TRUE(answered.wait(10000));
  hear("Artist - Second");
  ASSERT_TRUE(answered.wait(10000));
  ASSERT_TRUE(activate(form.get()));
  hear("Seen in the window");
  ASSERT_TRUE(activate(&other));
  companion.setNotify(false);
  hear("Switched off");
  companion.setNotify(true);
  hear("Artist - Third");
  ASSERT_TRUE(answered.wait(10000));
  // Calls arrive in order: had the window's title or the one while off been told, they would
  // stand before the third.
  ASSERT_EQ(server.calls.size(), 3u);
  EXPECT_EQ(server.calls[0].summary, "Radio One");
  EXPECT_EQ(server.calls[0].body, "Artist - First");
  EXPECT_EQ(server.calls[1].body, "Artist - Second");
  EXPECT_EQ(server.calls[2].body, "Artist - Third");
  EXPECT_EQ(server.calls[1].replaces, server.calls[0].answer);
  EXPECT_EQ(server.calls[2].replaces, server.calls[0].answer);
}

#include "notifier_test.moc"
