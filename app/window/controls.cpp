#include "app/window/controls.h"

#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMouseEvent>

#include "app/window/vcl.h"

using namespace radiolist;

TSpeedButton::TSpeedButton(QWidget* parent) : QToolButton(parent) {
  setFocusPolicy(Qt::NoFocus);
  setAutoRaise(false);
  setToolButtonStyle(Qt::ToolButtonIconOnly);
}

ListBoxRows::ListBoxRows(QObject* parent) : QAbstractListModel(parent) {}

int ListBoxRows::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(lines_.size());
}

QVariant ListBoxRows::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  if (role != Qt::DisplayRole && role != Qt::EditRole) return {};
  return QString::fromStdU16String(lines_[static_cast<std::size_t>(index.row())]);
}

Qt::ItemFlags ListBoxRows::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
}

void ListBoxRows::replace(radiolist::ListLines lines) {
  beginResetModel();
  lines_.swap(lines);
  endResetModel();
  // `lines` now holds the old rows; they are freed here, after the view has let go of them.
}

void ListBoxRows::insert(int row, std::u16string text) {
  beginInsertRows({}, row, row);
  lines_.insert(lines_.begin() + row, std::move(text));
  endInsertRows();
}

void ListBoxRows::append(radiolist::ListLines more) {
  if (more.empty()) return;
  const int first = static_cast<int>(lines_.size());
  beginInsertRows({}, first, first + static_cast<int>(more.size()) - 1);
  lines_.insert(lines_.end(), std::make_move_iterator(more.begin()),
                std::make_move_iterator(more.end()));
  endInsertRows();
}

void ListBoxRows::remove(int row) {
  beginRemoveRows({}, row, row);
  lines_.erase(lines_.begin() + row);
  endRemoveRows();
}

TListBox::TListBox(QWidget* parent) : QListView(parent), rows_(new ListBoxRows(this)) {
  setModel(rows_);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setUniformItemSizes(true);  // keeps lists of many thousand rows instant
  // Qt would focus the list on a press of any button; a left press takes the focus itself.
  setFocusPolicy(Qt::TabFocus);
}

namespace {

// Only a plain left button selects rows; right, middle and Ctrl+clicks leave the list alone.
bool selectsRows(const QMouseEvent* event) {
  return event->button() == Qt::LeftButton && !(event->modifiers() & Qt::ControlModifier);
}

}  // namespace

void TListBox::mousePressEvent(QMouseEvent* event) {
  if (!selectsRows(event)) {
    event->accept();
    return;
  }
  // The list takes the focus from a left press only (its focus policy leaves clicks out).
  setFocus(Qt::MouseFocusReason);
  leftPressed_ = true;
  selectedAtPress_ = itemIndex(this);
  QListView::mousePressEvent(event);
  if (const QModelIndex pressed = indexAt(event->position().toPoint()); pressed.isValid())
    emit pressedOnRow(pressed.row());
}

void TListBox::mouseDoubleClickEvent(QMouseEvent* event) {
  if (!selectsRows(event)) {
    event->accept();
    return;
  }
  leftPressed_ = true;
  selectedAtPress_ = itemIndex(this);
  QListView::mouseDoubleClickEvent(event);
}

void TListBox::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !leftPressed_) {
    event->accept();
    return;
  }
  leftPressed_ = false;
  const QModelIndex released = indexAt(event->position().toPoint());
  QListView::mouseReleaseEvent(event);
  // The row under the release is the one chosen, wherever the press was; each release on a row
  // (or a drag that moved the selection off the list) runs the selection handling once.
  if (released.isValid() && itemIndex(this) != released.row())
    selectionModel()->setCurrentIndex(released, QItemSelectionModel::ClearAndSelect);
  if (released.isValid() || itemIndex(this) != selectedAtPress_) emit userSelected();
}

void TListBox::keyPressEvent(QKeyEvent* event) {
  const int before = itemIndex(this);
  QListView::keyPressEvent(event);
  if (itemIndex(this) != before) emit userSelected();
}

TEdit::TEdit(QWidget* parent) : QLineEdit(parent) {}

void TEdit::setVisible(bool visible) {
  // Hiding the focused editor hands the focus to the window itself, so the keys that follow
  // reach no control; Qt would pass it on to the next editor or list in the tab chain.
  if (!visible && window() != this && window()->focusWidget() == this)
    window()->setFocus(Qt::OtherFocusReason);
  QLineEdit::setVisible(visible);
}

void TEdit::inputMethodEvent(QInputMethodEvent* event) {
  const QString committed = event->commitString();
  if (!onKeyPress || committed.isEmpty()) {
    QLineEdit::inputMethodEvent(event);
    return;
  }
  // Text composed by an input method (dead keys, compose, IME) is typed text: each character
  // goes through the key-press handler first, which may consume it.
  QString kept;
  for (const QChar c : committed) {
    char16_t key = c.unicode();
    bool completed = false;
    guarded([&] {
      onKeyPress(key);
      completed = true;
    });
    if (completed && key != 0) kept.append(QChar(key));
  }
  QInputMethodEvent filtered(event->preeditString(), event->attributes());
  filtered.setCommitString(kept, event->replacementStart(), event->replacementLength());
  QLineEdit::inputMethodEvent(&filtered);
  event->accept();
}

void TEdit::keyPressEvent(QKeyEvent* event) {
  const QString text = event->text();
  // Only keys that produce a character reach the key-press handler; Delete produces none here.
  if (!onKeyPress || text.isEmpty() || event->key() == Qt::Key_Delete) {
    QLineEdit::keyPressEvent(event);
    return;
  }
  char16_t key = text.front().unicode();
  bool completed = false;
  guarded([&] {
    onKeyPress(key);
    completed = true;
  });
  // A handler that failed, or set the key to 0, consumes it.
  if (!completed || key == 0) {
    event->accept();
    return;
  }
  QLineEdit::keyPressEvent(event);
}

void TEdit::mouseDoubleClickEvent(QMouseEvent* event) {
  QLineEdit::mouseDoubleClickEvent(event);
  if (onDblClick) guarded(onDblClick);
}
