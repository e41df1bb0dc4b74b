#include "analysis/config_summary.hpp"

#include "contracts/config.hpp"
#include "contracts/names.hpp"
#include "support/call.hpp"

namespace tarnwick::config_summary {

namespace {

// A shallow copy made by the dict constructor, so its errors are the interpreter's.
Ref copied(Ref value) noexcept {
    if (!value) return Ref();
    return Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), value.get()));
}

bool store(PyObject* target, PyObject* key, Ref value) noexcept {
    return value && set_item(target, key, value.get());
}

}  // namespace

Ref build(PyObject* cfg) noexcept {
    Ref budgets = Ref::steal(PyDict_New());
    if (!budgets || !store(budgets.get(), names::flash, copied(config::budgets(cfg, names::flash))) ||
        !store(budgets.get(), names::ram, copied(config::budgets(cfg, names::ram)))) {
        return Ref();
    }
    Ref policies = Ref::steal(PyDict_New());
    if (!policies ||
        !store(policies.get(), names::warn_on_near_capacity_ratio,
               config::policy(cfg, names::warn_on_near_capacity_ratio)) ||
        !store(policies.get(), names::partition_max_bytes,
               copied(config::policy(cfg, names::partition_max_bytes))) ||
        !store(policies.get(), names::fail_on_overflow, config::policy(cfg, names::fail_on_overflow)) ||
        !store(policies.get(), names::fail_on_reserved_region_violation,
               config::policy(cfg, names::fail_on_reserved_region_violation))) {
        return Ref();
    }
    Ref result = Ref::steal(PyDict_New());
    if (!result || !set_item(result.get(), names::budgets, budgets.get()) ||
        !set_item(result.get(), names::policies, policies.get())) {
        return Ref();
    }
    return result;
}

}  // namespace tarnwick::config_summary
