// read_rlink_map(): the parts of a Renesas optimizing linker map, line by line: "*** Options ***"
// (one option a line), "*** Mapping List ***" (a section's name on a line of its own, then its
// START, END, SIZE and ALIGN indented on the next), "*** Total Section Size ***" ("RAMDATA
// SECTION:  00000520 Byte(s)"); the other parts (errors, symbols, cross references) are passed over.
#include "fast/rlink_map.hpp"

#include "fast/link_map.hpp"
#include "fast/map_reader.hpp"
#include "fast/map_text.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

namespace {

using std::string_view;
using namespace map_text;
using link_map::starts_with;
using map_reader::Failure;
using map_reader::text;

class Reader {
public:
    bool start() noexcept {
        options_ = Ref::steal(PyList_New(0));
        sections_ = Ref::steal(PyList_New(0));
        totals_ = Ref::steal(PyDict_New());
        parts_ = Ref::steal(PyList_New(0));
        return options_ && sections_ && totals_ && parts_;
    }

    bool line(string_view raw, long number) {
        string_view stripped = strip_end(strip_start(raw));
        if (number == 1) banner_ = std::string(stripped);
        if (starts_with(stripped, "*** ") && stripped.size() > 8 && slice(stripped, stripped.size() - 4) == " ***") {
            if (!pending_.empty()) return unfinished();
            part_ = std::string(strip_end(strip_start(slice(stripped, 4, stripped.size() - 8))));
            Ref name = Ref::steal(text(part_));
            return name && PyList_Append(parts_.get(), name.get()) == 0;
        }
        if (stripped.empty()) return true;
        if (part_ == "Options") {
            if (stripped.front() != '-') return true;
            Ref option = Ref::steal(text(stripped));
            return option && PyList_Append(options_.get(), option.get()) == 0;
        }
        if (part_ == "Mapping List") return mapping(raw, stripped, number);
        if (part_ == "Total Section Size") return total(stripped);
        return true;
    }

    PyObject* result() noexcept {
        if (!pending_.empty() && !unfinished()) return nullptr;
        if (failure) {
            Ref detail = Ref::steal(Py_BuildValue("(sl)", failure->reason.c_str(), failure->line));
            if (detail) PyErr_SetObject(PyExc_ValueError, detail.get());
            return nullptr;
        }
        Ref banner = Ref::steal(text(banner_));
        if (!banner) return nullptr;
        return PyTuple_Pack(5, banner.get(), options_.get(), sections_.get(), totals_.get(), parts_.get());
    }

    std::optional<Failure> failure;

private:
    // at `where`: the line that should have held them (the name's own line where none did)
    bool unfinished(long where = 0) {
        failure = Failure{"the Mapping List names section " + pending_ + " without its START, END and SIZE",
                          where ? where : pending_line_};
        pending_.clear();
        return true;
    }

    // "SECTION  START  END  SIZE  ALIGN" heading; "NAME" then "  00000000  000001f7  1f8  200"
    bool mapping(string_view raw, string_view stripped, long number) {
        tokens_of(stripped, tokens_);
        if (!is_space(raw.front())) {
            if (tokens_[0] == "SECTION") return true;
            if (!pending_.empty()) return unfinished();
            pending_ = std::string(tokens_[0]);
            pending_line_ = number;
            if (tokens_.size() == 1) return true;
            tokens_.erase(tokens_.begin());  // the figures on the name's line
        }
        std::uint64_t start = 0, end = 0, size = 0;
        if (pending_.empty() || tokens_.size() < 3 || !number_of(tokens_[0], start) || !number_of(tokens_[1], end) ||
            !number_of(tokens_[2], size)) {
            if (!pending_.empty()) return unfinished(number);
            return true;
        }
        Ref row = map_reader::tuple_of({text(pending_), PyLong_FromUnsignedLongLong(start), PyLong_FromUnsignedLongLong(end),
                                        PyLong_FromUnsignedLongLong(size), PyLong_FromLong(pending_line_)});
        pending_.clear();
        return row && PyList_Append(sections_.get(), row.get()) == 0;
    }

    static bool number_of(string_view token, std::uint64_t& value) { return number(token, 16, value); }

    // "RAMDATA SECTION:  00000520 Byte(s)"
    bool total(string_view stripped) {
        tokens_of(stripped, tokens_);
        std::uint64_t value = 0;
        if (tokens_.size() < 3 || tokens_[1] != "SECTION:" || !number_of(tokens_[2], value)) return true;
        Ref key = Ref::steal(text(tokens_[0]));
        Ref figure = key ? Ref::steal(PyLong_FromUnsignedLongLong(value)) : Ref();
        return figure && PyDict_SetItem(totals_.get(), key.get(), figure.get()) == 0;
    }

    std::string banner_, part_, pending_;
    long pending_line_ = 0;
    std::vector<string_view> tokens_;
    Ref options_, sections_, totals_, parts_;
};

}  // namespace

PyObject* read_rlink_map(PyObject*, PyObject* args) {
    return map_reader::read_map<Reader>(args, "y*:read_rlink_map");
}

}  // namespace tarnwick
