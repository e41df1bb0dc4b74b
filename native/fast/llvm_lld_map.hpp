// LLVM lld map files (`-Wl,-Map=FILE` with `-fuse-ld=lld`): one table of VMA, LMA, Size and
// Align in hex, then Out, In and Symbol columns told apart by indentation. mold writes the same
// table without the LMA column, with "0x" before the address and the size in decimal, and no
// symbol sizes.
#pragma once

#include "fast/link_map.hpp"

#include <string_view>

namespace tarnwick::llvm_lld {

// Reads a whole map held in memory as UTF-8 bytes. Throws link_map::MapError for a map that
// is not complete (the reason, the line, and the row that could not be read).
link_map::Map read(std::string_view text);

}  // namespace tarnwick::llvm_lld
