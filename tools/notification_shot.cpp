// Draws a notification of a new title as a notification server receives it from the program,
// to a PNG (for the docs):
//
//   dbus-run-session -- notification_shot OUT.png ICON.png
//
// It is that server itself, on the session bus: the program's Notifier sends it the note it
// decides on for a title heard while the window is not active, and the call's summary, body and
// picture are drawn as a plain popup (a desktop's own notifications look its own way).

#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QTextDocument>
#include <QTimer>
#include <cstdio>

#include "app/desktop/notifier.h"

namespace {

QImage fromHint(const QVariant& hint) {
  const auto arg = hint.value<QDBusArgument>();
  int width = 0, height = 0, stride = 0, bits = 0, channels = 0;
  bool alpha = false;
  QByteArray pixels;
  arg.beginStructure();
  arg >> width >> height >> stride >> alpha >> bits >> channels >> pixels;
  arg.endStructure();
  if (width <= 0 || height <= 0 || channels != 4 || pixels.size() < qsizetype{stride} * height)
    return {};
  return QImage(reinterpret_cast<const uchar*>(pixels.constData()), width, height, stride,
                QImage::Format_RGBA8888)
      .copy();
}

class Popup : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
 public:
  explicit Popup(QString out) : out_(std::move(out)) {}

 public slots:
  uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body,
              const QStringList&, const QVariantMap& hints, int) {
    QImage shot(380, 92, QImage::Format_ARGB32_Premultiplied);
    shot.fill(Qt::transparent);
    QPainter p(&shot);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath frame;
    frame.addRoundedRect(QRectF(1, 1, 378, 90), 12, 12);
    p.fillPath(frame, QColor(0x30, 0x30, 0x30));
    const QImage icon = fromHint(hints.value("image-data"));
    if (!icon.isNull()) p.drawImage(QRect(16, 22, 48, 48), icon);
    QFont bold("DejaVu Sans", 11, QFont::Bold);
    p.setFont(bold);
    p.setPen(Qt::white);
    p.drawText(QRect(78, 18, 288, 24), Qt::AlignLeft | Qt::AlignVCenter, summary);
    QTextDocument text;  // the body as a server that reads markup shows it
    text.setHtml(body);
    p.setFont(QFont("DejaVu Sans", 10));
    p.setPen(QColor(0xdd, 0xdd, 0xdd));
    p.drawText(QRect(78, 44, 288, 30), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
               text.toPlainText());
    p.end();
    if (!shot.save(out_)) std::fprintf(stderr, "cannot write %s\n", qPrintable(out_));
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    return 1;
  }

 private:
  QString out_;
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: dbus-run-session -- %s OUT.png ICON.png\n", argv[0]);
    return 2;
  }
  QDBusConnection bus = QDBusConnection::sessionBus();
  Popup popup(QString::fromLocal8Bit(argv[1]));
  if (!bus.registerObject("/org/freedesktop/Notifications", &popup,
                          QDBusConnection::ExportAllSlots) ||
      !bus.registerService("org.freedesktop.Notifications")) {
    std::fprintf(stderr, "no session bus of our own: run under dbus-run-session\n");
    return 1;
  }
  radiolist::Notifier notifier(bus, QImage(QString::fromLocal8Bit(argv[2])), "radiolist");
  const auto note = radiolist::Notifier::decide(
      {true, false, QStringLiteral("Радио Ретро"), QStringLiteral("Кино - Группа крови")});
  notifier.show(*note);
  QTimer::singleShot(10000, &app, [] { QCoreApplication::exit(1); });
  return app.exec();
}

#include "notification_shot.moc"
