// GNU ld (and ld.gold) map files, read line by line: the memory table, the output sections
// with their input sections, the symbols the map names, and the script's assignments. The
// parts of the map are told apart by the shape of their rows, never by their words (ld
// translates its headings). The map gives addresses only, no symbol sizes.
#pragma once

#include "fast/link_map.hpp"

#include <string_view>

namespace tarnwick::gnu_ld {

// Reads a whole map held in memory as UTF-8 bytes. Throws link_map::MapError for a map that is
// not complete (the reason and the line); the views in the result point into `text` and into
// the result's own `owned` strings.
link_map::Map read(std::string_view text);

}  // namespace tarnwick::gnu_ld
