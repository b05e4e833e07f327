// Draws gain curves to a PNG (for the docs):
//
//   gain_plot OUT.png "LABEL=FILE.csv" ["LABEL=FILE.csv" ...]
//
// Each CSV holds "seconds,gain in dB" lines (others are skipped); each file is one curve.

#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

struct Curve {
  QString label;
  std::vector<QPointF> points;  // (seconds, dB)
};

Curve readCurve(const QString& label, const QString& path) {
  Curve curve{label, {}};
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly) || file.size() > (16 << 20)) return curve;
  for (const QByteArray& line : file.readAll().split('\n')) {
    const QList<QByteArray> fields = line.split(',');
    bool okT = false;
    bool okG = false;
    const double t = fields.value(0).trimmed().toDouble(&okT);
    const double g = fields.value(1).trimmed().toDouble(&okG);
    if (okT && okG) curve.points.emplace_back(t, g);
  }
  return curve;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication application(argc, argv);
  if (argc < 3) {
    std::fprintf(stderr, "usage: gain_plot OUT.png LABEL=FILE.csv...\n");
    return 2;
  }
  std::vector<Curve> curves;
  double tMax = 1;
  double gMin = -1;
  double gMax = 1;
  for (int i = 2; i < argc; ++i) {
    const QString arg = QString::fromLocal8Bit(argv[i]);
    const qsizetype eq = arg.indexOf(u'=');
    curves.push_back(readCurve(arg.left(eq), arg.mid(eq + 1)));
    for (const QPointF& p : curves.back().points) {
      tMax = std::max(tMax, p.x());
      gMin = std::min(gMin, std::floor(p.y() - 1));
      gMax = std::max(gMax, std::ceil(p.y() + 1));
    }
  }
  const QSize size(900, 420);
  const QRectF plot(70, 30, size.width() - 100, size.height() - 90);
  QImage image(size, QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  const auto at = [&](QPointF p) {
    return QPointF(plot.left() + p.x() / tMax * plot.width(),
                   plot.bottom() - (p.y() - gMin) / (gMax - gMin) * plot.height());
  };
  painter.setPen(QColor(220, 220, 220));
  for (double g = std::ceil(gMin); g <= gMax; g += 1) painter.drawLine(at({0, g}), at({tMax, g}));
  for (double t = 0; t <= tMax; t += 10) painter.drawLine(at({t, gMin}), at({t, gMax}));
  painter.setPen(Qt::black);
  painter.drawRect(plot);
  for (double g = std::ceil(gMin); g <= gMax; g += 2)
    painter.drawText(QRectF(0, at({0, g}).y() - 8, plot.left() - 6, 16),
                     Qt::AlignRight | Qt::AlignVCenter, QString::number(g));
  for (double t = 0; t <= tMax; t += 10)
    painter.drawText(QRectF(at({t, gMin}).x() - 20, plot.bottom() + 4, 40, 16), Qt::AlignCenter,
                     QString::number(t));
  painter.drawText(QRectF(plot.left(), size.height() - 28, plot.width(), 20), Qt::AlignCenter,
                   QStringLiteral("seconds since the station started"));
  painter.save();
  painter.translate(16, plot.center().y());
  painter.rotate(-90);
  painter.drawText(QRectF(-80, -10, 160, 20), Qt::AlignCenter, QStringLiteral("gain, dB"));
  painter.restore();
  const QColor colours[] = {QColor(0, 90, 200), QColor(220, 80, 0), QColor(0, 150, 60)};
  for (std::size_t i = 0; i < curves.size(); ++i) {
    QPainterPath path;
    for (std::size_t k = 0; k < curves[i].points.size(); ++k)
      k == 0 ? path.moveTo(at(curves[i].points[k])) : path.lineTo(at(curves[i].points[k]));
    painter.setPen(QPen(colours[i % 3], 2));
    painter.drawPath(path);
    painter.drawText(QPointF(plot.left() + 12, plot.top() + 18 + 18 * static_cast<double>(i)),
                     curves[i].label);
  }
  painter.end();
  return image.save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
