#pragma once
// The small framework layer the window's handlers stand on: list and editor operations with the
// exact behaviour (and error messages) the handlers were written against, timers whose
// "enable" does not restart a running period, glyph loading, and the one place where a
// handler's error is caught and shown.
//
// Handlers report errors by throwing; `guarded` ends the handler at that point and shows the
// error box. Everything here runs on the UI thread.

#include <QFont>
#include <QRect>
#include <QString>
#include <functional>
#include <stdexcept>
#include <string>

class QAbstractButton;
class QLabel;
class QTimer;
class QWidget;
class TListBox;

namespace radiolist {

// An error raised by a handler; what() is UTF-8.
class FrameworkError : public std::runtime_error {
 public:
  explicit FrameworkError(const QString& message);
};

[[noreturn]] void throwListIndexError(int index);
// The system's description of an errno value, trailing blanks, line breaks and full stops removed.
[[nodiscard]] QString systemErrorText(int error);

// --- list views (single selection, unsorted) -------------------------------------------------
// Selected row, or -1.
[[nodiscard]] int itemIndex(const TListBox* list);
// Acts only when `index` differs from the current one; -1 clears the selection; any other
// index outside the list changes nothing.
void setItemIndex(TListBox* list, int index);
// Text of a row; an index outside the list throws "List index out of bounds (%d)".
[[nodiscard]] QString rowText(const TListBox* list, int index);
// Deleting a row outside the list does nothing.
void deleteRow(TListBox* list, int index);
// Inserts before `index`; -1 (or the row count) appends. Selects nothing.
void insertRow(TListBox* list, int index, const QString& text);
void appendRow(TListBox* list, const QString& text);
// Selects a valid row and scrolls it into view; otherwise "List index out of bounds (%d)".
void selectRow(TListBox* list, int index);
// Row rectangle in the list's client (viewport) coordinates: the row's own for existing rows,
// the last row moved down one row height for index == count, all zero beyond that and for -1.
[[nodiscard]] QRect rowRect(const TListBox* list, int index);
// Width of `text` in the list canvas' font: the platform's default 8-point sans, not the
// list's own bold font.
[[nodiscard]] int canvasTextWidth(const QString& text);
// Pixel font the list canvas measures with.
[[nodiscard]] QFont canvasFont();

// --- focus, clipboard, labels, timers, glyphs ------------------------------------------------
// Gives the keyboard focus; a hidden or disabled control (or one on a window not yet shown)
// throws "Cannot focus a disabled or invisible window".
void setFocusChecked(QWidget* widget);
// The clipboard's text, empty when it holds none.
[[nodiscard]] QString clipboardText();
// Sets a label's caption, on one line (line breaks show as spaces), and sizes the label to it.
void setCaption(QLabel* label, const QString& text);
// Enabling a running timer changes nothing (its period goes on); disabling stops it.
void setTimerEnabled(QTimer* timer, bool enabled);
// Loads a BMP file as a button's glyph. Missing or unreadable: "Cannot open file "%s". %s";
// not a bitmap: "Bitmap image is not valid".
void loadGlyph(QAbstractButton* button, const QString& path);
// The process's current directory as a path prefix (no trailing separator but at "/").
[[nodiscard]] QString currentDir();
// Blocks the UI thread; the window neither repaints nor reacts meanwhile.
void sleepMs(int ms);

// --- error reporting --------------------------------------------------------------------------
// The text shown for an error: its message plus a full stop when the last character is above
// U+002E.
[[nodiscard]] QString errorBoxText(const QString& message);
// The error box caption: the executable's file name cut before its first full stop, the first
// character upper case, the rest lower case.
[[nodiscard]] QString applicationTitle();
// Shows a modal error box (its message loop keeps delivering timer ticks). Tests replace it.
using ErrorPresenter = std::function<void(const QString& caption, const QString& text)>;
void setErrorPresenter(ErrorPresenter presenter);
// The modal box itself, error icon and one OK button.
[[nodiscard]] ErrorPresenter modalErrorBox();
void showError(const QString& message);
// Runs a handler; an error ends it where it was raised and is shown.
void guarded(const std::function<void()>& handler);

}  // namespace radiolist
