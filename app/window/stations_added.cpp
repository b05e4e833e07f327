// Stations added from outside the window (a drop, the bus, the command line): appended to both
// lists at once, both files saved off the UI thread by the window's ListSaver.

#include <span>
#include <string_view>
#include <unordered_set>

#include "app/window/globals.h"
#include "app/window/handlers/list_views.h"
#include "app/window/list_saver.h"
#include "app/window/window_control.h"
#include "app/window/unit1.h"
#include "app/window/vcl.h"
#include "channels/list_file.h"
#include "text/hidden.h"

namespace radiolist {

namespace {

QString listPath(const char* name) { return currentDir() + u'/' + QLatin1String(name); }

std::u16string_view utf16(const QString& text) {
  return {reinterpret_cast<const char16_t*>(text.utf16()), static_cast<std::size_t>(text.size())};
}

// Without the blanks QString::trimmed() takes off, as the addresses are compared.
std::u16string_view trimmed(std::u16string_view text) {
  const auto blank = [](char16_t c) { return QChar::isSpace(c); };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

// Removes the rows from `from` on, the appended ones.
void cutRows(TListBox* list, int from) {
  while (list->count() > from) deleteRow(list, list->count() - 1);
}

// The lines an addition appends to each list: the stations whose address the list does not hold
// yet, nor an earlier one of `stations`, as long as both files stay within what the window reads;
// what is left out is counted in `result`.
std::pair<ListLines, ListLines> linesToAdd(const QList<ListedStation>& stations,
                                           const ListLines& oldNames, const ListLines& oldAddresses,
                                           StationsAdded& result) {
  const CodePage& page = CodePage::system();
  std::size_t namesBytes = encodedListSize(oldNames, page);
  std::size_t addressesBytes = encodedListSize(oldAddresses, page);
  std::unordered_set<std::u16string_view> known;
  known.reserve(oldAddresses.size() + static_cast<std::size_t>(stations.size()));
  for (const std::u16string& address : oldAddresses) known.insert(trimmed(address));
  ListLines newNames, newAddresses;
  // Reserved, so that `known` may view the new addresses: they never move while it is used.
  newNames.reserve(static_cast<std::size_t>(stations.size()));
  newAddresses.reserve(static_cast<std::size_t>(stations.size()));
  bool full = false;
  for (const ListedStation& station : stations) {
    const QString trimmedAddress = station.address.trimmed();
    const std::u16string_view address = utf16(trimmedAddress);
    if (address.empty()) continue;
    if (text::hasHidden(address)) {
      ++result.notPlain;
      continue;
    }
    if (known.contains(address)) {
      ++result.known;
      continue;
    }
    std::u16string name = text::replaceHidden(utf16(station.name));
    std::u16string line(address);
    // Past the first that does not fit nothing is added: the list keeps the order it was given.
    const std::span<const std::u16string> nameLine(&name, 1), addressLine(&line, 1);
    const std::size_t nameBytes = encodedListSize(nameLine, page);
    const std::size_t addressBytes = encodedListSize(addressLine, page);
    if (full || namesBytes + nameBytes > kMaxListFileBytes ||
        addressesBytes + addressBytes > kMaxListFileBytes) {
      full = true;
      ++result.noRoom;
      continue;
    }
    namesBytes += nameBytes;
    addressesBytes += addressBytes;
    newNames.push_back(std::move(name));
    newAddresses.push_back(std::move(line));
    known.insert(newAddresses.back());
  }
  return {std::move(newNames), std::move(newAddresses)};
}

}  // namespace

QWidget* WindowControl::widget() const { return &form_; }

void WindowControl::showError(const QString& message) const { radiolist::showError(message); }

QList<ListedStation> WindowControl::stations() const {
  QList<ListedStation> out;
  const int rows = std::min(form_.ListBox1->count(), form_.ListBox2->count());
  out.reserve(rows);
  for (int row = 0; row < rows; ++row)
    out.push_back({rowText(form_.ListBox1, row), rowText(form_.ListBox2, row)});
  return out;
}

void WindowControl::addStations(const QList<ListedStation>& stations,
                                std::function<void(const StationsAdded&)> done) {
  TListBox* names = form_.ListBox1;
  TListBox* addresses = form_.ListBox2;
  const int before = names->count();
  const QString namesPath = listPath("Name.txt");
  const QString urlsPath = listPath("url.txt");
  for (const QString& path : {namesPath, urlsPath}) {
    if (std::optional<Outcome> refusal = listRefusal(path, true)) {
      done(StationsAdded::failed(std::move(*refusal)));
      return;
    }
  }
  if (addresses->count() != before) {
    // Appended after lists of unequal length, a name would pair with another's address.
    Outcome unpaired = Outcome::about(Outcome::Code::Unpaired);
    unpaired.count = before;
    unpaired.other = addresses->count();
    done(StationsAdded::failed(std::move(unpaired)));
    return;
  }

  StationsAdded result;
  auto [newNames, newAddresses] =
      linesToAdd(stations, names->rows().lines(), addresses->rows().lines(), result);
  const int added = static_cast<int>(newNames.size());
  if (added == 0) {
    done(result);
    return;
  }
  names->rows().append(std::move(newNames));
  addresses->rows().append(std::move(newAddresses));
  // As a click on a channel counts them: the add and delete buttons read these.
  UrlCount = addresses->count();
  NameCount = names->count();
  form_.publishNowPlaying();

  TForm1& form = form_;
  const auto rollback = [&form, before] {
    cutRows(form.ListBox1, before);
    cutRows(form.ListBox2, before);
    UrlCount = form.ListBox2->count();
    NameCount = form.ListBox1->count();
    form.publishNowPlaying();
  };
  const auto saved = [result, added, done = std::move(done)](const Outcome& outcome) mutable {
    result.added = outcome.done() ? added : 0;
    result.outcome = outcome;
    done(result);
  };
  ListSaver::current()->save(namesPath, names->rows().lines(), urlsPath, addresses->rows().lines(),
                             before, rollback, saved);
}

void WindowControl::acceptDrops(QObject* filter) {
  form_.setAcceptDrops(true);
  form_.installEventFilter(filter);
  for (TListBox* list : {form_.ListBox1, form_.ListBox2}) {
    list->setAcceptDrops(true);
    list->viewport()->setAcceptDrops(true);
    list->viewport()->installEventFilter(filter);
  }
}

// The designed window makes all its widgets at its creation and none later.
void WindowControl::watchForMenu(QObject* filter) {
  form_.installEventFilter(filter);
  for (QWidget* child : form_.findChildren<QWidget*>()) child->installEventFilter(filter);
}

}  // namespace radiolist
