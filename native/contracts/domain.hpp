// Our view of the domain layer: records are built by keyword only, in the keyword order the
// report depends on, and enumeration members are read from the class bound in the namespace.
#pragma once

#include "support/ref.hpp"

#include <initializer_list>

namespace tarnwick::domain {

// `IssueSeverity.<member>` / `IssueCategory.<member>`, the class looked up now.
Ref severity(PyObject* member) noexcept;
Ref category(PyObject* member) noexcept;

// record_class(**dict(zip(kwnames, values))); the value count must match the tuple.
Ref construct(PyObject* record_class, PyObject* kwnames,
              std::initializer_list<PyObject*> values) noexcept;

}  // namespace tarnwick::domain
