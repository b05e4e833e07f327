// A process of the user's that owns a bus name before the program does (`bus_name_squatter
// <name>`): it answers every call to any of its objects with an empty reply, as if all went
// well, and writes each call's member on a line of stdout, after "owned" once it has the name.
// What a second start on a list must hand nothing to.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <cstdio>

namespace {

class AnswerEverything : public QDBusVirtualObject {
 public:
  QString introspect(const QString& /*path*/) const override { return {}; }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    std::printf("%s\n", qPrintable(message.member()));
    std::fflush(stdout);
    return connection.send(message.createReply());
  }
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  if (argc != 2) return 2;
  QDBusConnection bus = QDBusConnection::sessionBus();
  AnswerEverything object;
  if (!bus.registerVirtualObject(QStringLiteral("/"), &object, QDBusConnection::SubPath)) return 3;
  if (!bus.registerService(QString::fromLocal8Bit(argv[1]))) return 4;
  std::printf("owned\n");
  std::fflush(stdout);
  return QCoreApplication::exec();
}
