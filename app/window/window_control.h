#pragma once
// The window as the player core and the desktop side see it: what only it knows of its channel,
// its own handling of the clicks the core asks for, and its widget. Everything here belongs to
// the UI thread.

#include "app/core/player.h"

class TForm1;

namespace radiolist {

class WindowControl final : public PlayerWindow, public WindowShell {
 public:
  explicit WindowControl(TForm1& form);

  [[nodiscard]] ChannelView channelView() const override;
  void startOrStop() override;
  void start() override;
  void stop() override;
  void stepChannel(int step) override;
  [[nodiscard]] QList<ListedStation> stations() const override;
  // Both files gain the same lines or neither does: lists of unequal length are refused, and so
  // are list files the window could not read; a failed save puts back what was saved before it
  // and takes the rows back. Names have their hidden characters (text/hidden.h) replaced by '_',
  // addresses holding one are left out, and so are the stations past what a list file may hold
  // (kMaxListFileBytes), and those whose address the list holds already; names must be one line.
  void addStations(const QList<ListedStation>& stations,
                   std::function<void(const StationsAdded&)> done) override;
  void playAddress(const QString& address) override;
  // Refused (done gets why) while the address list may not be saved (listRefusal).
  [[nodiscard]] bool replaceAddress(int row, const QString& old, const QString& now,
                                    std::function<void(const Outcome&)> done) override;

  void show() override;
  void close() override;
  [[nodiscard]] QWidget* widget() const override;
  void showError(const QString& message) const override;
  [[nodiscard]] QIcon icon() const override;
  void acceptDrops(QObject* filter) override;
  void watchForMenu(QObject* filter) override;

 private:
  TForm1& form_;
};

}  // namespace radiolist
