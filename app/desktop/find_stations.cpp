#include "app/desktop/find_stations.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QEvent>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSet>
#include <QSpinBox>
#include <QTableView>
#include <QVBoxLayout>
#include <utility>

#include "app/core/player.h"
#include "app/desktop/outcome_text.h"

namespace radiolist {

namespace {

QString text(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

void playFoundStation(Player& player, const directory::Station& station) {
  const QString url = text(station.url);
  if (station.reach == net::Reach::PublicOnly) player.holdToPublicHosts(url);
  player.playAddress(url);
}

void StationTableModel::setStations(std::vector<directory::Station> stations) {
  beginResetModel();
  stations_.clear();
  QSet<QString> seen;
  for (directory::Station& station : stations) {
    if (stations_.size() == kMaxRows) break;
    const QString url = text(station.url);
    if (seen.contains(url)) continue;
    seen.insert(url);
    stations_.push_back(std::move(station));
  }
  endResetModel();
}

const directory::Station* StationTableModel::station(int row) const {
  if (row < 0 || static_cast<std::size_t>(row) >= stations_.size()) return nullptr;
  return &stations_[static_cast<std::size_t>(row)];
}

int StationTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(stations_.size());
}

int StationTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : ColumnCount;
}

QVariant StationTableModel::data(const QModelIndex& index, int role) const {
  const directory::Station* s = station(index.row());
  if (s == nullptr) return {};
  if (role == Qt::ToolTipRole && index.column() == Name) return text(s->url);
  if (role == Qt::TextAlignmentRole && index.column() == Votes)
    return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
  if (role != Qt::DisplayRole && role != Qt::AccessibleTextRole) return {};
  switch (index.column()) {
    case Name: return text(s->name);
    case Country: return text(s->country);
    case Format:
      if (s->bitrate == 0) return text(s->codec);
      return tr("%1 %2 kbit/s").arg(text(s->codec)).arg(s->bitrate).trimmed();
    case Tags: return text(s->tags);
    case Votes: return QString::number(s->votes);
    case Working: return s->lastCheckOk ? tr("yes") : tr("no");
    default: return {};
  }
}

QVariant StationTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  switch (section) {
    case Name: return tr("Name");
    case Country: return tr("Country");
    case Format: return tr("Format");
    case Tags: return tr("Tags");
    case Votes: return tr("Votes");
    case Working: return tr("Working");
    default: return {};
  }
}

SearchDebounce::SearchDebounce(std::chrono::milliseconds delay, Start start, QObject* parent)
    : QObject(parent), start_(std::move(start)) {
  timer_.setSingleShot(true);
  timer_.setInterval(delay);
  connect(&timer_, &QTimer::timeout, this, &SearchDebounce::send);
}

SearchDebounce::~SearchDebounce() {
  post_->close();
  if (request_) request_->cancel();
}

void SearchDebounce::changed(const directory::Query& query) {
  query_ = query;
  timer_.start();
}

void SearchDebounce::now(const directory::Query& query) {
  query_ = query;
  send();
}

bool SearchDebounce::cancel() {
  const bool pending = timer_.isActive() || searching_;
  timer_.stop();
  if (request_) request_->cancel();
  request_.reset();
  searching_ = false;
  ++generation_;  // an answer already on its way is dropped
  return pending;
}

void SearchDebounce::send() {
  timer_.stop();
  if (request_) request_->cancel();
  request_.reset();
  searching_ = false;
  const std::uint64_t generation = ++generation_;
  if (query_.name.empty() && query_.tag.empty() && query_.country.empty() && query_.codec.empty())
    return;
  // The answer comes on the request's thread; it is handed over by a queued call, and dropped
  // there if a newer search was asked for meanwhile or the window is gone.
  searching_ = true;
  request_ = start_(query_, [post = post_, this, generation](const directory::Outcome& outcome) {
    post->post([this, generation, outcome] {
      if (generation != generation_) return;
      request_.reset();
      searching_ = false;
      emit answered(outcome);
    });
  });
}

StationFinder::StationFinder(directory::Client& client,
                             std::function<void(const directory::Station&)> play,
                             std::function<void(const directory::Station&)> add, QWidget* parent)
    : QWidget(parent, Qt::Window),
      client_(client),
      play_(std::move(play)),
      add_(std::move(add)),
      model_(this),
      debounce_(
          kSearchDelay,
          [this](const directory::Query& q, directory::Callback done) {
            return client_.search(q, std::move(done));
          },
          this) {
  makeControls();
  layOut();
  wire();
}

// The search field, the filters, the table and its buttons, each named for a screen reader.
void StationFinder::makeControls() {
  setWindowTitle(tr("Find stations"));
  search_ = new QLineEdit(this);
  search_->setPlaceholderText(tr("Station name"));
  search_->setClearButtonEnabled(true);
  tag_ = new QLineEdit(this);
  country_ = new QLineEdit(this);
  codec_ = new QComboBox(this);
  codec_->addItem(tr("Any"), QString());
  for (const char* codec : {"MP3", "AAC", "AAC+", "OGG", "FLAC", "OPUS"})
    codec_->addItem(QString::fromLatin1(codec), QString::fromLatin1(codec));
  bitrate_ = new QSpinBox(this);
  bitrate_->setRange(0, 1024);
  bitrate_->setSingleStep(32);
  bitrate_->setSuffix(tr(" kbit/s"));
  bitrate_->setSpecialValueText(tr("Any"));
  working_ = new QCheckBox(tr("&Working only"), this);
  working_->setChecked(true);
  for (QLineEdit* edit : {search_, tag_, country_})
    edit->setMaxLength(directory::kMaxQueryTextBytes);

  table_ = new QTableView(this);
  table_->setModel(&model_);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setSelectionMode(QAbstractItemView::SingleSelection);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setWordWrap(false);
  table_->setTabKeyNavigation(false);
  table_->verticalHeader()->hide();
  table_->horizontalHeader()->setStretchLastSection(true);
  table_->installEventFilter(this);
  search_->installEventFilter(this);

  playButton_ = new QPushButton(tr("&Play"), this);
  addButton_ = new QPushButton(tr("&Add to list"), this);
  status_ = new QLabel(this);
  status_->setTextFormat(Qt::PlainText);

  search_->setAccessibleName(tr("Station name"));
  tag_->setAccessibleName(tr("Tag"));
  country_->setAccessibleName(tr("Country"));
  codec_->setAccessibleName(tr("Format"));
  bitrate_->setAccessibleName(tr("Lowest bitrate"));
  working_->setAccessibleName(tr("Working only"));
  table_->setAccessibleName(tr("Stations found"));
  playButton_->setAccessibleName(tr("Play"));
  addButton_->setAccessibleName(tr("Add to list"));
  status_->setAccessibleName(tr("Search status"));
}

void StationFinder::layOut() {
  auto* form = new QFormLayout;
  form->addRow(tr("&Search:"), search_);
  form->addRow(tr("&Tag:"), tag_);
  form->addRow(tr("&Country:"), country_);
  form->addRow(tr("&Format:"), codec_);
  form->addRow(tr("&Lowest bitrate:"), bitrate_);
  form->addRow(QString(), working_);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(status_, 1);
  buttons->addWidget(playButton_);
  buttons->addWidget(addButton_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(table_, 1);
  layout->addLayout(buttons);
  resize(760, 520);
}

void StationFinder::wire() {
  const auto changed = [this] {
    status_->setText(tr("Searching…"));
    debounce_.changed(query());
  };
  for (QLineEdit* edit : {search_, tag_, country_})
    connect(edit, &QLineEdit::textChanged, this, changed);
  connect(codec_, &QComboBox::currentIndexChanged, this, changed);
  connect(bitrate_, &QSpinBox::valueChanged, this, changed);
  connect(working_, &QCheckBox::toggled, this, changed);
  connect(&debounce_, &SearchDebounce::answered, this, &StationFinder::show);
  connect(table_, &QTableView::doubleClicked, this, &StationFinder::playChosen);
  connect(playButton_, &QPushButton::clicked, this, &StationFinder::playChosen);
  connect(addButton_, &QPushButton::clicked, this, &StationFinder::addChosen);
  const auto enable = [this] {
    const bool any = chosen() != nullptr;
    playButton_->setEnabled(any);
    addButton_->setEnabled(any);
  };
  connect(table_->selectionModel(), &QItemSelectionModel::selectionChanged, this, enable);
  connect(&model_, &QAbstractItemModel::modelReset, this, enable);
  enable();
}

void StationFinder::open() {
  QWidget::show();
  raise();
  activateWindow();
  search_->setFocus();
  if (std::exchange(cutShort_, false)) {
    status_->setText(tr("Searching…"));
    debounce_.now(query());
  }
}

void StationFinder::closeEvent(QCloseEvent* event) {
  if (debounce_.cancel()) {
    cutShort_ = true;
    status_->clear();
  }
  QWidget::closeEvent(event);
}

directory::Query StationFinder::query() const {
  directory::Query q;
  q.name = search_->text().trimmed().toStdString();
  q.tag = tag_->text().trimmed().toStdString();
  q.country = country_->text().trimmed().toStdString();
  q.codec = codec_->currentData().toString().toStdString();
  q.bitrateMin = static_cast<std::uint32_t>(bitrate_->value());
  q.hideBroken = working_->isChecked();
  q.limit = StationTableModel::kMaxRows;
  return q;
}

void StationFinder::show(const directory::Outcome& outcome) {
  if (outcome.failure == directory::Failure::Cancelled) return;
  if (outcome.failure != directory::Failure::None) {
    status_->setText(directoryText(outcome));
    return;
  }
  model_.setStations(outcome.list.stations);
  status_->setText(tr("%n station(s) found", nullptr, model_.rowCount()));
  if (model_.rowCount() > 0) table_->selectRow(0);
}

const directory::Station* StationFinder::chosen() const {
  const QModelIndex current = table_->currentIndex();
  if (!current.isValid() || !table_->selectionModel()->isRowSelected(current.row())) return nullptr;
  return model_.station(current.row());
}

void StationFinder::playChosen() {
  if (const directory::Station* s = chosen()) play_(*s);
}

void StationFinder::addChosen() {
  if (const directory::Station* s = chosen()) add_(*s);
}

// Enter in the table plays the chosen row; Enter or Down in the search field goes to the table
// (searching at once if nothing was found yet), so the keyboard alone reaches every station.
bool StationFinder::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return QWidget::eventFilter(watched, event);
  const int key = static_cast<QKeyEvent*>(event)->key();
  const bool enter = key == Qt::Key_Return || key == Qt::Key_Enter;
  if (watched == table_ && enter) {
    playChosen();
    return true;
  }
  if (watched == search_ && (enter || key == Qt::Key_Down)) {
    if (model_.rowCount() == 0) {
      if (enter) debounce_.now(query());
      return enter;
    }
    table_->setFocus();
    if (chosen() == nullptr) table_->selectRow(0);
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace radiolist
