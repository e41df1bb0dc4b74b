// The totals per origin folded into the groups a report shows: object files as a reader names
// them, archives, components, per section or per region. A large build has a hundred thousand
// origins; each pass over them in Python cost a tenth of a second or more.
#pragma once

#include "support/ref.hpp"

namespace tarnwick {

// origin_groups(totals, naming, absent, group_of, fallback, limit, counted) -> groups, or
// (groups, counts) when `counted`:
// - totals: rows ((object_file, archive), bytes, count, ((section, bytes), ...)) as
//   totals_by_origin(symbols, None) gives them;
// - naming: what an origin is named by: "contributor" (`libfoo.a(bar.o)`, the object, else the
//   archive), "archive" (the archive's file name) or "component" (the archive's file name
//   without ".a", else the object's folder, else the object); `absent` when it has none of them;
//   or a list of each row's name, as origin_names made them (a pass asking twice names once);
// - group_of: None to group by section, else a dict section -> group (`fallback` when it names
//   none);
// - groups: {group: [(name, bytes), ...]}, groups and names in the order first met; with
//   `limit` 0 or more only the `limit` largest names of each group, largest first, then by name;
// - counts: {name: symbols} of the names in groups (with a limit, only those shown).
// TypeError for rows of another shape.
PyObject* origin_groups(PyObject* module, PyObject* args);

// origin_names(totals, naming, absent) -> list: each row's origin named as origin_groups names it.
PyObject* origin_names(PyObject* module, PyObject* args);

}  // namespace tarnwick
