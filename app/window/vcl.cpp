#include "app/window/vcl.h"

#include <QAbstractButton>
#include <QBitmap>
#include <QClipboard>
#include <QCoreApplication>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <cerrno>
#include <climits>
#include <unistd.h>

#include "app/window/controls.h"
#include "app/window/fonts.h"
#include "files/file.h"

namespace radiolist {

FrameworkError::FrameworkError(const QString& message)
    : std::runtime_error(message.toStdString()) {}

void throwListIndexError(int index) {
  throw FrameworkError(QStringLiteral("List index out of bounds (%1)").arg(index));
}

QString systemErrorText(int error) { return QString::fromLocal8Bit(files::systemText(error)); }

// --- list views --------------------------------------------------------------------------------

namespace {

QModelIndex rowIndex(const TListBox* list, int row) { return list->rows().index(row, 0); }

// Makes `row` current and the only selected row; -1 leaves no row current or selected.
void setCurrentRow(TListBox* list, int row) {
  list->selectionModel()->setCurrentIndex(rowIndex(list, row), QItemSelectionModel::ClearAndSelect);
}

}  // namespace

int itemIndex(const TListBox* list) {
  const QItemSelectionModel* selection = list->selectionModel();
  const QModelIndex current = selection->currentIndex();
  if (current.isValid() && selection->isSelected(current)) return current.row();
  const QModelIndexList selected = selection->selectedIndexes();
  return selected.isEmpty() ? -1 : selected.front().row();
}

void setItemIndex(TListBox* list, int index) {
  if (index == itemIndex(list)) return;
  if (index == -1) {
    list->clearSelection();
    setCurrentRow(list, -1);
    return;
  }
  if (index < 0 || index >= list->count()) return;
  setCurrentRow(list, index);
}

QString rowText(const TListBox* list, int index) {
  if (index < 0 || index >= list->count()) throwListIndexError(index);
  return QString::fromStdU16String(list->rows().lines()[static_cast<std::size_t>(index)]);
}

void deleteRow(TListBox* list, int index) {
  if (index < 0 || index >= list->count()) return;
  const int selected = itemIndex(list);
  const int keep = selected < 0 || selected == index ? -1
                   : selected > index                ? selected - 1
                                                     : selected;
  list->rows().remove(index);
  // The view moves its current row to a neighbour; the list keeps its own selection only.
  list->clearSelection();
  setCurrentRow(list, keep);
}

void insertRow(TListBox* list, int index, const QString& text) {
  const int count = list->count();
  if (index < -1 || index > count) throw FrameworkError(QStringLiteral("Unable to insert a line"));
  const bool anySelected = itemIndex(list) >= 0;
  list->rows().insert(index == -1 ? count : index, text.toStdU16String());
  if (!anySelected) {
    list->clearSelection();
    setCurrentRow(list, -1);
  }
}

void appendRow(TListBox* list, const QString& text) { insertRow(list, -1, text); }

void selectRow(TListBox* list, int index) {
  if (index < 0 || index >= list->count()) throwListIndexError(index);
  setCurrentRow(list, index);
  list->scrollTo(rowIndex(list, index));
}

QRect rowRect(const TListBox* list, int index) {
  const int count = list->count();
  const auto rowHeight = [&] {
    return count > 0 ? list->sizeHintForRow(0) : list->fontMetrics().height();
  };
  if (index >= 0 && index < count) return list->visualRect(rowIndex(list, index));
  if (index == 0) return {0, 0, list->viewport()->width(), rowHeight()};
  if (index == count) return list->visualRect(rowIndex(list, count - 1)).translated(0, rowHeight());
  return {};
}

QFont canvasFont() { return windowFont(11, false); }

int canvasTextWidth(const QString& text) {
  return QFontMetrics(canvasFont()).horizontalAdvance(text);
}

// --- focus, clipboard, labels, timers, glyphs ----------------------------------------------------

void setFocusChecked(QWidget* widget) {
  if (!widget->isVisible() || !widget->isEnabled() || !widget->window()->isVisible())
    throw FrameworkError(QStringLiteral("Cannot focus a disabled or invisible window"));
  widget->setFocus(Qt::OtherFocusReason);
}

QString clipboardText() { return QGuiApplication::clipboard()->text(QClipboard::Clipboard); }

void setCaption(QLabel* label, const QString& text) {
  // A label draws one line: a line break from a station's title shows as a space.
  QString line = text;
  for (QChar& c : line)
    if (c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f' || c == QChar(0x85) ||
        c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
      c = u' ';
  label->setText(line);
  label->adjustSize();
}

void setTimerEnabled(QTimer* timer, bool enabled) {
  if (!enabled)
    timer->stop();
  else if (!timer->isActive())
    timer->start();
}

void loadGlyph(QAbstractButton* button, const QString& path) {
  // Only a regular file of a bitmap's size is read: a pipe under the glyph's name does not hold
  // the window, and the size limit keeps a link to /dev/zero from eating memory.
  constexpr std::size_t kMaxGlyphBytes = 16 << 20;
  const files::Read file =
      files::readFile(QFile::encodeName(path).toStdString(), kMaxGlyphBytes, files::Links::Follow);
  if (file.failure.failed())
    throw FrameworkError(QStringLiteral("Cannot open file \"%1\". %2")
                             .arg(path, systemErrorText(file.failure.asErrno())));
  const QByteArray bytes = QByteArray::fromStdString(file.bytes);
  QImage image;
  if (!bytes.startsWith("BM") || !image.loadFromData(bytes, "BMP"))
    throw FrameworkError(QStringLiteral("Bitmap image is not valid"));
  // The bottom-left pixel's colour is the glyph's background, drawn transparent.
  QPixmap pixmap = QPixmap::fromImage(image);
  pixmap.setMask(
      pixmap.createMaskFromColor(image.pixelColor(0, image.height() - 1), Qt::MaskInColor));
  button->setIcon(QIcon(pixmap));
  button->setIconSize(image.size());
}

QString currentDir() {
  char buffer[PATH_MAX];
  if (::getcwd(buffer, sizeof buffer) == nullptr) throw FrameworkError(systemErrorText(errno));
  return QFile::decodeName(buffer);
}

void sleepMs(int ms) { QThread::msleep(static_cast<unsigned long>(ms)); }

// --- error reporting
// -------------------------------------------------------------------------------

QString errorBoxText(const QString& message) {
  if (!message.isEmpty() && message.back().unicode() > u'.') return message + u'.';
  return message;
}

QString applicationTitle() {
  QString name = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
  if (name.isEmpty()) name = QCoreApplication::applicationName();
  name = name.section(u'.', 0, 0);
  if (name.isEmpty()) return name;
  return name.left(1).toUpper() + name.mid(1).toLower();
}

namespace {

ErrorPresenter& presenter() {
  static ErrorPresenter current = modalErrorBox();
  return current;
}

}  // namespace

ErrorPresenter modalErrorBox() {
  return [](const QString& caption, const QString& text) {
    QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.exec();
  };
}

void setErrorPresenter(ErrorPresenter replacement) { presenter() = std::move(replacement); }

void showError(const QString& message) { presenter()(applicationTitle(), errorBoxText(message)); }

void guarded(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& error) {
    showError(QString::fromUtf8(error.what()));
  }
}

}  // namespace radiolist
