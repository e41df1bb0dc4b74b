#include "analysis/namespace.hpp"
#include "support/compat.hpp"
#include "analysis/report.hpp"
#include "contracts/names.hpp"
#include "support/call.hpp"

namespace tarnwick::report {

namespace {

// global(model) for the single-argument passes.
Ref run_on_model(PyObject* pass_name, PyObject* model) noexcept {
    Ref pass = ns::lookup(pass_name);
    return pass ? call(pass.get(), {model}) : Ref();
}

// global(model.symbols, limit=25) for the top-N passes.
Ref run_top(PyObject* pass_name, PyObject* model) noexcept {
    Ref pass = ns::lookup(pass_name);
    if (!pass) return Ref();
    Ref symbols = getattr(model, names::symbols);
    if (!symbols) return Ref();
    return call(pass.get(), {symbols.get()}, names::kw_limit, {names::int_top_limit});
}

bool run_passes(PyObject* model, Passes& out) noexcept {
    out.region_usage = run_on_model(names::compute_region_usage, model);
    if (!out.region_usage) return false;
    Ref section_pass = ns::lookup(names::compute_section_usage);
    if (!section_pass) return false;
    out.section_usage = call(section_pass.get(), {model, out.region_usage.get()});
    if (!out.section_usage) return false;
    return (out.top_symbols = run_top(names::top_symbols_by_size, model)) &&
           (out.top_objects = run_top(names::top_object_archive_contributors, model)) &&
           (out.flash_ram_attribution = run_on_model(names::compute_flash_ram_attribution, model)) &&
           (out.initialized_ram_cost = run_on_model(names::compute_initialized_ram_cost, model)) &&
           (out.padding_waste = run_on_model(names::compute_padding_waste, model)) &&
           (out.multicore = run_on_model(names::build_multicore_summary, model));
}

// Region name, as the model holds it, to the value of the region's category.
Ref region_categories(PyObject* model) noexcept {
    Ref result = Ref::steal(PyDict_New());
    if (!result) return Ref();
    Ref regions = getattr(model, names::memory_regions);
    if (!regions) return Ref();
    Ref iterator = Ref::steal(PyObject_GetIter(regions.get()));
    if (!iterator) return Ref();
    while (Ref region = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref name = getattr(region.get(), names::name);
        if (!name) return Ref();
        Ref value = getattr2(region.get(), names::category, names::value);
        if (!value || !set_item(result.get(), name.get(), value.get())) return Ref();
    }
    return PyErr_Occurred() ? Ref() : std::move(result);
}

// Stripped section name to the category of its execution region; the first section of a
// name that resolves to a truthy category decides.
Ref section_categories(PyObject* model, PyObject* by_region) noexcept {
    Ref result = Ref::steal(PyDict_New());
    if (!result) return Ref();
    Ref sections = getattr(model, names::sections);
    if (!sections) return Ref();
    Ref iterator = Ref::steal(PyObject_GetIter(sections.get()));
    if (!iterator) return Ref();
    while (Ref section = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref raw_name = getattr(section.get(), names::name);
        if (!raw_name) return Ref();
        Ref name = call_method(raw_name.get(), names::strip);
        if (!name) return Ref();
        const int named = PyObject_IsTrue(name.get());
        if (named < 0) return Ref();
        if (named == 0) continue;
        Ref region = getattr(section.get(), names::execution_region);
        if (!region) return Ref();
        const int has_region = PyObject_IsTrue(region.get());
        if (has_region < 0) return Ref();
        Ref key = call_method(has_region ? region.get() : names::empty, names::strip);
        if (!key) return Ref();
        PyObject* category = PyDict_GetItemWithError(by_region, key.get());  // borrowed
        if (category == nullptr && PyErr_Occurred()) return Ref();
        if (category == nullptr) continue;
        Ref keep_category = Ref::borrow(category);  // its truth test may run code
        const int truthy = PyObject_IsTrue(category);
        if (truthy < 0) return Ref();
        if (truthy == 0) continue;
        const int known = PyDict_Contains(result.get(), name.get());
        if (known < 0) return Ref();
        if (known == 0 && !set_item(result.get(), name.get(), category)) return Ref();
    }
    return PyErr_Occurred() ? Ref() : std::move(result);
}

Ref group_components(PyObject* model, PyObject* config, PyObject* section_map) noexcept {
    Ref pass = ns::lookup(names::group_symbols_by_component);
    if (!pass) return Ref();
    Ref symbols = getattr(model, names::symbols);
    if (!symbols) return Ref();
    return call(pass.get(), {symbols.get(), config}, names::kw_section_category, {section_map});
}

bool extend_with(PyObject* issues, PyObject* detector_name,
                 std::initializer_list<PyObject*> arguments) noexcept {
    Ref detector = ns::lookup(detector_name);
    if (!detector) return false;
    Ref found = call(detector.get(), arguments);
    if (!found) return false;
    return compat::list_extend(issues, found.get()) == 0;
}

Ref gather_issues(PyObject* model, PyObject* config, PyObject* region_usage) noexcept {
    Ref issues = Ref::steal(PyList_New(0));
    if (!issues || !extend_with(issues.get(), names::_overflow_issues, {region_usage}) ||
        !extend_with(issues.get(), names::detect_reserved_region_violations, {model}) ||
        !extend_with(issues.get(), names::detect_suspicious_section_placement, {model}) ||
        !extend_with(issues.get(), names::_budget_threshold_issues, {region_usage, config})) {
        return Ref();
    }
    return issues;
}

}  // namespace

Ref build(const Request& request) noexcept {
    Passes passes;
    if (!run_passes(request.model, passes)) return Ref();
    Ref by_region = region_categories(request.model);
    if (!by_region) return Ref();
    Ref by_section = section_categories(request.model, by_region.get());
    if (!by_section) return Ref();
    passes.components = group_components(request.model, request.config, by_section.get());
    if (!passes.components) return Ref();
    passes.issues = gather_issues(request.model, request.config, passes.region_usage.get());
    if (!passes.issues) return Ref();
    return assemble(request, passes);
}

}  // namespace tarnwick::report
