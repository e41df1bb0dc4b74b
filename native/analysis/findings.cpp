#include "analysis/findings.hpp"

#include "analysis/mappings.hpp"
#include "analysis/namespace.hpp"
#include "contracts/config.hpp"
#include "contracts/domain.hpp"
#include "contracts/names.hpp"
#include "support/call.hpp"
#include "support/text.hpp"

namespace tarnwick::findings {

namespace {

struct IssueKind {
    PyObject* id_prefix;
    PyObject* severity_member;
    PyObject* category_member;
    PyObject* title;
    PyObject* hint;
};

constexpr auto overflow_kind = [] {
    return IssueKind{names::overflow_prefix, names::ERROR, names::OVERFLOW, names::overflow_title,
                     names::overflow_hint};
};
constexpr auto budget_kind = [] {
    return IssueKind{names::budget_prefix, names::WARNING, names::POLICY, names::budget_title,
                     names::budget_hint};
};

// Builds one finding for `region`, evaluating its parts in the order the records expect:
// the Issue class, the id, severity, category, description (from `describe`), the entities.
template <typename Describe>
Ref make_issue(const IssueKind& kind, PyObject* region, Describe describe) noexcept {
    Ref issue_class = ns::lookup(names::Issue);
    if (!issue_class) return Ref();
    Ref region_text = text::format(region, names::empty);
    if (!region_text) return Ref();
    Ref id = text::join({kind.id_prefix, region_text.get()});
    if (!id) return Ref();
    Ref severity = domain::severity(kind.severity_member);
    if (!severity) return Ref();
    Ref category = domain::category(kind.category_member);
    if (!category) return Ref();
    Ref region_again = text::format(region, names::empty);
    if (!region_again) return Ref();
    Ref description = describe(region_again.get());
    if (!description) return Ref();
    Ref affected = Ref::steal(PyTuple_Pack(1, region));
    if (!affected) return Ref();
    return domain::construct(issue_class.get(), names::kw_issue,
                             {id.get(), severity.get(), category.get(), kind.title,
                              description.get(), affected.get(), kind.hint});
}

Ref overflow_issue(PyObject* region, PyObject* overflow) noexcept {
    return make_issue(overflow_kind(), region, [overflow](PyObject* region_text) noexcept {
        Ref overflow_text = text::format(overflow, names::empty);
        if (!overflow_text) return Ref();
        return text::join({names::region_word, region_text, names::exceeds_by,
                           overflow_text.get(), names::bytes_end});
    });
}

Ref budget_issue(PyObject* region, PyObject* ratio, PyObject* threshold) noexcept {
    return make_issue(budget_kind(), region, [ratio, threshold](PyObject* region_text) noexcept {
        Ref ratio_text = text::format_fixed3(ratio, names::fixed3);
        if (!ratio_text) return Ref();
        Ref threshold_text = text::format_fixed3(threshold, names::fixed3);
        if (!threshold_text) return Ref();
        return text::join({names::region_word, region_text, names::utilization_is,
                           ratio_text.get(), names::above_threshold, threshold_text.get(),
                           names::full_stop});
    });
}

// Appends the budget findings of one threshold map to `result`.
bool scan_budget_map(PyObject* budget_map, PyObject* region_usage, PyObject* result) noexcept {
    mappings::SortedPairs entries;
    if (entries.init(budget_map) < 0) return false;
    for (Py_ssize_t i = 0; i < entries.size(); ++i) {
        Ref region, threshold;
        if (entries.pair(i, region, threshold) < 0) return false;
        Ref usage = mappings::get(region_usage, region.get());
        if (!usage) return false;
        if (usage.get() == Py_None) continue;
        Ref ratio = getattr(usage.get(), names::utilization_ratio);
        if (!ratio) return false;
        const int above = PyObject_RichCompareBool(ratio.get(), threshold.get(), Py_GT);
        if (above < 0) return false;
        if (above == 0) continue;
        Ref issue = budget_issue(region.get(), ratio.get(), threshold.get());
        if (!issue || !append(result, issue.get())) return false;
    }
    return true;
}

}  // namespace

Ref overflow_issues(PyObject* region_usage) noexcept {
    Ref result = Ref::steal(PyList_New(0));
    if (!result) return Ref();
    mappings::SortedPairs entries;
    if (entries.init(region_usage) < 0) return Ref();
    for (Py_ssize_t i = 0; i < entries.size(); ++i) {
        Ref region, usage;
        if (entries.pair(i, region, usage) < 0) return Ref();
        Ref overflow = getattr(usage.get(), names::overflow_bytes);
        if (!overflow) return Ref();
        const int positive = PyObject_RichCompareBool(overflow.get(), names::int_zero, Py_GT);
        if (positive < 0) return Ref();
        if (positive == 0) continue;
        Ref issue = overflow_issue(region.get(), overflow.get());
        if (!issue || !append(result.get(), issue.get())) return Ref();
    }
    return result;
}

Ref budget_threshold_issues(PyObject* region_usage, PyObject* cfg) noexcept {
    Ref result = Ref::steal(PyList_New(0));
    if (!result) return Ref();
    Ref flash = config::budgets(cfg, names::flash);
    if (!flash) return Ref();
    Ref ram = config::budgets(cfg, names::ram);
    if (!ram) return Ref();
    if (!scan_budget_map(flash.get(), region_usage, result.get()) ||
        !scan_budget_map(ram.get(), region_usage, result.get())) {
        return Ref();
    }
    return result;
}

}  // namespace tarnwick::findings
