#include "app/window/unit1.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QCoreApplication>
#include <QResizeEvent>

#include "app/window/fonts.h"
#include "app/window/globals.h"
#include "app/window/list_saver.h"
#include "app/window/window_control.h"
#include "app/window/vcl.h"

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

// A plain top-level widget is a "filler" to a screen reader; the window is a frame. Only its
// accessible role changes, nothing on screen.
QAccessibleInterface* formAccessible(const QString& key, QObject* object) {
  if (key != QLatin1String("TForm1")) return nullptr;
  auto* form = qobject_cast<TForm1*>(object);
  return form != nullptr ? new QAccessibleWidget(form, QAccessible::Window) : nullptr;
}

}  // namespace

// --- the window --------------------------------------------------------------------------------

TForm1::TForm1(AudioLibrary& audio, Player& player)
    : audio_(audio), player_(player), control_(std::make_unique<WindowControl>(*this)) {
  Form1 = this;
  static const bool accessibleFrame = (QAccessible::installFactory(formAccessible), true);
  (void)accessibleFrame;
  new ListSaver(this);  // saves stations added from outside; ends with the window
  setWindowTitle(QStringLiteral("Дромелин каналов"));
  setFont(windowFont(11, false));
  setAutoFillBackground(true);
  buildControls();
  wireEvents();
  resize(kDesignedClient);
  move(kDesignedPosition);
  player_.attachWindow(control_.get());
}

TForm1::~TForm1() {
  player_.attachWindow(nullptr);
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
  ListBox1->setAccessibleName(QCoreApplication::translate("TForm1", "Channel names"));

  Edit1 = new TEdit(this);
  Edit1->setFont(editFont);
  Edit1->setGeometry(114, 4, 266, 26);
  Edit1->setText(QStringLiteral("Edit1"));
  Edit1->setAccessibleName(QCoreApplication::translate("TForm1", "Channel name"));

  ListBox2 = new TListBox(this);
  ListBox2->setFont(listFont);
  setTextColour(ListBox2, Qt::black);
  ListBox2->setFocusPolicy(Qt::NoFocus);  // the Tab key skips it; a left press focuses it
  formAnchors_.add(ListBox2, {407, 36, 328, 296}, akLeft | akTop | akRight | akBottom);
  ListBox2->setAccessibleName(QCoreApplication::translate("TForm1", "Stream addresses"));

  Edit2 = new TEdit(this);
  Edit2->setFont(editFont);
  Edit2->setGeometry(407, 4, 328, 26);
  Edit2->setText(QStringLiteral("Edit2"));
  Edit2->setAccessibleName(QCoreApplication::translate("TForm1", "Stream address"));

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
  // The player core is told after each handler, whether or not it ended in an error.
  const auto click = [this](QAbstractButton* button, void (TForm1::*handler)(QObject*)) {
    connect(button, &QAbstractButton::clicked, this, [this, button, handler] {
      guarded([&] { (this->*handler)(button); });
      publishNowPlaying();
    });
  };
  click(SpeedButton1, &TForm1::SpeedButton1Click);
  click(SpeedButton2, &TForm1::SpeedButton2Click);
  click(SpeedButton3, &TForm1::SpeedButton3Click);
  click(SpeedButton4, &TForm1::SpeedButton4Click);

  connect(ListBox1, &TListBox::userSelected, this, [this] {
    guarded([this] { ListBox1Click(ListBox1); });
    publishNowPlaying();
  });
  // Rows added, deleted or loaded change what the media controls may step to; told once the
  // handler that changed them has ended.
  const auto rowsChanged = [this] {
    QMetaObject::invokeMethod(this, &TForm1::publishNowPlaying, Qt::QueuedConnection);
  };
  connect(&ListBox1->rows(), &QAbstractItemModel::rowsInserted, this, rowsChanged);
  connect(&ListBox1->rows(), &QAbstractItemModel::rowsRemoved, this, rowsChanged);
  connect(&ListBox1->rows(), &QAbstractItemModel::modelReset, this, rowsChanged);
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

  // The timers show the station and the title in their labels and nothing else: the core hears
  // of what is on air from the library's events, not from their ticks.
  for (QTimer* timer : {Timer1, Timer2, Timer3}) {
    void (TForm1::*handler)(QObject*) = timer == Timer1   ? &TForm1::Timer1Timer
                                        : timer == Timer2 ? &TForm1::Timer2Timer
                                                          : &TForm1::Timer3Timer;
    connect(timer, &QTimer::timeout, this,
            [this, timer, handler] { guarded([&] { (this->*handler)(timer); }); });
  }
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
