// The source view's walks over every debug entity and every symbol (analysis/sources.py keeps
// the few groups they give).
#pragma once

#include "support/ref.hpp"

namespace tarnwick {

// attribute_sources(entities, units, unit_sources, unit_files, symbols, shown) -> (groups, inlined).
// `entities`: the DebugEntities read_dwarf gave (walked natively, the units' ranges its own: `units`
// must be as many), or any sequence of (kind, name, linkage, unit, path or -1, line, address,
// size); `units`: read_dwarf's (name, folder, ((low, high), ...)); `unit_sources`, `unit_files`: each unit's
// source and file (or None); `shown(path, unit)`: the text a path of a unit is shown as, asked
// once per pair. Every symbol gets its `source`: the entity at its address (or at it without
// the Thumb bit) that names it, else the unit whose ranges hold it. `groups`: [(unnamed, file,
// archive, section, bytes), ...] the bytes of the symbols that hold their own (size above 0, no
// alias) added up per file (None for unnamed symbols and those of no source), archive and
// section, in the order first met; `inlined`: [(name, source, bytes, sites), ...] the inlined
// calls added up per function and source, in the order first met. TypeError or ValueError for
// records of another shape.
PyObject* attribute_sources(PyObject* module, PyObject* args);

}  // namespace tarnwick
