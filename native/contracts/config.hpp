// Our view of the configuration object: attribute paths only, the intermediate object fetched
// afresh for every value.
#pragma once

#include "contracts/names.hpp"
#include "support/call.hpp"

namespace tarnwick::config {

inline Ref budgets(PyObject* config, PyObject* which) noexcept {
    return getattr2(config, names::budgets, which);
}
inline Ref policy(PyObject* config, PyObject* setting) noexcept {
    return getattr2(config, names::policies, setting);
}
inline Ref report_switch(PyObject* config, PyObject* setting) noexcept {
    return getattr2(config, names::reports, setting);
}
inline Ref project_name(PyObject* config) noexcept {
    return getattr2(config, names::project, names::name);
}

}  // namespace tarnwick::config
