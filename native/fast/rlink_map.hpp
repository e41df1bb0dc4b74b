// Maps of Renesas' optimizing linker (rlink: CC-RH, CC-RX, CC-RL), read in native code.
#pragma once

#include "support/ref.hpp"

namespace tarnwick {

// read_rlink_map(data) -> (banner, options, sections, totals, parts) from an rlink map's UTF-8
// bytes: its first line; the options of its Options part ("-rom=.data=.data.R", ...); the Mapping
// List's sections (name, start, end, size, line); the Total Section Size's figures {"ROMDATA": bytes,
// ...} where the map has that part; the parts seen, in order ("Options", "Mapping List", ...).
// ValueError((reason, line)) for a section name the Mapping List gives no figures for.
PyObject* read_rlink_map(PyObject* module, PyObject* args);

}  // namespace tarnwick
