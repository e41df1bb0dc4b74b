// Keil C51 BL51 and LX51 listings (.m51, .map), read in native code.
#pragma once

#include "support/ref.hpp"

namespace tarnwick {

// read_c51_map(data, offsets) -> (linker, command, modules, classes, segments, segment_count,
// bit_segments, symbols, sizes, complete) from a BL51 or LX51 listing's UTF-8 bytes: "BL51" or
// "LX51"; the command line it was invoked with; the input modules (file, module); LX51's active
// memory classes (class, space, start, end past the last byte, bytes used, bits used); the memory
// map's segments, gaps left out, in a capsule for c51_sections, and how many there are; the rows
// (space "C", "D" or "X", type or class, start, bytes, bits, name, line) of those of them with
// bits; the symbol table's symbols as columns ([name],
// [address], [space], [module], how many are named _ICE_DUMMY_), each address its space's
// offset (`offsets`: {space: offset}) plus the listed one; the "Program Size:" figures {name: (bytes, bits)};
// whether the run's closing line ("... RUN COMPLETE.") was read. The spaces: C code, D the
// internal RAM (data, idata, bits, register banks), X external RAM.
PyObject* read_c51_map(PyObject* module, PyObject* args);

// c51_sections(segments, owners, offsets, regions, section_of, Section, InputSection) -> [Section]:
// the model's section of each segment of read_c51_map's capsule that holds bytes. A segment named
// "?...?MODULE" of a module `owners` names is made here (at its space's offset, in its region,
// one input section of the module's origin); any other is `section_of(row)`'s, its row as
// read_c51_map gives those with bits.
PyObject* c51_sections(PyObject* module, PyObject* args);

}  // namespace tarnwick
