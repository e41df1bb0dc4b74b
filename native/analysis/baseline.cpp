#include "analysis/baseline.hpp"
#include "support/compat.hpp"

#include "analysis/mappings.hpp"
#include "analysis/namespace.hpp"
#include "contracts/names.hpp"
#include "support/call.hpp"
#include "support/text.hpp"

#include <sys/stat.h>

namespace tarnwick::baseline {

namespace {

Ref status_only(PyObject* status, PyObject* path) noexcept {
    Ref path_text = text::str_form(path);
    if (!path_text) return Ref();
    Ref result = Ref::steal(PyDict_New());
    if (!result || !set_item(result.get(), names::status, status) ||
        !set_item(result.get(), names::path, path_text.get())) {
        return Ref();
    }
    return result;
}

Ref unreadable(PyObject* path, PyObject* error_text) noexcept {
    Ref result = status_only(names::status_unreadable, path);
    if (!result || !set_item(result.get(), names::error, error_text)) return Ref();
    return result;
}

// The caught exception becomes the "baseline_unreadable" answer. Should building the answer
// fail, the caught exception is kept as the new one's context.
Ref unreadable_from_pending(PyObject* path) noexcept {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref error_text = text::str_form(value != nullptr ? value : Py_None);
    Ref result = error_text ? unreadable(path, error_text.get()) : Ref();
    if (!result) {
        compat::chain_exceptions(type, value, traceback);
        return Ref();
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return result;
}

bool read_failure_is_caught() noexcept {
    return PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_OSError);
}

const char* special_file_kind(mode_t mode) noexcept {
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

// A FIFO, a device or a socket would block the read or never end it. For a file-system path
// (an os.PathLike object) that names one, returns the error text to answer with; otherwise
// an empty Ref with no exception set, and the documented read protocol goes ahead.
Ref refuse_special_file(PyObject* path) noexcept {
    if (PyUnicode_Check(path) || PyBytes_Check(path)) return Ref();
    Ref fspath_method = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(path)),
                                                          "__fspath__"));
    if (!fspath_method) {
        PyErr_Clear();
        return Ref();
    }
    PyObject* encoded = nullptr;
    Ref fs_path = Ref::steal(PyOS_FSPath(path));
    if (!fs_path || PyUnicode_FSConverter(fs_path.get(), &encoded) == 0) {
        PyErr_Clear();  // not ours to report: the read below says what is wrong
        return Ref();
    }
    Ref encoded_owner = Ref::steal(encoded);
    struct stat info {};
    int status;
    Py_BEGIN_ALLOW_THREADS
    status = stat(PyBytes_AS_STRING(encoded), &info);
    Py_END_ALLOW_THREADS
    if (status != 0 || S_ISREG(info.st_mode) || S_ISDIR(info.st_mode)) return Ref();
    return Ref::steal(PyUnicode_FromFormat("Not a regular file (%s): %R",
                                           special_file_kind(info.st_mode), fs_path.get()));
}

// json.loads(path.read_text(encoding="utf-8")); empty with the exception pending on failure.
Ref read_document(PyObject* path) noexcept {
    Ref loads = ns::lookup_attr(names::json, names::loads);
    if (!loads) return Ref();
    PyObject* stack[] = {path, names::utf8};
    Ref text_value = Ref::steal(PyObject_VectorcallMethod(
        names::read_text, stack, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, names::kw_encoding));
    if (!text_value) return Ref();
    return call(loads.get(), {text_value.get()});
}

Ref coerce(PyObject* coercer_name, PyObject* value, PyObject* fallback) noexcept {
    Ref coercer = ns::lookup(coercer_name);
    if (!coercer) return Ref();
    return call(coercer.get(), {value}, names::kw_default_only, {fallback});
}

Ref baseline_figure(PyObject* coercer_name, PyObject* mapping, PyObject* key,
                    PyObject* fallback) noexcept {
    Ref raw = mappings::get(mapping, key);
    return raw ? coerce(coercer_name, raw.get(), fallback) : Ref();
}

Ref region_comparison(PyObject* current_ratios, PyObject* baseline_ratios) noexcept {
    const Py_ssize_t expected = PyDict_Check(current_ratios) ? PyDict_Size(current_ratios) : 0;
    Ref regions = Ref::steal(compat::presized_dict(expected));
    if (!regions) return Ref();
    Ref items = call_method(current_ratios, names::items);
    if (!items) return Ref();
    Ref iterator = Ref::steal(PyObject_GetIter(items.get()));
    if (!iterator) return Ref();
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref region, current;
        if (mappings::unpack(item.get(), region, current) < 0) return Ref();
        Ref base = baseline_figure(names::_as_float, baseline_ratios, region.get(), names::float_zero);
        if (!base) return Ref();
        Ref delta = Ref::steal(PyNumber_Subtract(current.get(), base.get()));
        if (!delta) return Ref();
        Ref entry = Ref::steal(PyDict_New());
        if (!entry || !set_item(entry.get(), names::current, current.get()) ||
            !set_item(entry.get(), names::baseline, base.get()) ||
            !set_item(entry.get(), names::delta, delta.get()) ||
            !set_item(regions.get(), region.get(), entry.get())) {
            return Ref();
        }
    }
    if (PyErr_Occurred()) return Ref();
    return regions;
}

Ref total_delta(PyObject* summary, PyObject* total_name, PyObject* baseline_total) noexcept {
    Ref current = getattr(summary, total_name);
    return current ? Ref::steal(PyNumber_Subtract(current.get(), baseline_total)) : Ref();
}

// Takes a new empty dict where `value` is not a dict.
Ref dict_or_empty(Ref value) noexcept {
    if (PyDict_Check(value.get())) return value;
    return Ref::steal(PyDict_New());
}

Ref compare(PyObject* summary, PyObject* path, PyObject* document) noexcept {
    Ref baseline_summary;
    if (PyDict_Check(document)) {
        Ref fallback = Ref::steal(PyDict_New());
        if (!fallback) return Ref();
        baseline_summary = mappings::get(document, names::summary, fallback.get());
    } else {
        baseline_summary = Ref::steal(PyDict_New());
    }
    if (!baseline_summary) return Ref();
    if (!PyDict_Check(baseline_summary.get())) return status_only(names::status_invalid, path);

    Ref flash_base = baseline_figure(names::_as_int, baseline_summary.get(), names::total_flash,
                                     names::int_zero);
    if (!flash_base) return Ref();
    Ref ram_base = baseline_figure(names::_as_int, baseline_summary.get(), names::total_ram,
                                   names::int_zero);
    if (!ram_base) return Ref();

    Ref fallback = Ref::steal(PyDict_New());
    if (!fallback) return Ref();
    Ref ratios = mappings::get(baseline_summary.get(), names::utilization_by_region, fallback.get());
    if (!ratios) return Ref();
    ratios = dict_or_empty(std::move(ratios));
    if (!ratios) return Ref();

    Ref current_ratios = getattr(summary, names::utilization_by_region);
    if (!current_ratios) return Ref();
    Ref regions = region_comparison(current_ratios.get(), ratios.get());
    if (!regions) return Ref();

    Ref path_text = text::str_form(path);
    if (!path_text) return Ref();
    Ref flash_delta = total_delta(summary, names::total_flash, flash_base.get());
    if (!flash_delta) return Ref();
    Ref ram_delta = total_delta(summary, names::total_ram, ram_base.get());
    if (!ram_delta) return Ref();

    Ref result = Ref::steal(PyDict_New());
    if (!result || !set_item(result.get(), names::status, names::status_ok) ||
        !set_item(result.get(), names::baseline_path, path_text.get()) ||
        !set_item(result.get(), names::flash_delta_bytes, flash_delta.get()) ||
        !set_item(result.get(), names::ram_delta_bytes, ram_delta.get()) ||
        !set_item(result.get(), names::regions, regions.get())) {
        return Ref();
    }
    return result;
}

}  // namespace

Ref regressions(PyObject* summary, PyObject* path) noexcept {
    if (path == Py_None) return Ref::steal(PyDict_New());

    Ref exists = call_method(path, names::exists);
    if (!exists) return Ref();
    const int present = PyObject_IsTrue(exists.get());
    if (present < 0) return Ref();
    if (present == 0) return status_only(names::status_missing, path);

    if (Ref refusal = refuse_special_file(path)) return unreadable(path, refusal.get());
    if (PyErr_Occurred()) return Ref();

    Ref document = read_document(path);
    if (!document) {
        return read_failure_is_caught() ? unreadable_from_pending(path) : Ref();
    }
    return compare(summary, path, document.get());
}

}  // namespace tarnwick::baseline
