#include "app/desktop/window_menu.h"

#include <QAbstractItemView>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <utility>

#include "app/core/player.h"

namespace radiolist {

namespace {

bool asksForMenu(const QKeyEvent& key) {
  const Qt::KeyboardModifiers modifiers = key.modifiers() & ~Qt::KeypadModifier;
  return (key.key() == Qt::Key_Menu && modifiers == Qt::NoModifier) ||
         (key.key() == Qt::Key_F10 && modifiers == Qt::ShiftModifier);
}

}  // namespace

WindowMenu::WindowMenu(WindowShell& window, Open open, QObject* parent)
    : QObject(parent), open_(std::move(open)) {
  window.watchForMenu(this);
}

QPoint WindowMenu::keyboardPlace(const QWidget* focus) {
  if (focus == nullptr) return {};
  if (const auto* editor = qobject_cast<const QLineEdit*>(focus))
    return editor->mapToGlobal(
        editor->inputMethodQuery(Qt::ImCursorRectangle).toRect().bottomLeft());
  if (const auto* list = qobject_cast<const QAbstractItemView*>(focus)) {
    const QRect row = list->visualRect(list->currentIndex());
    if (row.isValid() && list->viewport()->rect().intersects(row))
      return list->viewport()->mapToGlobal(row.center());
  }
  return focus->mapToGlobal(focus->rect().center());
}

bool WindowMenu::eventFilter(QObject* watched, QEvent* event) {
  auto* widget = qobject_cast<QWidget*>(watched);
  if (widget == nullptr) return false;
  switch (event->type()) {
    case QEvent::ContextMenu: {
      const auto* asked = static_cast<QContextMenuEvent*>(event);
      const bool mouse = asked->reason() == QContextMenuEvent::Mouse;
      if (mouse && widget->isVisible() && qobject_cast<QLineEdit*>(widget) != nullptr) return false;
      open_(mouse ? asked->globalPos() : keyboardPlace(widget), !mouse);
      return true;
    }
    case QEvent::ShortcutOverride:
    case QEvent::KeyPress: {
      auto* key = static_cast<QKeyEvent*>(event);
      if (!asksForMenu(*key)) return false;
      // Taken before a shortcut or the editor sees it.
      if (event->type() == QEvent::ShortcutOverride) {
        key->accept();
        return true;
      }
      open_(keyboardPlace(widget), true);
      return true;
    }
    default: return false;
  }
}

}  // namespace radiolist
