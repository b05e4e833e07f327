#pragma once
// The toolkit's controls the window is built of, as Qt widgets: a focus-less bitmap button, a list
// box over the list files' lines, and an editor whose key-press handler sees each character first.
// Apart from the window itself, so the framework layer (vcl) can work on them without it.

#include <QAbstractListModel>
#include <QLineEdit>
#include <QListView>
#include <QToolButton>
#include <functional>
#include <string>

#include "channels/list_file.h"

// A bitmap button that never takes the focus; Tag is a free integer, as on the other toolkit.
class TSpeedButton : public QToolButton {
  Q_OBJECT
 public:
  explicit TSpeedButton(QWidget* parent);
  int Tag = 0;
};

// The rows of a list box, kept as the list files hold them: a reload moves the file's lines in
// and a save writes them out, with no per-row objects and no conversion. Rows are plain,
// selectable and not editable in place.
class ListBoxRows : public QAbstractListModel {
  Q_OBJECT
 public:
  explicit ListBoxRows(QObject* parent);
  [[nodiscard]] int rowCount(const QModelIndex& parent = {}) const override;
  [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
  [[nodiscard]] Qt::ItemFlags flags(const QModelIndex& index) const override;

  [[nodiscard]] const radiolist::ListLines& lines() const { return lines_; }
  void replace(radiolist::ListLines lines);
  void insert(int row, std::u16string text);
  // Appends the lines as one change (thousands of rows without a view update each).
  void append(radiolist::ListLines more);
  void remove(int row);

 private:
  radiolist::ListLines lines_;
};

// A list view that reports a selection made by the user (mouse or keyboard), never one made
// by the program.
class TListBox : public QListView {
  Q_OBJECT
 public:
  explicit TListBox(QWidget* parent);
  [[nodiscard]] int count() const { return rows_->rowCount(); }
  [[nodiscard]] const ListBoxRows& rows() const { return *rows_; }
  [[nodiscard]] ListBoxRows& rows() { return *rows_; }
 signals:
  void userSelected();
  // A left press on `row`: the release that follows will most likely choose it.
  void pressedOnRow(int row);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  // As on a classic list box: only a plain left click selects (the row under the release), and
  // each such click runs the selection handling once; other buttons change nothing.
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  ListBoxRows* rows_;
  bool leftPressed_ = false;
  int selectedAtPress_ = -1;
};

// A single-line editor whose key-press handler sees each typed character first and may consume
// it by setting it to 0.
class TEdit : public QLineEdit {
  Q_OBJECT
 public:
  explicit TEdit(QWidget* parent);
  std::function<void(char16_t& key)> onKeyPress;
  std::function<void()> onDblClick;

  void setVisible(bool visible) override;

 protected:
  void inputMethodEvent(QInputMethodEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
};
