// The symbols of an ELF joined to the map of the same link.
#pragma once

#include "support/ref.hpp"

namespace tarnwick {

// join_symbols(rows, section_names, allocated, inputs, Symbol) -> [Symbol, ...]. `rows`: (name,
// start, size, section index, binding) of the ELF's symbols by start, as elf_symbols gives them;
// `section_names`: the ELF's section names by index; `allocated`: the names of its allocated
// sections (others' symbols are left out); `inputs`: section name -> the map's input sections
// of that output section as (start, end, name, section, object_file, archive), by start. Each
// symbol gets the object file and archive of the input section that holds it; symbols at one
// start with one size name the same bytes (the first owns them, the others are its aliases);
// then, per input section, a symbol named after it for the bytes its symbols leave uncovered.
PyObject* join_symbols(PyObject* module, PyObject* args);

}  // namespace tarnwick

namespace tarnwick {

// input_spans(sections, split_origin) -> {section name: [(start, end, name, section, object_file,
// archive), ...]}: each output section's input sections that hold bytes (no fill), sorted, as
// join_symbols takes them; a later section of a name met before takes its place.
PyObject* input_spans(PyObject* module, PyObject* args);

}  // namespace tarnwick
