// What the interpreter loads: the module definition, its create and exec steps, the import
// table and the seven functions with their argument rules.
#include "analysis/arguments.hpp"
#include "support/compat.hpp"
#include "analysis/baseline.hpp"
#include "analysis/coercion.hpp"
#include "analysis/config_summary.hpp"
#include "analysis/findings.hpp"
#include "analysis/namespace.hpp"
#include "analysis/report.hpp"
#include "contracts/names.hpp"
#include "support/call.hpp"

#include <cstdint>

namespace tarnwick {

namespace {

constexpr const char* module_full_name = "tarnwick.analysis.summary";
constexpr const char* traceback_file = "analysis/summary";
constexpr const char* traceback_function = "init tarnwick.analysis.summary";

// ---------------------------------------------------------------------------------------------
// The functions. Each matches its arguments, then hands borrowed pointers to its logic unit.

using args::Parameter;
using args::Signature;

constexpr Parameter p_required(PyObject** name) { return {name, false, true}; }
constexpr Parameter p_keyword_optional(PyObject** name) { return {name, true, false}; }
constexpr Parameter p_keyword_required(PyObject** name) { return {name, true, true}; }

const Parameter build_params[] = {p_required(&names::model), p_required(&names::config),
                                  p_keyword_optional(&names::target_name),
                                  p_keyword_optional(&names::baseline_json_path)};
const Parameter region_usage_params[] = {p_required(&names::region_usage)};
const Parameter config_params[] = {p_required(&names::config)};
const Parameter budget_params[] = {p_required(&names::region_usage), p_required(&names::config)};
const Parameter baseline_params[] = {p_required(&names::summary),
                                     p_required(&names::baseline_json_path)};
const Parameter coercion_params[] = {p_required(&names::value),
                                     p_keyword_required(&names::kw_default)};

template <std::size_t N>
constexpr Signature signature(const char* function, const Parameter (&params)[N]) {
    return {function, params, static_cast<Py_ssize_t>(N)};
}

const Signature build_sig = signature("build_analysis_report", build_params);
const Signature overflow_sig = signature("_overflow_issues", region_usage_params);
const Signature config_sig = signature("_build_config_summary", config_params);
const Signature budget_sig = signature("_budget_threshold_issues", budget_params);
const Signature baseline_sig = signature("_baseline_regressions", baseline_params);
const Signature as_int_sig = signature("_as_int", coercion_params);
const Signature as_float_sig = signature("_as_float", coercion_params);

PyObject* or_none(PyObject* argument) noexcept { return argument != nullptr ? argument : Py_None; }

PyObject* build_analysis_report(PyObject*, PyObject* const* argv, Py_ssize_t nargsf,
                                PyObject* kwnames) noexcept {
    PyObject* a[args::max_parameters];
    if (args::match(build_sig, argv, nargsf, kwnames, a) < 0) return nullptr;
    return report::build({a[0], a[1], or_none(a[2]), or_none(a[3])}).release();
}

PyObject* overflow_issues(PyObject*, PyObject* const* argv, Py_ssize_t nargsf,
                          PyObject* kwnames) noexcept {
    PyObject* a[args::max_parameters];
    if (args::match(overflow_sig, argv, nargsf, kwnames, a) < 0) return nullptr;
    return findings::overflow_issues(a[0]).release();
}

PyObject* build_config_summary(PyObject*, PyObject* const* argv, Py_ssize_t nargsf,
                               PyObject* kwnames) noexcept {
    PyObject* a[args::max_parameters];
    if (args::match(config_sig, argv, nargsf, kwnames, a) < 0) return nullptr;
    return config_summary::build(a[0]).release();
}

PyObject* budget_threshold_issues(PyObject*, PyObject* const* argv, Py_ssize_t nargsf,
                                  PyObject* kwnames) noexcept {
    PyObject* a[args::max_parameters];
    if (args::match(budget_sig, argv, nargsf, kwnames, a) < 0) return nullptr;
    return findings::budget_threshold_issues(a[0], a[1]).release();
}

PyObject* baseline_regressions(PyObject*, PyObject* const* argv, Py_ssize_t nargsf,
                               PyObject* kwnames) noexcept {
    PyObject* a[args::max_parameters];
    if (args::match(baseline_sig, argv, nargsf, kwnames, a) < 0) return nullptr;
    return baseline::regressions(a[0], a[1]).release();
}

PyObject* as_int(PyObject*, PyObject* const* argv, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    PyObject* a[args::max_parameters];
    if (args::match(as_int_sig, argv, nargsf, kwnames, a) < 0) return nullptr;
    return coercion::as_int(a[0], a[1]).release();
}

PyObject* as_float(PyObject*, PyObject* const* argv, Py_ssize_t nargsf,
                   PyObject* kwnames) noexcept {
    PyObject* a[args::max_parameters];
    if (args::match(as_float_sig, argv, nargsf, kwnames, a) < 0) return nullptr;
    return coercion::as_float(a[0], a[1]).release();
}

struct FunctionEntry {
    int line;
    PyMethodDef def;
};

#define TARNWICK_FUNCTION(line, name, impl) \
    FunctionEntry { line, { name, TARNWICK_CFUNCTION(impl), METH_FASTCALL | METH_KEYWORDS, nullptr } }

FunctionEntry functions[] = {
    TARNWICK_FUNCTION(39, "build_analysis_report", build_analysis_report),
    TARNWICK_FUNCTION(171, "_overflow_issues", overflow_issues),
    TARNWICK_FUNCTION(190, "_build_config_summary", build_config_summary),
    TARNWICK_FUNCTION(212, "_budget_threshold_issues", budget_threshold_issues),
    TARNWICK_FUNCTION(238, "_baseline_regressions", baseline_regressions),
    TARNWICK_FUNCTION(277, "_as_int", as_int),
    TARNWICK_FUNCTION(287, "_as_float", as_float),
};
#undef TARNWICK_FUNCTION

// ---------------------------------------------------------------------------------------------
// The import table.

struct ImportEntry {
    int line;
    const char* module;
    const char* const* names;  // null-terminated; null itself for a plain `import`
};

const char* const datetime_names[] = {"UTC", "datetime", nullptr};
const char* const pathlib_names[] = {"Path", nullptr};
const char* const package_names[] = {"__version__", nullptr};
const char* const component_names[] = {"group_symbols_by_component", nullptr};
const char* const multicore_names[] = {"build_multicore_summary", nullptr};
const char* const padding_names[] = {"compute_padding_waste", nullptr};
const char* const region_names[] = {"RegionUsageResult", "compute_region_usage", nullptr};
const char* const reserved_names[] = {"detect_reserved_region_violations",
                                      "detect_suspicious_section_placement", nullptr};
const char* const section_names[] = {"compute_section_usage", nullptr};
const char* const symbol_names[] = {"compute_flash_ram_attribution", "compute_initialized_ram_cost",
                                    "top_object_archive_contributors", "top_symbols_by_size",
                                    nullptr};
const char* const visualization_names[] = {"build_visualization_contract", nullptr};
const char* const config_names[] = {"TarnwickConfig", nullptr};
const char* const domain_names[] = {"AnalysisReport", "Issue", "IssueCategory", "IssueSeverity",
                                    "ReportMetadata", "ReportSummary", nullptr};
const char* const schema_names[] = {"SCHEMA_VERSION", nullptr};
const char* const toolchain_names[] = {"NormalizedBuildModel", nullptr};

const ImportEntry imports[] = {
    {5, "json", nullptr},
    {6, "datetime", datetime_names},
    {7, "pathlib", pathlib_names},
    {9, "tarnwick", package_names},
    {10, "tarnwick.analysis.component_grouping", component_names},
    {11, "tarnwick.analysis.multicore", multicore_names},
    {12, "tarnwick.analysis.padding_waste", padding_names},
    {13, "tarnwick.analysis.region_usage", region_names},
    {14, "tarnwick.analysis.reserved_region_checks", reserved_names},
    {18, "tarnwick.analysis.section_usage", section_names},
    {19, "tarnwick.analysis.symbol_breakdown", symbol_names},
    {25, "tarnwick.analysis.visualization_contracts", visualization_names},
    {26, "tarnwick.config", config_names},
    {27, "tarnwick.domain", domain_names},
    {35, "tarnwick.domain.schema", schema_names},
    {36, "tarnwick.toolchains.base", toolchain_names},
};

// `from <module> import <name>`: the attribute, else the submodule registered under
// "<module name>.<name>", else ImportError.
Ref import_from(PyObject* imported, PyObject* name) noexcept {
    Ref value = getattr(imported, name);
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    Ref module_name = PyModule_Check(imported)
                          ? Ref::steal(PyModule_GetNameObject(imported))
                          : getattr(imported, names::__name__);
    if (module_name && PyUnicode_Check(module_name.get())) {
        Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name.get(), name));
        if (full) value = Ref::steal(PyImport_GetModule(full.get()));
    }
    if (!value) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    }
    return value;
}

int run_import(const ImportEntry& entry, PyObject* globals) noexcept {
    Ref module_name = Ref::steal(PyUnicode_FromString(entry.module));
    if (!module_name) return -1;
    if (entry.names == nullptr) {
        Ref imported = Ref::steal(
            PyImport_ImportModuleLevelObject(module_name.get(), globals, nullptr, nullptr, 0));
        return imported && set_item(globals, module_name.get(), imported.get()) ? 0 : -1;
    }
    Py_ssize_t count = 0;
    while (entry.names[count] != nullptr) ++count;
    Ref from_list = Ref::steal(PyList_New(count));
    if (!from_list) return -1;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyUnicode_InternFromString(entry.names[i]);
        if (name == nullptr) return -1;
        PyList_SET_ITEM(from_list.get(), i, name);  // steals
    }
    Ref imported = Ref::steal(
        PyImport_ImportModuleLevelObject(module_name.get(), globals, nullptr, from_list.get(), 0));
    if (!imported) return -1;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyList_GET_ITEM(from_list.get(), i);
        Ref value = import_from(imported.get(), name);
        if (!value || !set_item(globals, name, value.get())) return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Create and exec.

bool interpreter_recorded = false;
std::int64_t interpreter_id = 0;

int check_single_interpreter() noexcept {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (!interpreter_recorded) {
        interpreter_recorded = true;
        interpreter_id = current;
        return 0;
    }
    if (current != interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return -1;
    }
    return 0;
}

// module.<target> = spec.<source>; a spec without the attribute is skipped.
int copy_spec_attribute(PyObject* spec, PyObject* globals, const char* source, const char* target,
                        bool none_allowed) noexcept {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, source));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (!none_allowed && value.get() == Py_None) return 0;
    return PyDict_SetItemString(globals, target, value.get());
}

PyObject* create(PyObject* spec, PyModuleDef*) noexcept {
    if (check_single_interpreter() < 0) return nullptr;
    if (PyObject* existing = ns::held()) return Ref::borrow(existing).release();
    Ref spec_name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!spec_name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(spec_name.get()));
    if (!module) return nullptr;
    PyObject* globals = PyModule_GetDict(module.get());  // borrowed
    if (globals == nullptr ||
        copy_spec_attribute(spec, globals, "loader", "__loader__", true) < 0 ||
        copy_spec_attribute(spec, globals, "origin", "__file__", true) < 0 ||
        copy_spec_attribute(spec, globals, "parent", "__package__", true) < 0 ||
        copy_spec_attribute(spec, globals, "submodule_search_locations", "__path__", false) < 0) {
        return nullptr;
    }
    return module.release();
}

// Enters the module in sys.modules when the loader has not; 1 when this call entered it.
int register_module(PyObject* module) noexcept {
    PyObject* registry = PyImport_GetModuleDict();  // borrowed
    Ref key = Ref::steal(PyUnicode_FromString(module_full_name));
    if (!key) return -1;
    const int present = PyDict_Contains(registry, key.get());
    if (present != 0) return present < 0 ? -1 : 0;
    return PyDict_SetItem(registry, key.get(), module) < 0 ? -1 : 1;
}

// Takes back the entry register_module made, keeping the pending exception.
void unregister_module(PyObject* module) noexcept {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* registry = PyImport_GetModuleDict();  // borrowed
    PyObject* entry = PyDict_GetItemString(registry, module_full_name);  // borrowed
    if (entry == module) PyDict_DelItemString(registry, module_full_name);
    PyErr_Restore(type, value, traceback);
}

int bind_functions(PyObject* globals) noexcept {
    Ref module_name = Ref::steal(PyUnicode_FromString(module_full_name));
    if (!module_name) return -1;
    for (FunctionEntry& entry : functions) {
        Ref function = Ref::steal(PyCFunction_NewEx(&entry.def, nullptr, module_name.get()));
        if (!function || PyDict_SetItemString(globals, entry.def.ml_name, function.get()) < 0) {
            compat::add_traceback(traceback_function, traceback_file, entry.line);
            return -1;
        }
    }
    Ref test_table = Ref::steal(PyDict_New());
    return test_table && PyDict_SetItemString(globals, "__test__", test_table.get()) == 0 ? 0 : -1;
}

int populate(PyObject* module) noexcept {
    PyObject* globals = PyModule_GetDict(module);  // borrowed
    if (globals == nullptr || names::init() < 0) return -1;
    PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
    if (builtins == nullptr || PyDict_SetItemString(globals, "__builtins__", builtins) < 0) {
        return -1;
    }
    const int registered = register_module(module);
    if (registered < 0) return -1;
    for (const ImportEntry& entry : imports) {
        if (run_import(entry, globals) < 0) {
            compat::add_traceback(traceback_function, traceback_file, entry.line);
            if (registered) unregister_module(module);
            return -1;
        }
    }
    if (bind_functions(globals) < 0) {
        if (registered) unregister_module(module);
        return -1;
    }
    return 0;
}

int exec(PyObject* module) noexcept {
    if (PyObject* existing = ns::held()) {
        if (existing == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'summary' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    ns::hold(module);
    if (populate(module) < 0) {
        ns::forget();
        return -1;
    }
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(&create)},
    {Py_mod_exec, reinterpret_cast<void*>(&exec)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "summary",
    nullptr,  // no docstring
    0,        // no per-module state
    nullptr,  // the functions are bound by exec, not through the table
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace tarnwick

PyMODINIT_FUNC PyInit_summary() { return PyModuleDef_Init(&tarnwick::definition); }
