// The one exception a native reader throws for its input: what is wrong, and where. Every entry
// point of tarnwick._native turns it into the reader's bad-input error (see guarded_entry.hpp);
// any other C++ exception that leaves an entry point is an internal error.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace tarnwick {

struct InputFault : std::runtime_error {
    enum class Shape { reason, line, line_and_row };

    // A binary file's fault: it has no lines. ValueError(reason).
    explicit InputFault(const std::string& reason) : std::runtime_error(reason) {}
    // A text file's fault at `line` (0: none). ValueError((reason, line)).
    InputFault(const std::string& reason, long line) : std::runtime_error(reason), line(line), shape(Shape::line) {}
    // ... and the row that could not be read (a view into the file's text, empty: none).
    // ValueError((reason, line, row or None)).
    InputFault(const std::string& reason, long line, std::string_view row)
        : std::runtime_error(reason), line(line), row(row), shape(Shape::line_and_row) {}

    long line = 0;
    std::string_view row;
    Shape shape = Shape::reason;
};

}  // namespace tarnwick
