#include "app/unit1.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QResizeEvent>

#include "app/fonts.h"
#include "app/globals.h"
#include "app/vcl.h"

using namespace radiolist;

namespace {

// The window's designed client area and the fonts of its controls, in pixels.
constexpr QSize kDesignedClient{743, 370};
constexpr QPoint kDesignedPosition{274, 103};

void setTextColour(QWidget* widget, const QColor& colour) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, colour);
  palette.setColor(QPalette::Text, colour);
  widget->setPalette(palette);
}

QLabel* makeLabel(QWidget* parent, const QRect& geometry, const QFont& font, const QColor& colour,
                  const QString& text) {
  auto* label = new QLabel(parent);
  // Station names and titles come from the network: never interpret them as markup.
  label->setTextFormat(Qt::PlainText);
  label->setFont(font);
  // A label draws with its own text colour: without this, one on the panel inherits the panel's
  // button role and paints in the button-text colour.
  label->setForegroundRole(QPalette::WindowText);
  setTextColour(label, colour);
  label->setGeometry(geometry);
  setCaption(label, text);
  return label;
}

}  // namespace

// --- controls ----------------------------------------------------------------------------------

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

// --- the window --------------------------------------------------------------------------------

TForm1::TForm1(AudioLibrary& audio) : audio_(audio) {
  Form1 = this;
  setWindowTitle(QStringLiteral("Дромелин каналов"));
  setFont(windowFont(11, false));
  setAutoFillBackground(true);
  buildControls();
  wireEvents();
  resize(kDesignedClient);
  move(kDesignedPosition);
}

TForm1::~TForm1() {
  if (Form1 == this) Form1 = nullptr;
}

void TForm1::buildControls() {
  formAnchors_.setDesignedParentSize(kDesignedClient);
  const QFont listFont = windowFont(13, true);
  const QFont editFont = windowFont(15, true);

  SpeedButton1 = new TSpeedButton(this);
  SpeedButton1->setGeometry(48, 8, 12, 22);
  SpeedButton1->hide();

  SpeedButton2 = new TSpeedButton(this);
  SpeedButton2->setGeometry(8, 4, 34, 26);
  SpeedButton2->setToolTip(QStringLiteral("START STOP"));
  SpeedButton2->setAccessibleName(SpeedButton2->toolTip());

  Label2 = makeLabel(this, {66, 8, 42, 16}, windowFont(13, true), QColor(0, 0, 255),
                     QStringLiteral("Label2"));

  ListBox1 = new TListBox(this);
  ListBox1->setFont(listFont);
  setTextColour(ListBox1, Qt::black);
  formAnchors_.add(ListBox1, {8, 36, 393, 296}, akLeft | akTop | akRight | akBottom);

  Edit1 = new TEdit(this);
  Edit1->setFont(editFont);
  Edit1->setGeometry(114, 4, 266, 26);
  Edit1->setText(QStringLiteral("Edit1"));

  ListBox2 = new TListBox(this);
  ListBox2->setFont(listFont);
  setTextColour(ListBox2, Qt::black);
  ListBox2->setFocusPolicy(Qt::NoFocus);  // the Tab key skips it; a left press focuses it
  formAnchors_.add(ListBox2, {407, 36, 328, 296}, akLeft | akTop | akRight | akBottom);

  Edit2 = new TEdit(this);
  Edit2->setFont(editFont);
  Edit2->setGeometry(407, 4, 328, 26);
  Edit2->setText(QStringLiteral("Edit2"));

  Panel1 = new QFrame(this);
  Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
  Panel1->setLineWidth(1);
  Panel1->setAutoFillBackground(true);
  Panel1->setBackgroundRole(QPalette::Button);
  formAnchors_.add(Panel1, {0, 329, 735, 41}, akLeft | akRight | akBottom);

  Label3 = makeLabel(Panel1, {277, 9, 63, 23}, windowFont(19, true), Qt::black,
                     QStringLiteral("Label3"));
  Label1 = makeLabel(Panel1, {0, 0, 40, 14}, windowFont(12, true), QColor(255, 0, 0),
                     QStringLiteral("Label1"));

  SpeedButton3 = new TSpeedButton(Panel1);
  SpeedButton3->setGeometry(240, 1, 31, 34);
  SpeedButton3->setToolTip(QStringLiteral("Добавить строку"));
  SpeedButton3->setAccessibleName(SpeedButton3->toolTip());

  SpeedButton4 = new TSpeedButton(Panel1);
  SpeedButton4->setGeometry(203, 1, 31, 34);
  SpeedButton4->setToolTip(QStringLiteral("Удалить строку"));
  SpeedButton4->setAccessibleName(SpeedButton4->toolTip());

  setTabOrder(ListBox1, Edit1);
  setTabOrder(Edit1, ListBox2);
  setTabOrder(ListBox2, Edit2);

  Timer1 = new QTimer(this);
  Timer1->setInterval(3000);
  Timer2 = new QTimer(this);
  Timer2->setInterval(10);
  Timer2->setTimerType(Qt::PreciseTimer);  // ten ticks should take about 100 ms
  Timer3 = new QTimer(this);
  Timer3->setInterval(1000);
}

void TForm1::wireEvents() {
  const auto click = [this](QAbstractButton* button, void (TForm1::*handler)(QObject*)) {
    connect(button, &QAbstractButton::clicked, this,
            [this, button, handler] { guarded([&] { (this->*handler)(button); }); });
  };
  click(SpeedButton1, &TForm1::SpeedButton1Click);
  click(SpeedButton2, &TForm1::SpeedButton2Click);
  click(SpeedButton3, &TForm1::SpeedButton3Click);
  click(SpeedButton4, &TForm1::SpeedButton4Click);

  connect(ListBox1, &TListBox::userSelected, this,
          [this] { guarded([this] { ListBox1Click(ListBox1); }); });
  connect(ListBox2, &TListBox::userSelected, this,
          [this] { guarded([this] { ListBox2Click(ListBox2); }); });
  // A press comes a tenth of a second or so before the release that makes the click: time the
  // library uses to start connecting to the row's address.
  connect(ListBox1, &TListBox::pressedOnRow, this,
          [this](int row) { guarded([this, row] { prepareAddressOnRow(row); }); });

  Edit1->onKeyPress = [this](char16_t& key) { Edit1KeyPress(Edit1, key); };
  Edit2->onKeyPress = [this](char16_t& key) { Edit2KeyPress(Edit2, key); };
  Edit1->onDblClick = [this] { Edit1DblClick(Edit1); };
  Edit2->onDblClick = [this] { Edit2DblClick(Edit2); };

  const auto tick = [this](QTimer* timer, void (TForm1::*handler)(QObject*)) {
    connect(timer, &QTimer::timeout, this,
            [this, timer, handler] { guarded([&] { (this->*handler)(timer); }); });
  };
  tick(Timer1, &TForm1::Timer1Timer);
  tick(Timer2, &TForm1::Timer2Timer);
  tick(Timer3, &TForm1::Timer3Timer);
}

void TForm1::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  formAnchors_.apply(event->size());
}

void TForm1::create() {
  guarded([this] { FormCreate(this); });
}

void TForm1::FormCreate(QObject*) {
  setCaption(Label1, QString());
  setCaption(Label2, QString());
  setCaption(Label3, QStringLiteral("Для применения изменений нажать ENTER"));
  SpeedButton1Click(SpeedButton1);  // the hidden button's click loads both lists
  Edit1->hide();
  Edit2->hide();
  setItemIndex(ListBox1, 0);
  prepareAddressOnRow(0);  // the countdown below starts row 0
  ResyncCountdown = 10;
  setTimerEnabled(Timer2, true);
  WorkDir = currentDir();
  GlyphPath = WorkDir + QStringLiteral("/imag/glossyicon.bmp");
  loadGlyph(SpeedButton3, GlyphPath);
  GlyphPath = WorkDir + QStringLiteral("/imag/delete.bmp");
  loadGlyph(SpeedButton4, GlyphPath);
  WorkDir = currentDir();
  GlyphPath = WorkDir + QStringLiteral("/imag/play.bmp");
  loadGlyph(SpeedButton2, GlyphPath);
}
