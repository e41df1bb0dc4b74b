#include "analysis/mappings.hpp"
#include "support/compat.hpp"
#include "analysis/namespace.hpp"
#include "analysis/report.hpp"
#include "contracts/config.hpp"
#include "contracts/domain.hpp"
#include "contracts/names.hpp"
#include "support/call.hpp"
#include "support/text.hpp"

namespace tarnwick::report {

namespace {

// A dict of key -> obj.<attribute> for parallel key/attribute lists, read in order.
Ref attributes_as_dict(PyObject* obj, std::initializer_list<PyObject*> keys,
                       std::initializer_list<PyObject*> attributes) noexcept {
    Ref result = Ref::steal(PyDict_New());
    if (!result) return Ref();
    PyObject* const* key = keys.begin();
    for (PyObject* attribute : attributes) {
        Ref value = getattr(obj, attribute);
        if (!value || !set_item(result.get(), *key++, value.get())) {
            return Ref();
        }
    }
    return result;
}

// [ {key: element.<attribute>, ...} for element in iterable ]
Ref rows(PyObject* iterable, std::initializer_list<PyObject*> keys,
         std::initializer_list<PyObject*> attributes) noexcept {
    Ref result = Ref::steal(PyList_New(0));
    if (!result) return Ref();
    Ref iterator = Ref::steal(PyObject_GetIter(iterable));
    if (!iterator) return Ref();
    while (Ref element = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref row = attributes_as_dict(element.get(), keys, attributes);
        if (!row || !append(result.get(), row.get())) return Ref();
    }
    return PyErr_Occurred() ? Ref() : std::move(result);
}

Ref name_size_rows(PyObject* entries) noexcept {
    return rows(entries, {names::name, names::size}, {names::name, names::size});
}

Ref utilization_by_region(PyObject* region_usage) noexcept {
    mappings::SortedPairs entries;
    if (entries.init(region_usage) < 0) return Ref();
    Ref result = Ref::steal(compat::presized_dict(static_cast<Py_ssize_t>(entries.size())));
    if (!result) return Ref();
    for (Py_ssize_t i = 0; i < entries.size(); ++i) {
        Ref region, usage;
        if (entries.pair(i, region, usage) < 0) return Ref();
        Ref ratio = getattr(usage.get(), names::utilization_ratio);
        if (!ratio || !set_item(result.get(), region.get(), ratio.get())) return Ref();
    }
    return result;
}

// The number of issues whose severity == IssueSeverity.<member>, both read per comparison.
Ref count_severity(PyObject* issues, PyObject* member) noexcept {
    Py_ssize_t count = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(issues); ++i) {
        Ref issue = Ref::borrow(PyList_GET_ITEM(issues, i));
        Ref severity = getattr(issue.get(), names::severity);
        if (!severity) return Ref();
        Ref wanted = domain::severity(member);
        if (!wanted) return Ref();
        Ref equal = Ref::steal(PyObject_RichCompare(severity.get(), wanted.get(), Py_EQ));
        if (!equal) return Ref();
        const int truth = PyObject_IsTrue(equal.get());
        if (truth < 0) return Ref();
        count += truth;
    }
    return Ref::steal(PyLong_FromSsize_t(count));
}

Ref issue_counts(PyObject* issues) noexcept {
    Ref result = Ref::steal(PyDict_New());
    if (!result) return Ref();
    const std::pair<PyObject*, PyObject*> keyed[] = {
        {names::info, names::INFO}, {names::warning, names::WARNING}, {names::error, names::ERROR}};
    for (const auto& [key, member] : keyed) {
        Ref count = count_severity(issues, member);
        if (!count || !set_item(result.get(), key, count.get())) return Ref();
    }
    return result;
}

bool add_multicore(PyObject* target, PyObject* multicore) noexcept {
    return multicore == Py_None || set_item(target, names::multicore, multicore);
}

// dict(sorted(mapping.items())). Pairs from the generic path go through the dict constructor,
// so odd items raise what it raises.
Ref sorted_copy(PyObject* mapping) noexcept {
    mappings::SortedPairs entries;
    if (entries.init(mapping) < 0) return Ref();
    if (PyObject* sorted_list = entries.sorted_items()) {
        return Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), sorted_list));
    }
    Ref result = Ref::steal(compat::presized_dict(static_cast<Py_ssize_t>(entries.size())));
    if (!result) return Ref();
    for (Py_ssize_t i = 0; i < entries.size(); ++i) {
        Ref key, value;
        if (entries.pair(i, key, value) < 0 || !set_item(result.get(), key.get(), value.get())) {
            return Ref();
        }
    }
    return result;
}

Ref padding_summary(PyObject* padding_waste) noexcept {
    Ref total = getattr(padding_waste, names::total_padding_bytes);
    if (!total) return Ref();
    Ref by_region = getattr(padding_waste, names::by_region);
    if (!by_region) return Ref();
    Ref ordered = sorted_copy(by_region.get());
    if (!ordered) return Ref();
    Ref result = Ref::steal(PyDict_New());
    if (!result || !set_item(result.get(), names::total_padding_bytes, total.get()) ||
        !set_item(result.get(), names::by_region, ordered.get())) {
        return Ref();
    }
    return result;
}

Ref summary_extra(const Passes& p) noexcept {
    Ref attribution = attributes_as_dict(p.flash_ram_attribution.get(),
                                         {names::flash_bytes, names::ram_bytes, names::other_bytes},
                                         {names::flash_bytes, names::ram_bytes, names::other_bytes});
    if (!attribution) return Ref();
    Ref init_cost = attributes_as_dict(
        p.initialized_ram_cost.get(),
        {names::initialized_ram_bytes, names::estimated_flash_init_payload_bytes},
        {names::initialized_ram_bytes, names::estimated_flash_init_payload_bytes});
    if (!init_cost) return Ref();
    Ref padding = padding_summary(p.padding_waste.get());
    if (!padding) return Ref();
    Ref result = Ref::steal(PyDict_New());
    if (!result || !set_item(result.get(), names::flash_ram_attribution, attribution.get()) ||
        !set_item(result.get(), names::initialized_ram_cost, init_cost.get()) ||
        !set_item(result.get(), names::padding_waste, padding.get()) ||
        !add_multicore(result.get(), p.multicore.get())) {
        return Ref();
    }
    return result;
}

Ref summary_record(const Passes& p) noexcept {
    Ref record_class = ns::lookup(names::ReportSummary);
    if (!record_class) return Ref();
    Ref total_flash = getattr(p.flash_ram_attribution.get(), names::flash_bytes);
    if (!total_flash) return Ref();
    Ref total_ram = getattr(p.flash_ram_attribution.get(), names::ram_bytes);
    if (!total_ram) return Ref();
    Ref utilization = utilization_by_region(p.region_usage.get());
    if (!utilization) return Ref();
    Ref counts = issue_counts(p.issues.get());
    if (!counts) return Ref();
    Ref extra = summary_extra(p);
    if (!extra) return Ref();
    return domain::construct(record_class.get(), names::kw_summary,
                             {total_flash.get(), total_ram.get(), utilization.get(), counts.get(),
                              extra.get()});
}

Ref features(PyObject* cfg) noexcept {
    Ref sankey = config::report_switch(cfg, names::enable_sankey_view);
    if (!sankey) return Ref();
    Ref graph = config::report_switch(cfg, names::enable_relationship_graph_view);
    if (!graph) return Ref();
    Ref result = Ref::steal(PyDict_New());
    if (!result || !set_item(result.get(), names::sankey_enabled, sankey.get()) ||
        !set_item(result.get(), names::relationship_graph_enabled, graph.get())) {
        return Ref();
    }
    return result;
}

Ref visualization(const Request& r, const Passes& p, PyObject* regressions) noexcept {
    Ref pass = ns::lookup(names::build_visualization_contract);
    if (!pass) return Ref();
    Ref feature_map = features(r.config);
    if (!feature_map) return Ref();
    return call(pass.get(), {r.model}, names::kw_visualization,
                {p.region_usage.get(), p.padding_waste.get(), p.components.get(), p.issues.get(),
                 regressions, feature_map.get()});
}

// datetime.now(UTC).isoformat()
Ref timestamp() noexcept {
    Ref now = ns::lookup_attr(names::datetime, names::now);
    if (!now) return Ref();
    Ref utc = ns::lookup(names::UTC);
    if (!utc) return Ref();
    Ref moment = call(now.get(), {utc.get()});
    return moment ? call_method(moment.get(), names::isoformat) : Ref();
}

Ref metadata_record(const Request& r) noexcept {
    Ref record_class = ns::lookup(names::ReportMetadata);
    if (!record_class) return Ref();
    Ref version = ns::lookup(names::__version__);
    if (!version) return Ref();
    Ref schema = ns::lookup(names::SCHEMA_VERSION);
    if (!schema) return Ref();
    Ref stamp = timestamp();
    if (!stamp) return Ref();
    const int named = PyObject_IsTrue(r.target_name);
    if (named < 0) return Ref();
    Ref target = named ? Ref::borrow(r.target_name) : config::project_name(r.config);
    if (!target) return Ref();
    Ref toolchain = getattr2(r.model, names::toolchain, names::value);
    if (!toolchain) return Ref();
    Ref assumptions = getattr(r.model, names::parse_assumptions);
    if (!assumptions) return Ref();
    return domain::construct(record_class.get(), names::kw_metadata,
                             {version.get(), schema.get(), stamp.get(), target.get(),
                              toolchain.get(), assumptions.get()});
}

Ref model_list(PyObject* model, PyObject* attribute) noexcept {
    Ref value = getattr(model, attribute);
    return value ? to_list(value.get()) : Ref();
}

Ref trends(const Passes& p, PyObject* visualization_result) noexcept {
    Ref symbols = name_size_rows(p.top_symbols.get());
    if (!symbols) return Ref();
    Ref objects = name_size_rows(p.top_objects.get());
    if (!objects) return Ref();
    Ref sections = rows(p.section_usage.get(),
                        {names::name, names::execution_region, names::load_region, names::size,
                         names::utilization_ratio_in_region},
                        {names::section_name, names::execution_region, names::load_region,
                         names::size, names::utilization_ratio_in_region});
    if (!sections) return Ref();
    Ref result = Ref::steal(PyDict_New());
    if (!result || !set_item(result.get(), names::top_symbols_by_size, symbols.get()) ||
        !set_item(result.get(), names::top_objects_by_size, objects.get()) ||
        !set_item(result.get(), names::section_usage, sections.get()) ||
        !set_item(result.get(), names::visualization, visualization_result)) {
        return Ref();
    }
    return result;
}

Ref stack_heap_hints(PyObject* model) noexcept {
    Ref hints = getattr(model, names::stack_heap_hints);
    if (!hints) return Ref();
    Ref items = call_method(hints.get(), names::items);
    if (!items) return Ref();
    Ref result = Ref::steal(PyDict_New());
    if (!result) return Ref();
    Ref iterator = Ref::steal(PyObject_GetIter(items.get()));
    if (!iterator) return Ref();
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref key, value;
        if (mappings::unpack(item.get(), key, value) < 0) return Ref();
        Ref copy = to_list(value.get());
        if (!copy || !set_item(result.get(), key.get(), copy.get())) return Ref();
    }
    return PyErr_Occurred() ? Ref() : std::move(result);
}

Ref visualization_contract_summary(PyObject* visualization_result) noexcept {
    Ref schema = mappings::get(visualization_result, names::schema_version, names::empty);
    if (!schema) return Ref();
    Ref schema_text = text::str_form(schema.get());
    if (!schema_text) return Ref();
    Ref regions = mappings::get(visualization_result, names::regions);
    if (!regions) return Ref();
    Py_ssize_t count = 0;
    if (PyList_Check(regions.get())) {
        Ref fallback = Ref::steal(PyList_New(0));
        if (!fallback) return Ref();
        Ref again = mappings::get(visualization_result, names::regions, fallback.get());
        if (!again) return Ref();
        count = PyObject_Size(again.get());
        if (count < 0) return Ref();
    }
    Ref count_value = Ref::steal(PyLong_FromSsize_t(count));
    Ref result = Ref::steal(PyDict_New());
    if (!count_value || !result || !set_item(result.get(), names::schema_version, schema_text.get()) ||
        !set_item(result.get(), names::regions_count, count_value.get())) {
        return Ref();
    }
    return result;
}

Ref diagnostics(const Request& r, const Passes& p, PyObject* visualization_result) noexcept {
    Ref assumptions = model_list(r.model, names::parse_assumptions);
    if (!assumptions) return Ref();
    Ref ambiguities = model_list(r.model, names::unresolved_ambiguities);
    if (!ambiguities) return Ref();
    Ref hints = stack_heap_hints(r.model);
    if (!hints) return Ref();
    Ref contract = visualization_contract_summary(visualization_result);
    if (!contract) return Ref();
    Ref echo_function = ns::lookup(names::_build_config_summary);
    if (!echo_function) return Ref();
    Ref echo = call(echo_function.get(), {r.config});
    if (!echo) return Ref();
    Ref result = Ref::steal(PyDict_New());
    if (!result || !set_item(result.get(), names::parse_assumptions, assumptions.get()) ||
        !set_item(result.get(), names::unresolved_ambiguities, ambiguities.get()) ||
        !set_item(result.get(), names::stack_heap_hints, hints.get()) ||
        !set_item(result.get(), names::visualization_contract, contract.get()) ||
        !set_item(result.get(), names::config_summary, echo.get()) ||
        !add_multicore(result.get(), p.multicore.get())) {
        return Ref();
    }
    return result;
}

}  // namespace

Ref assemble(const Request& r, const Passes& p) noexcept {
    Ref summary = summary_record(p);
    if (!summary) return Ref();
    Ref compare = ns::lookup(names::_baseline_regressions);
    if (!compare) return Ref();
    Ref regressions = call(compare.get(), {summary.get(), r.baseline_json_path});
    if (!regressions) return Ref();
    Ref visualization_result = visualization(r, p, regressions.get());
    if (!visualization_result) return Ref();
    Ref metadata = metadata_record(r);
    if (!metadata) return Ref();

    Ref record_class = ns::lookup(names::AnalysisReport);
    if (!record_class) return Ref();
    Ref regions = model_list(r.model, names::memory_regions);
    if (!regions) return Ref();
    Ref sections = model_list(r.model, names::sections);
    if (!sections) return Ref();
    Ref symbols = model_list(r.model, names::symbols);
    if (!symbols) return Ref();
    Ref trend_map = trends(p, visualization_result.get());
    if (!trend_map) return Ref();
    Ref diagnostic_map = diagnostics(r, p, visualization_result.get());
    if (!diagnostic_map) return Ref();

    Ref built = domain::construct(
        record_class.get(), names::kw_report,
        {metadata.get(), summary.get(), regions.get(), sections.get(), symbols.get(),
         p.components.get(), p.issues.get(), trend_map.get(), regressions.get(),
         diagnostic_map.get()});
    return built ? call_method(built.get(), names::sorted_copy) : Ref();
}

}  // namespace tarnwick::report
