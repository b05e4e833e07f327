// What a screen reader meets: the real program in a real X window (Xvfb), its accessibility tree
// read over AT-SPI as Orca reads it (a private session bus, at-spi-bus-launcher's accessibility
// bus (at-spi-bus-launcher, started by the session bus when the test first asks for it; it ends
// with that bus), the registry's tree walked with plain D-Bus calls).

#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "support/child_process.h"
#include "tests/e2e/listening.h"

using radiolist::test::ChildProcess;
using namespace std::chrono_literals;

namespace {

const QString kAccessible = QStringLiteral("org.a11y.atspi.Accessible");

// The first line a child writes on its stdout ("" after `timeout`).
std::string readLine(int fd, std::chrono::milliseconds timeout) {
  std::string line;
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    char c;
    if (::read(fd, &c, 1) == 1) {
      if (c == '\n') return line;
      line += c;
    } else {
      std::this_thread::sleep_for(10ms);
    }
  }
  return line;
}

struct Node {
  QString service;
  QString path;
};

QList<Node> children(QDBusConnection& bus, const Node& node) {
  QDBusMessage call =
      QDBusMessage::createMethodCall(node.service, node.path, kAccessible, "GetChildren");
  const QDBusMessage reply = bus.call(call, QDBus::Block, 5000);
  QList<Node> out;
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return out;
  const auto arg = reply.arguments().at(0).value<QDBusArgument>();
  arg.beginArray();
  while (!arg.atEnd()) {
    Node child;
    QDBusObjectPath path;
    arg.beginStructure();
    arg >> child.service >> path;
    arg.endStructure();
    child.path = path.path();
    out << child;
  }
  arg.endArray();
  return out;
}

QString callText(QDBusConnection& bus, const Node& node, const QString& method) {
  const QDBusReply<QString> reply =
      bus.call(QDBusMessage::createMethodCall(node.service, node.path, kAccessible, method),
               QDBus::Block, 5000);
  return reply.isValid() ? reply.value() : QString();
}

QString name(QDBusConnection& bus, const Node& node) {
  QDBusMessage call = QDBusMessage::createMethodCall(node.service, node.path,
                                                     "org.freedesktop.DBus.Properties", "Get");
  call << kAccessible << QStringLiteral("Name");
  const QDBusReply<QDBusVariant> reply = bus.call(call, QDBus::Block, 5000);
  return reply.isValid() ? reply.value().variant().toString() : QString();
}

// Every (role, name) under the registry's root, at most `limit` of them.
std::multimap<std::string, std::string> walk(QDBusConnection& bus, std::size_t limit = 400) {
  std::multimap<std::string, std::string> seen;
  QList<Node> todo{{"org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root"}};
  while (!todo.isEmpty() && seen.size() < limit) {
    const Node node = todo.takeFirst();
    seen.emplace(callText(bus, node, "GetRoleName").toStdString(), name(bus, node).toStdString());
    todo << children(bus, node);
  }
  return seen;
}

}  // namespace

// Both lists and both editors are named, the glyph buttons by their hints, and the window is a
// frame with its title.
TEST(AccessibilityTest, ListsEditorsAndButtonsAreNamedInAFrame) {
  int argc = 1;
  char program[] = "accessibility_test";
  char* argv[] = {program, nullptr};
  QCoreApplication app(argc, argv);

  const std::filesystem::path dir = radiolist::test::e2e::makeChannelDir(
      "a11y", "One\r\nTwo\r\n", "http://127.0.0.1:9/one\r\nhttp://127.0.0.1:9/two\r\n",
      RADIOLIST_SOURCE_DIR);
  ChildProcess xvfb(
      {{"Xvfb", "-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"}, {}, true});
  const std::string display = ":" + readLine(xvfb.stdoutFd(), 10s);
  ASSERT_NE(display, ":") << "Xvfb did not start";
  ChildProcess session({{"dbus-daemon", "--session", "--nofork", "--print-address=1"}, {}, true});
  const std::string address = readLine(session.stdoutFd(), 10s);
  ASSERT_FALSE(address.empty()) << "no session bus";

  QDBusConnection bus = QDBusConnection::connectToBus(QString::fromStdString(address), "session");
  ASSERT_TRUE(bus.isConnected());
  QString a11yAddress;
  for (int i = 0; i < 100 && a11yAddress.isEmpty(); ++i) {
    const QDBusReply<QString> reply =
        bus.call(QDBusMessage::createMethodCall("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus",
                                                "GetAddress"),
                 QDBus::Block, 5000);
    if (reply.isValid())
      a11yAddress = reply.value();
    else
      std::this_thread::sleep_for(100ms);
  }
  ASSERT_FALSE(a11yAddress.isEmpty()) << "no accessibility bus";

  const std::filesystem::path oldDir = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  auto radiolist = std::make_unique<ChildProcess>(
      ChildProcess::Options{{RADIOLIST_BINARY},
                            {{"DISPLAY", display},
                             {"QT_QPA_PLATFORM", "xcb"},
                             {"QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1"},
                             {"LANGUAGE", "en"},
                             {"LC_ALL", "C.UTF-8"},
                             {"DBUS_SESSION_BUS_ADDRESS", address},
                             {"XDG_STATE_HOME", (dir / "state").string()},
                             {"XDG_CONFIG_HOME", (dir / "config").string()},
                             {"PULSE_SERVER", "unix:/nonexistent"}}});
  std::filesystem::current_path(oldDir);

  QDBusConnection a11y = QDBusConnection::connectToBus(a11yAddress, "a11y");
  ASSERT_TRUE(a11y.isConnected());
  const std::multimap<std::string, std::string> wanted{
      {"frame", "Дромелин каналов"},      {"list", "Channel names"},
      {"list", "Stream addresses"},       {"text", "Channel name"},
      {"text", "Stream address"},         {"push button", "START STOP"},
      {"push button", "Добавить строку"}, {"push button", "Удалить строку"}};
  std::multimap<std::string, std::string> seen;
  const auto has = [&seen](const std::pair<const std::string, std::string>& want) {
    const auto [from, to] = seen.equal_range(want.first);
    for (auto it = from; it != to; ++it)
      if (it->second == want.second) return true;
    return false;
  };
  const auto all = [&] {
    for (const auto& want : wanted)
      if (!has(want)) return false;
    return true;
  };
  for (int i = 0; i < 60 && !all(); ++i) {
    std::this_thread::sleep_for(500ms);
    seen = walk(a11y);
  }
  for (const auto& want : wanted)
    EXPECT_TRUE(has(want)) << want.first << " \"" << want.second << '"';
  // What a screen reader said before: nothing unnamed where the lists and editors are.
  EXPECT_EQ(seen.count("filler"), 0u);
  if (HasFailure())
    for (const auto& [role, text] : seen) std::cerr << role << " \"" << text << "\"\n";

  radiolist->terminate();
  session.terminate();
  xvfb.terminate();
  std::filesystem::remove_all(dir);
}
