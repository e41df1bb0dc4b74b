#include "contracts/domain.hpp"

#include "analysis/namespace.hpp"
#include "contracts/names.hpp"
#include "support/call.hpp"

namespace tarnwick::domain {

Ref severity(PyObject* member) noexcept { return ns::lookup_attr(names::IssueSeverity, member); }

Ref category(PyObject* member) noexcept { return ns::lookup_attr(names::IssueCategory, member); }

Ref construct(PyObject* record_class, PyObject* kwnames,
              std::initializer_list<PyObject*> values) noexcept {
    if (static_cast<Py_ssize_t>(values.size()) != PyTuple_GET_SIZE(kwnames)) {
        PyErr_SetString(PyExc_SystemError, "record built with a wrong keyword count");
        return Ref();
    }
    return call(record_class, {}, kwnames, values);
}

}  // namespace tarnwick::domain
