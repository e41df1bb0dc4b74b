// Comparison of the report's summary figures with a stored baseline report.
#pragma once

#include "support/ref.hpp"

namespace tarnwick::baseline {

Ref regressions(PyObject* summary, PyObject* baseline_json_path) noexcept;

}  // namespace tarnwick::baseline
