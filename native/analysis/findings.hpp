// Findings from region usage: overflowing regions and regions above their budget threshold.
#pragma once

#include "support/ref.hpp"

namespace tarnwick::findings {

Ref overflow_issues(PyObject* region_usage) noexcept;
Ref budget_threshold_issues(PyObject* region_usage, PyObject* config) noexcept;

}  // namespace tarnwick::findings
