#include "playback/engine/family.h"

namespace radiolist::audio {

namespace {

// FFmpeg names a demuxer that serves several extensions by a comma-separated list.
bool listContains(std::string_view list, std::string_view name) {
  while (!list.empty()) {
    const auto comma = list.find(',');
    if (list.substr(0, comma) == name) return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

}  // namespace

Family classifyFamily(std::string_view container, std::string_view codec) {
  if (codec.empty() || codec == "none") return Family::Unplayable;
  // The MP4 family belongs to the AAC call whatever it carries.
  if (listContains(container, "mp4") || listContains(container, "m4a")) return Family::Aac;
  if (codec == "aac" || codec == "aac_latm") return Family::Aac;
  return Family::General;
}

const char* familyName(Family family) {
  switch (family) {
    case Family::Undecided: return "undecided";
    case Family::General: return "general";
    case Family::Aac: return "aac";
    case Family::Unplayable: return "unplayable";
  }
  return "?";
}

}  // namespace radiolist::audio
