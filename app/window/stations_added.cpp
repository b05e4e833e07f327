// Stations added from outside the window (a drop, the bus, the command line): appended to both
// lists and both files as the window's own edits append and save them.

#include <QCoreApplication>
#include <QSet>
#include <exception>

#include "app/window/globals.h"
#include "app/window/handlers/list_views.h"
#include "app/window/now_playing.h"
#include "app/window/unit1.h"
#include "app/window/vcl.h"

namespace radiolist {

namespace {

QString listPath(const char* name) { return currentDir() + u'/' + QLatin1String(name); }

// Removes the rows from `from` on, the appended ones.
void cutRows(TListBox* list, int from) {
  while (list->count() > from) deleteRow(list, list->count() - 1);
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

StationsAdded WindowControl::addStations(const QList<ListedStation>& stations) {
  TListBox* names = form_.ListBox1;
  TListBox* addresses = form_.ListBox2;
  const int before = names->count();
  if (addresses->count() != before) {
    // Appended after lists of unequal length, a name would pair with another's address.
    return {0, QCoreApplication::translate("radiolist",
                                           "The list has %1 names and %2 addresses: stations "
                                           "are added only to a list whose names and addresses "
                                           "pair up")
                   .arg(before)
                   .arg(addresses->count())};
  }
  QSet<QString> known;
  for (int row = 0; row < before; ++row) known.insert(rowText(addresses, row).trimmed());
  for (const ListedStation& station : stations) {
    const QString address = station.address.trimmed();
    if (address.isEmpty() || known.contains(address)) continue;
    known.insert(address);
    appendRow(names, station.name);
    appendRow(addresses, address);
  }
  const int added = names->count() - before;
  if (added == 0) return {};
  // The addresses first: should the names fail, the addresses are saved again without the new
  // lines, so both files keep pairing.
  try {
    saveListView(addresses, listPath("url.txt"));
    try {
      saveListView(names, listPath("Name.txt"));
    } catch (...) {
      cutRows(addresses, before);
      try {
        saveListView(addresses, listPath("url.txt"));
      } catch (const std::exception&) {
        // Told below with the first failure; the address file keeps the new lines.
      }
      throw;
    }
  } catch (const std::exception& error) {
    cutRows(names, before);
    cutRows(addresses, before);
    return {0, QString::fromUtf8(error.what())};
  }
  // As a click on a channel counts them: the add and delete buttons read these.
  UrlCount = addresses->count();
  NameCount = names->count();
  form_.publishNowPlaying();
  return {added, {}};
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

}  // namespace radiolist
