// Interned strings shared by every unit: attribute names of the collaborators, module-level
// names looked up at call time, mapping keys, keyword-name tuples and fixed message texts.
// Created once by the exec step and kept for the life of the process, like the module itself.
#pragma once

#include "support/ref.hpp"

namespace tarnwick::names {

// Identifiers whose text equals the C++ name.
#define TARNWICK_IDENTIFIERS(X)                                                                 \
    /* model */                                                                                 \
    X(symbols) X(memory_regions) X(sections) X(name) X(category) X(value) X(execution_region)   \
    X(toolchain) X(parse_assumptions) X(unresolved_ambiguities) X(stack_heap_hints)             \
    /* methods */                                                                               \
    X(strip) X(items) X(get) X(sorted_copy) X(exists) X(read_text) X(loads) X(now) X(isoformat) \
    /* pass results */                                                                          \
    X(overflow_bytes) X(utilization_ratio) X(flash_bytes) X(ram_bytes) X(other_bytes)           \
    X(initialized_ram_bytes) X(estimated_flash_init_payload_bytes) X(total_padding_bytes)       \
    X(by_region) X(section_name) X(load_region) X(size) X(utilization_ratio_in_region)          \
    /* configuration */                                                                         \
    X(budgets) X(flash) X(ram) X(policies) X(warn_on_near_capacity_ratio)                       \
    X(partition_max_bytes) X(fail_on_overflow) X(fail_on_reserved_region_violation) X(reports)  \
    X(enable_sankey_view) X(enable_relationship_graph_view) X(project)                          \
    /* records and enumerations */                                                              \
    X(severity) X(INFO) X(WARNING) X(ERROR) X(OVERFLOW) X(POLICY) X(total_flash) X(total_ram)   \
    X(utilization_by_region) X(issue_counts) X(extra) X(id) X(title) X(description)             \
    X(affected_entities) X(remediation_hint) X(tool_version) X(schema_version)                  \
    X(analysis_timestamp) X(target_name) X(toolchain_detected) X(metadata) X(summary)           \
    X(regions) X(components) X(issues) X(trends) X(regressions) X(diagnostics)                  \
    /* module globals */                                                                        \
    X(__name__) X(json) X(datetime) X(UTC) X(__version__) X(SCHEMA_VERSION) X(Issue) X(IssueSeverity)       \
    X(IssueCategory) X(ReportSummary) X(ReportMetadata) X(AnalysisReport)                       \
    X(compute_region_usage) X(compute_section_usage) X(top_symbols_by_size)                     \
    X(top_object_archive_contributors) X(compute_flash_ram_attribution)                         \
    X(compute_initialized_ram_cost) X(compute_padding_waste) X(build_multicore_summary)         \
    X(group_symbols_by_component) X(detect_reserved_region_violations)                          \
    X(detect_suspicious_section_placement) X(build_visualization_contract)                      \
    X(_overflow_issues) X(_budget_threshold_issues) X(_baseline_regressions)                    \
    X(_build_config_summary) X(_as_int) X(_as_float)                                            \
    /* keywords and keys */                                                                     \
    X(model) X(config) X(baseline_json_path) X(limit) X(section_category_by_name) X(region_usage) X(padding_waste) X(features)           \
    X(encoding) X(status) X(path) X(error) X(baseline_path) X(flash_delta_bytes)    \
    X(ram_delta_bytes) X(current) X(baseline) X(delta) X(info) X(warning)                       \
    X(flash_ram_attribution) X(initialized_ram_cost) X(multicore) X(top_objects_by_size)        \
    X(section_usage) X(visualization) X(visualization_contract) X(regions_count)                \
    X(config_summary) X(sankey_enabled) X(relationship_graph_enabled)

// Texts that are not identifiers, or whose C++ name differs.
#define TARNWICK_TEXTS(X)                                                                       \
    X(empty, "")                                                                                \
    X(fixed3, ".3f")                                                                            \
    X(utf8, "utf-8")                                                                            \
    X(kw_default, "default")                                                                    \
    X(overflow_prefix, "overflow.")                                                             \
    X(budget_prefix, "budget.")                                                                 \
    X(region_word, "Region ")                                                                   \
    X(exceeds_by, " exceeds capacity by ")                                                      \
    X(bytes_end, " bytes.")                                                                     \
    X(utilization_is, " utilization is ")                                                      \
    X(above_threshold, ", above configured threshold ")                                         \
    X(full_stop, ".")                                                                           \
    X(overflow_title, "Region overflow detected")                                               \
    X(overflow_hint, "Reduce section usage or increase region capacity in linker config.")      \
    X(budget_title, "Region budget threshold exceeded")                                         \
    X(budget_hint, "Rebalance footprint or update budget thresholds intentionally.")            \
    X(status_missing, "baseline_missing")                                                       \
    X(status_unreadable, "baseline_unreadable")                                                 \
    X(status_invalid, "baseline_invalid")                                                       \
    X(status_ok, "ok")

#define TARNWICK_DECLARE_ID(id) extern PyObject* id;
#define TARNWICK_DECLARE_TEXT(id, text) extern PyObject* id;
TARNWICK_IDENTIFIERS(TARNWICK_DECLARE_ID)
TARNWICK_TEXTS(TARNWICK_DECLARE_TEXT)
#undef TARNWICK_DECLARE_ID
#undef TARNWICK_DECLARE_TEXT

// Keyword-name tuples for vectorcall, in the keyword order the collaborators are called with.
extern PyObject* kw_issue;           // id .. remediation_hint
extern PyObject* kw_summary;         // total_flash .. extra
extern PyObject* kw_metadata;        // tool_version .. parse_assumptions
extern PyObject* kw_report;          // metadata .. diagnostics
extern PyObject* kw_visualization;   // region_usage .. features
extern PyObject* kw_limit;           // ("limit",)
extern PyObject* kw_section_category;  // ("section_category_by_name",)
extern PyObject* kw_encoding;        // ("encoding",)
extern PyObject* kw_default_only;    // ("default",)

// Small constants.
extern PyObject* int_zero;
extern PyObject* int_top_limit;  // 25, the length of both top-N tables
extern PyObject* float_zero;

// Creates everything above on first use; later calls return 0 at once. -1 with an exception set.
int init() noexcept;

}  // namespace tarnwick::names
