#include "tests/app/window_fixture.h"

#include <QFile>
#include <QImage>
#include <QPainter>
#include <QTest>

#include "app/window/globals.h"
#include "app/window/vcl.h"

void WindowTest::SetUp() {
  ASSERT_TRUE(dir_.isValid());
  oldDir_ = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(dir_.path()));
  resetGlobalState();
  radiolist::setErrorPresenter([this](const QString&, const QString& text) { errors << text; });
}

void WindowTest::TearDown() {
  form.reset();
  QDir::setCurrent(oldDir_);
  resetGlobalState();
  radiolist::setErrorPresenter(radiolist::modalErrorBox());
}

void WindowTest::writeFile(const QString& name, const std::string& bytes) {
  QFile file(path(name));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write(bytes.data(), static_cast<qint64>(bytes.size()));
}

std::string WindowTest::readFile(const QString& name) const {
  QFile file(path(name));
  if (!file.open(QIODevice::ReadOnly)) return "<missing>";
  return file.readAll().toStdString();
}

void WindowTest::writeLists(const QStringList& names, const QStringList& urls) {
  const auto join = [](const QStringList& lines) {
    std::string bytes;
    for (const QString& line : lines) bytes += line.toStdString() + "\r\n";
    return bytes;
  };
  writeFile(QStringLiteral("Name.txt"), join(names));
  writeFile(QStringLiteral("url.txt"), join(urls));
}

void WindowTest::writeGlyphs() {
  ASSERT_TRUE(QDir(dir_.path()).mkpath(QStringLiteral("imag")));
  const auto glyph = [this](const char* name, const QColor& colour) {
    QImage image(20, 20, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter(&image).fillRect(5, 5, 10, 10, colour);
    ASSERT_TRUE(image.save(path(QStringLiteral("imag/") + QLatin1String(name)), "BMP"));
  };
  glyph("glossyicon.bmp", Qt::green);
  glyph("delete.bmp", Qt::red);
  glyph("play.bmp", Qt::blue);
  glyph("stop.bmp", Qt::black);
}

void WindowTest::start() {
  player = std::make_unique<radiolist::Player>(controls);
  form = std::make_unique<TForm1>(audio, *player);
  form->create();
  form->show();
  form->activateWindow();
  QApplication::setActiveWindow(form.get());
}

void WindowTest::startAndSettle() {
  start();
  ASSERT_TRUE(settle()) << "the start-up countdown did not end";
}

bool WindowTest::waitUntil(const std::function<bool()>& done, int ms) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > ms) return false;
    QTest::qWait(5);
  }
  return true;
}

void WindowTest::clickRow(TListBox* list, int row) {
  const QRect rect = list->visualRect(list->model()->index(row, 0));
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
}
