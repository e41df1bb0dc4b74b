// The analysis report of one build: the passes and findings (builder), then the records and
// maps of the report (assembly). Nothing is kept between calls.
#pragma once

#include "support/ref.hpp"

namespace tarnwick::report {

struct Request {
    PyObject* model;
    PyObject* config;
    PyObject* target_name;         // None when not given
    PyObject* baseline_json_path;  // None when not given
};

// What the first half computes and the second half assembles.
struct Passes {
    Ref region_usage;
    Ref section_usage;
    Ref top_symbols;
    Ref top_objects;
    Ref flash_ram_attribution;
    Ref initialized_ram_cost;
    Ref padding_waste;
    Ref multicore;
    Ref components;
    Ref issues;  // a list, handed to the report itself
};

Ref build(const Request& request) noexcept;
Ref assemble(const Request& request, const Passes& passes) noexcept;

}  // namespace tarnwick::report
