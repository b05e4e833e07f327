#include "app/desktop/outcome_text.h"

#include <QCoreApplication>

#include "app/desktop/companion.h"
#include "app/desktop/find_stations.h"
#include "app/desktop/station_intake.h"
#include "text/hidden.h"

namespace radiolist {

// The texts keep the contexts they were first translated in.
namespace {

QString systemText(int error) { return QString::fromLocal8Bit(files::systemText(error)); }

}  // namespace

QString shownText(const QString& item) {
  const std::u16string text = text::replaceHidden(std::u16string_view(
      reinterpret_cast<const char16_t*>(item.utf16()), static_cast<std::size_t>(item.size())));
  return QString::fromStdU16String(text);
}

QString reasonText(const Outcome& outcome) {
  using Code = Outcome::Code;
  if (outcome.code != Code::CannotOpen && outcome.code != Code::CannotCreate)
    return outcomeText(outcome);
  const files::Failure& failure = outcome.failure;
  if (failure.fault == files::Fault::NotRegular && !S_ISDIR(failure.type))
    return StationIntake::tr("It is not a regular file");
  return systemText(failure.asErrno());
}

QString outcomeText(const Outcome& outcome) {
  using Code = Outcome::Code;
  const QString path = shownText(QString::fromStdString(outcome.path));
  const QString detail = QString::fromStdString(outcome.detail);
  switch (outcome.code) {
    case Code::Done: return {};
    case Code::CannotOpen:
      return StationIntake::tr("Cannot open file \"%1\". %2").arg(path, reasonText(outcome));
    case Code::CannotCreate:
      return StationIntake::tr("Cannot create file \"%1\". %2").arg(path, reasonText(outcome));
    case Code::NoAudioYet: return Companion::tr("no audio yet");
    case Code::NothingSounds: return Companion::tr("nothing sounds");
    case Code::CodecNotSaved:
      return Companion::tr("the stream's %1 is not saved (MP3, AAC, Vorbis and Opus are)")
          .arg(detail);
    case Code::SongEnded: return Companion::tr("the song ended while its file was made");
    case Code::NoAudioOfSong: return Companion::tr("no audio of the song is kept");
    case Code::NoMuxer: return Companion::tr("no muxer for the file");
    case Code::NoAacHeaders: return Companion::tr("cannot read the stream's AAC headers");
    case Code::OutOfMemory: return Companion::tr("out of memory");
    case Code::MuxerFailed:
      return detail.isEmpty() ? Companion::tr("the file could not be written") : detail;
    case Code::NamesUsedUp: return Companion::tr("every name for this song is taken");
    case Code::ListUnread:
      return QCoreApplication::translate(
                 "radiolist",
                 "Cannot create file \"%1\". \"%2\" could not be read (%3), so the list is kept as "
                 "it is")
          .arg(path, shownText(detail), systemText(outcome.failure.error));
    case Code::ListNotLoaded:
      return QCoreApplication::translate(
                 "radiolist",
                 "Cannot create file \"%1\". The window has not read it, so it is kept as it is")
          .arg(path);
    case Code::Unpaired:
      return QCoreApplication::translate(
                 "radiolist",
                 "The list has %1 names and %2 addresses: stations are added only to a list whose "
                 "names and addresses pair up")
          .arg(outcome.count)
          .arg(outcome.other);
    case Code::NotAFile: return StationIntake::tr("\"%1\" is not a file").arg(path);
    case Code::NotAnAddress:
      return StationIntake::tr("\"%1\" is not an address that can be played").arg(path);
    case Code::AddressNotPlain:
      return StationIntake::tr(
                 "\"%1\" is not an address that can be added: it holds a line break, a control "
                 "character or one that shows nothing")
          .arg(path);
    case Code::AddressTooLong:
      return StationIntake::tr("\"%1\" is not an address that can be added: it is longer than %2")
          .arg(path.left(64) + u'\u2026', QStringLiteral("16 KiB"));
    case Code::HlsPlaylist:
      return StationIntake::tr("\"%1\" is an HLS playlist: add its address instead").arg(path);
    case Code::NoStations: return StationIntake::tr("\"%1\" holds no station addresses").arg(path);
    case Code::NothingAdded: return detail;
    // The list files' own words, as the window's box has them.
    case Code::ListWriteFailed: return QStringLiteral("Stream write error");
  }
  return {};
}

QString songSaveText(const SongSave& save) {
  const QString path = QString::fromStdString(save.path);
  switch (save.status) {
    case SongSave::Status::Saving: return path;
    case SongSave::Status::NothingToSave:
      return save.why.done()
                 ? Companion::tr("no song on air to save")
                 : Companion::tr("no song on air to save: %1").arg(reasonText(save.why));
    case SongSave::Status::CannotWrite:
    case SongSave::Status::NamesUsedUp: return path + QStringLiteral(": ") + reasonText(save.why);
  }
  return {};
}

QString additionError(const StationsAdded& added) {
  return added.outcome.code == Outcome::Code::NothingAdded ? added.leftOut
                                                           : outcomeText(added.outcome);
}

QString directoryText(const directory::Outcome& outcome) {
  using directory::Failure;
  const QString mirror = shownText(QString::fromStdString(outcome.mirror));
  switch (outcome.failure) {
    case Failure::None: return {};
    case Failure::NoMirror: return StationFinder::tr("no directory server was found");
    case Failure::Unreachable:
      return StationFinder::tr("the directory server %1 cannot be reached").arg(mirror);
    case Failure::TimedOut: return StationFinder::tr("the directory did not answer in time");
    case Failure::Status:
      return StationFinder::tr("the directory server %1 answered with error %2")
          .arg(mirror)
          .arg(outcome.httpStatus);
    case Failure::BadAnswer:
      return StationFinder::tr("the directory server %1 gave an answer that cannot be read")
          .arg(mirror);
    case Failure::TooLarge:
      return StationFinder::tr("the directory server %1 gave an answer too large").arg(mirror);
    case Failure::TooDeep:
      return StationFinder::tr("the directory server %1 gave an answer nested too deep")
          .arg(mirror);
    case Failure::Refused:
      return StationFinder::tr("the directory server %1 is on this computer's own network")
          .arg(mirror);
    case Failure::BadRequest: return StationFinder::tr("the station has no directory id");
    case Failure::Busy: return StationFinder::tr("too many directory requests at once");
    case Failure::Cancelled: return StationFinder::tr("the search was cancelled");
  }
  return {};
}

}  // namespace radiolist
