// Echo of the budgets and policies a report was built with.
#pragma once

#include "support/ref.hpp"

namespace tarnwick::config_summary {

Ref build(PyObject* config) noexcept;

}  // namespace tarnwick::config_summary
