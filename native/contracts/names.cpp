#include "contracts/names.hpp"

namespace tarnwick::names {

#define TARNWICK_DEFINE_ID(id) PyObject* id = nullptr;
#define TARNWICK_DEFINE_TEXT(id, text) PyObject* id = nullptr;
TARNWICK_IDENTIFIERS(TARNWICK_DEFINE_ID)
TARNWICK_TEXTS(TARNWICK_DEFINE_TEXT)
#undef TARNWICK_DEFINE_ID
#undef TARNWICK_DEFINE_TEXT

PyObject* kw_issue = nullptr;
PyObject* kw_summary = nullptr;
PyObject* kw_metadata = nullptr;
PyObject* kw_report = nullptr;
PyObject* kw_visualization = nullptr;
PyObject* kw_limit = nullptr;
PyObject* kw_section_category = nullptr;
PyObject* kw_encoding = nullptr;
PyObject* kw_default_only = nullptr;
PyObject* int_zero = nullptr;
PyObject* int_top_limit = nullptr;
PyObject* float_zero = nullptr;

namespace {

bool ready = false;

int intern(PyObject*& slot, const char* text) noexcept {
    if (slot == nullptr) {
        slot = PyUnicode_InternFromString(text);
    }
    return slot == nullptr ? -1 : 0;
}

// Builds a tuple of already interned names; the tuple holds its own references.
template <typename... Names>
int keyword_tuple(PyObject*& slot, Names... items) noexcept {
    if (slot == nullptr) {
        slot = PyTuple_Pack(sizeof...(items), items...);
    }
    return slot == nullptr ? -1 : 0;
}

}  // namespace

int init() noexcept {
    if (ready) {
        return 0;
    }
#define TARNWICK_INTERN_ID(id) \
    if (intern(id, #id) < 0) return -1;
#define TARNWICK_INTERN_TEXT(id, text) \
    if (intern(id, text) < 0) return -1;
    TARNWICK_IDENTIFIERS(TARNWICK_INTERN_ID)
    TARNWICK_TEXTS(TARNWICK_INTERN_TEXT)
#undef TARNWICK_INTERN_ID
#undef TARNWICK_INTERN_TEXT

    if (keyword_tuple(kw_issue, id, severity, category, title, description, affected_entities,
                      remediation_hint) < 0 ||
        keyword_tuple(kw_summary, total_flash, total_ram, utilization_by_region, issue_counts,
                      extra) < 0 ||
        keyword_tuple(kw_metadata, tool_version, schema_version, analysis_timestamp, target_name,
                      toolchain_detected, parse_assumptions) < 0 ||
        keyword_tuple(kw_report, metadata, summary, regions, sections, symbols, components, issues,
                      trends, regressions, diagnostics) < 0 ||
        keyword_tuple(kw_visualization, region_usage, padding_waste, components, issues,
                      regressions, features) < 0 ||
        keyword_tuple(kw_limit, limit) < 0 ||
        keyword_tuple(kw_section_category, section_category_by_name) < 0 ||
        keyword_tuple(kw_encoding, encoding) < 0 ||
        keyword_tuple(kw_default_only, kw_default) < 0) {
        return -1;
    }
    if (int_zero == nullptr && (int_zero = PyLong_FromLong(0)) == nullptr) return -1;
    if (int_top_limit == nullptr && (int_top_limit = PyLong_FromLong(25)) == nullptr) return -1;
    if (float_zero == nullptr && (float_zero = PyFloat_FromDouble(0.0)) == nullptr) return -1;
    ready = true;
    return 0;
}

}  // namespace tarnwick::names
