#pragma once
// Opens the program's menu from the window: a right click anywhere on it but inside an open
// editor (which keeps its own cut/copy/paste menu), and the Menu key or Shift+F10 wherever the
// focus is. The click has no other effect: the event is taken before any widget sees it.

#include <QObject>
#include <QPoint>
#include <functional>

class QWidget;

namespace radiolist {

class WindowShell;

class WindowMenu : public QObject {
  Q_OBJECT
 public:
  // `open` shows the menu at a place on the screen; `fromKeyboard` when a key asked for it.
  using Open = std::function<void(QPoint at, bool fromKeyboard)>;
  WindowMenu(WindowShell& window, Open open, QObject* parent = nullptr);

  // Where a menu asked for with the keyboard opens: under the editor's cursor, the list's current
  // row, else the middle of the widget with the focus.
  [[nodiscard]] static QPoint keyboardPlace(const QWidget* focus);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  Open open_;
};

}  // namespace radiolist
