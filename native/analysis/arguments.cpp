#include "analysis/arguments.hpp"

namespace tarnwick::args {

namespace {

Py_ssize_t positional_count(const Signature& sig) noexcept {
    Py_ssize_t n = 0;
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        if (!sig.params[i].keyword_only) ++n;
    }
    return n;
}

int count_error(const Signature& sig, Py_ssize_t expected, Py_ssize_t given) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.function, "exactly", expected, expected == 1 ? "" : "s", given);
    return -1;
}

int keyword_only_error(const Signature& sig, Py_ssize_t index) noexcept {
    PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %U", sig.function,
                 *sig.params[index].name);
    return -1;
}

// Index of the parameter in [from, to) named `key`: identity first, then string equality.
Py_ssize_t find(const Signature& sig, PyObject* key, Py_ssize_t from, Py_ssize_t to) noexcept {
    for (Py_ssize_t i = from; i < to; ++i) {
        if (*sig.params[i].name == key) return i;
    }
    for (Py_ssize_t i = from; i < to; ++i) {
        if (PyUnicode_Compare(*sig.params[i].name, key) == 0) return i;
    }
    return -1;
}

Py_ssize_t first_missing_keyword_only(const Signature& sig, PyObject* const* out) noexcept {
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        if (sig.params[i].keyword_only && sig.params[i].required && out[i] == nullptr) return i;
    }
    return -1;
}

}  // namespace

int match(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
          PyObject** out) noexcept {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t positional = positional_count(sig);
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = nullptr;

    if (nargs > positional || (nkw == 0 && nargs != positional)) {
        return count_error(sig, positional, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.function);
            return -1;
        }
        const Py_ssize_t slot = find(sig, key, nargs, sig.count);
        if (slot >= 0 && out[slot] == nullptr) {
            out[slot] = args[nargs + k];
            continue;
        }
        if (slot >= 0 || find(sig, key, 0, nargs) >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         sig.function, key);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         sig.function, key);
        }
        return -1;
    }

    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        if (!sig.params[i].keyword_only && sig.params[i].required && out[i] == nullptr) {
            return count_error(sig, positional, i);
        }
    }
    const Py_ssize_t missing = first_missing_keyword_only(sig, out);
    if (missing >= 0) {
        return keyword_only_error(sig, missing);
    }
    return 0;
}

}  // namespace tarnwick::args
