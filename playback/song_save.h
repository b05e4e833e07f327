#pragma once
// What asking to save the song on air came to, or why a save in progress ended early.

#include <string>

#include "files/outcome.h"

namespace radiolist {

struct SongSave {
  enum class Status {
    Saving,         // `path` is being written (perhaps by an earlier request for the same song)
    NothingToSave,  // nothing sounds, no audio is kept yet, or the codec is not one we save
    CannotWrite,    // the folder or the file could not be made or written; `why` says why
    NamesUsedUp,    // every name the song may take in the folder exists already
  };
  Status status = Status::NothingToSave;
  std::string path;  // the file (Saving, CannotWrite of a file under way, NamesUsedUp: the folder)
  Outcome why;       // Done while Saving, else the reason, as a code
};

}  // namespace radiolist
