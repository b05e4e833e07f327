#include "app/desktop/station_mender.h"

#include <QStringList>
#include <algorithm>
#include <utility>

#include "app/desktop/directory_ids.h"
#include "app/log_domain.h"
#include "playback/log/log.h"
#include "playback/log/thread_name.h"

namespace radiolist {

namespace {

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string trimmed(std::string_view text) {
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return std::string(text);
}

}  // namespace

std::optional<directory::Station> movedTo(const directory::Outcome& answer, const std::string& uuid,
                                          const std::string& name, const std::string& oldAddress) {
  if (answer.failure != directory::Failure::None) return std::nullopt;
  const std::vector<directory::Station>& stations = answer.list.stations;
  const directory::Station* found = nullptr;
  if (!uuid.empty()) {
    const auto it = std::find_if(stations.begin(), stations.end(),
                                 [&](const directory::Station& s) { return s.uuid == uuid; });
    if (it != stations.end()) found = &*it;
  } else {
    const std::string wanted = trimmed(name);
    for (const directory::Station& s : stations) {
      if (wanted.empty() || s.name != wanted) continue;
      if (found != nullptr && found->url != s.url) return std::nullopt;  // which one? none
      found = &s;
    }
  }
  if (found == nullptr || found->url.empty() || found->url == trimmed(oldAddress))
    return std::nullopt;
  return *found;
}

StationMender::StationMender(Directory directory, Plays plays, const DirectoryIds& ids,
                             QObject* parent)
    : QObject(parent), directory_(std::move(directory)), plays_(std::move(plays)), ids_(ids) {
  checks_.setMaxThreadCount(1);
  checks_.setExpiryTimeout(2000);  // no thread stays while nothing is checked
}

StationMender::~StationMender() {
  post_->close();
  checks_.waitForDone();
}

void StationMender::lineGone(const GoneLine& line) {
  const QString key = QString::number(line.row) + u'\n' + line.address;
  if (line.row < 0 || asked_.contains(key) || asked_.size() >= kMaxLookups) return;
  asked_.insert(key);
  const std::string address = line.address.toStdString();
  const std::string uuid = ids_.uuidFor(address).value_or(std::string());
  log::write(kDesktopLog, "line ", line.row, " looks gone for good (", address,
             "): asking the directory ", uuid.empty() ? "by its name" : "by its id");
  if (uuid.empty()) {
    askByName(line);
    return;
  }
  directory_.byUuid(uuid, [post = post_, this, line, uuid](const directory::Outcome& answer) {
    post->post([this, line, uuid, answer] { answered(line, uuid, answer); });
  });
}

void StationMender::askByName(const GoneLine& line) {
  auto done = [post = post_, this, line](const directory::Outcome& answer) {
    post->post([this, line, answer] { answered(line, {}, answer); });
  };
  directory::Query query;
  query.name = line.name.trimmed().toStdString();
  query.order = directory::Order::Votes;
  query.hideBroken = false;  // the exact name is what counts, and whether it plays is tried here
  query.limit = kNameMatches;
  if (query.name.empty() || query.name.size() > directory::kMaxQueryTextBytes) return;
  directory_.search(query, std::move(done));
}

void StationMender::answered(const GoneLine& line, const std::string& uuid,
                             const directory::Outcome& answer) {
  if (answer.failure != directory::Failure::None) {
    log::warning(kDesktopLog, "the directory gave no new address for line ", line.row, ": ",
                 directory::failureName(answer.failure), " ", answer.mirror, " ", answer.detail);
    return;
  }
  if (!uuid.empty() && std::none_of(answer.list.stations.begin(), answer.list.stations.end(),
                                    [&](const directory::Station& s) { return s.uuid == uuid; })) {
    // The directory forgot the id (a station entered again gets a new one): its name may still
    // lead to it.
    log::write(kDesktopLog, "the directory no longer knows line ", line.row,
               "'s id: asking by its name");
    askByName(line);
    return;
  }
  const std::optional<directory::Station> station =
      movedTo(answer, uuid, line.name.toStdString(), line.address.toStdString());
  if (!station) {
    log::write(kDesktopLog, "the directory has no other address for line ", line.row);
    return;
  }
  const MovedStation moved{line.row, line.name, line.address, QString::fromStdString(station->url)};
  const bool publicOnly = station->reach == net::Reach::PublicOnly;
  checks_.start([post = post_, this, moved, publicOnly, plays = plays_] {
    log::nameThisThread("rl-mend");
    const bool ok = plays(moved.newAddress.toStdString(), publicOnly);
    post->post([this, moved, ok] { checked(moved, ok); });
  });
}

void StationMender::checked(const MovedStation& moved, bool plays) {
  if (!plays) {
    log::write(kDesktopLog, "the directory's new address for line ", moved.row,
               " does not play either: ", moved.newAddress.toStdString());
    return;
  }
  offers_.removeIf([&](const MovedStation& o) { return o.row == moved.row; });
  offers_.push_back(moved);
  emit offersChanged();
  emit offered(moved);
}

std::optional<MovedStation> StationMender::offer(int row) const {
  for (const MovedStation& o : offers_)
    if (o.row == row) return o;
  return std::nullopt;
}

void StationMender::withdraw(int row) {
  if (offers_.removeIf([&](const MovedStation& o) { return o.row == row; }) > 0)
    emit offersChanged();
}

}  // namespace radiolist
