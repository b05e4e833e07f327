// Stations that moved: the mender's offers in the program's menu, as a notification and on the
// bus, and the user's yes.

#include <QAction>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QMenu>
#include <algorithm>
#include <climits>
#include <tuple>
#include <utility>

#include "app/desktop/companion.h"
#include "app/desktop/dbus_properties.h"
#include "app/desktop/outcome_text.h"
#include "app/log_domain.h"
#include "playback/log/log.h"

namespace radiolist {

namespace {

QString movedText(const QString& name) {
  // The name is the list's: a long one must not make the menu wider than the screen.
  constexpr qsizetype kLongest = 60;
  const QString shown = name.size() > kLongest ? name.left(kLongest - 1) + u'…' : name;
  return Companion::tr("%1 has moved: use the new address?").arg(shown);
}

}  // namespace

QDBusArgument& operator<<(QDBusArgument& out, const BusMovedStation& m) {
  out.beginStructure();
  out << m.row << m.oldAddress << m.newAddress;
  out.endStructure();
  return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, BusMovedStation& m) {
  in.beginStructure();
  in >> m.row >> m.oldAddress >> m.newAddress;
  in.endStructure();
  return in;
}

StationMender* Companion::makeMender() {
  StationMender::Directory asks{[this](const std::string& uuid, directory::Callback done) {
                                  std::ignore = directory().byUuid({uuid}, std::move(done));
                                },
                                [this](const directory::Query& query, directory::Callback done) {
                                  std::ignore = directory().search(query, std::move(done));
                                }};
  Player* player = &player_;
  return new StationMender(
      std::move(asks),
      [player](const std::string& url, bool publicOnly) {
        return player->streamPlays(url, publicOnly);
      },
      ids_, this);
}

QList<BusMovedStation> Companion::movedStations() const {
  QList<BusMovedStation> out;
  if (mender_ == nullptr) return out;
  for (const MovedStation& m : mender_->offers())
    out.push_back({static_cast<uint>(m.row), m.oldAddress, m.newAddress});
  return out;
}

void Companion::showMovedOffers() {
  for (QAction* action : std::exchange(movedActions_, {})) {
    menu_->removeAction(action);
    action->deleteLater();
  }
  for (const MovedStation& moved : mender_->offers()) {
    QString label = movedText(moved.name);
    label.replace(QLatin1Char('&'), QLatin1String("&&"));
    auto* action = new QAction(label, menu_.get());
    action->setToolTip(moved.newAddress);
    connect(action, &QAction::triggered, this, [this, row = moved.row] {
      useMovedStation(row, [this](const std::optional<MoveRefusal>& refusal) {
        if (refusal) window_.showError(refusal->text);
      });
    });
    menu_->insertAction(findStations_, action);
    movedActions_.push_back(action);
  }
  if (published_) properties_->tell();
}

void Companion::tellMoved(const MovedStation& moved) {
  log::write(kDesktopLog, "line ", moved.row, " moved: ", moved.oldAddress.toStdString(), " -> ",
             moved.newAddress.toStdString());
  notifier_->show({movedText(moved.name), moved.newAddress, tr("Use the new address"),
                   QString::number(moved.row) + u'\n' + moved.oldAddress});
}

void Companion::movedAnswered(const QString& key) {
  const qsizetype newline = key.indexOf(u'\n');
  bool number = false;
  const int row = key.left(newline).toInt(&number);
  const std::optional<MovedStation> moved = mender_->offer(row);
  // An offer taken or replaced since the notification was shown is not what the user said yes to.
  if (newline < 0 || !number || !moved || moved->oldAddress != key.mid(newline + 1)) return;
  useMovedStation(row, [this](const std::optional<MoveRefusal>& refusal) {
    if (refusal) window_.showError(refusal->text);
  });
}

void Companion::useMovedStation(int row,
                                std::function<void(const std::optional<MoveRefusal>&)> done) {
  const std::optional<MovedStation> moved = mender_->offer(row);
  if (!moved) {
    done(MoveRefusal{QStringLiteral("org.radiolist.Radiolist1.Error.NoSuchOffer"),
                     tr("No new address is offered for line %1").arg(row)});
    return;
  }
  const bool asked = player_.replaceAddress(
      row, moved->oldAddress, moved->newAddress,
      [this, moved = *moved, done](const Outcome& outcome) {
        if (!outcome.done()) {
          done(MoveRefusal{QStringLiteral("org.radiolist.Radiolist1.Error.CannotWrite"),
                           outcomeText(outcome)});
          return;
        }
        ids_.move(moved.oldAddress.toStdString(), moved.newAddress.toStdString());
        if (mender_ != nullptr) mender_->withdraw(moved.row);
        done(std::nullopt);
      });
  if (!asked) {
    mender_->withdraw(row);  // the line holds another address now: nothing to mend
    done(MoveRefusal{QStringLiteral("org.radiolist.Radiolist1.Error.LineChanged"),
                     tr("Line %1 no longer holds the old address").arg(row)});
  }
}

void Companion::UseMovedStation(uint row) {
  setDelayedReply(true);
  useMovedStation(static_cast<int>(std::min<uint>(row, INT_MAX)),
                  [message = message()](const std::optional<MoveRefusal>& refusal) {
                    QDBusConnection::sessionBus().send(
                        refusal ? message.createErrorReply(refusal->name, refusal->text)
                                : message.createReply());
                  });
}

}  // namespace radiolist
