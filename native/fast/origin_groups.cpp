// The totals per origin folded into named groups in one loop (see origin_groups.hpp). Names are
// made as the Python side names origins (support/origins.contributor_name, the ledger's
// archives, analysis/component_grouping's archive stem and folder), once per origin.
#include "fast/origin_groups.hpp"

#include "fast/flat_table.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>

namespace tarnwick {

namespace {

enum class Naming { contributor, archive, component };

bool given(PyObject* text) noexcept { return text != Py_None && PyUnicode_GET_LENGTH(text) > 0; }

// exact texts: no comparison of ours runs code that could change the rows
bool text_or_none(PyObject* value) noexcept { return value == Py_None || PyUnicode_CheckExact(value); }

// The last character of `text` that is `wanted`, -1 when none, -2 with an exception set.
Py_ssize_t last_of(PyObject* text, Py_UCS4 wanted) noexcept {
    return PyUnicode_FindChar(text, wanted, 0, PyUnicode_GET_LENGTH(text), -1);
}

// The file name of a path with either separator, or both (`C:/sdk\lib/libc.a` -> `libc.a`).
Ref file_name(PyObject* path) noexcept {
    Py_ssize_t slash = last_of(path, '/'), back = last_of(path, '\\');
    if (slash == -2 || back == -2) return Ref();
    Py_ssize_t cut = std::max(slash, back) + 1;
    if (cut == 0) return Ref::borrow(path);
    return Ref::steal(PyUnicode_Substring(path, cut, PyUnicode_GET_LENGTH(path)));
}

// An archive's file name without ".a": `lib/libm.a` -> `libm`.
Ref archive_stem(PyObject* archive) noexcept {
    Ref name = file_name(archive);
    if (!name) return Ref();
    Py_ssize_t length = PyUnicode_GET_LENGTH(name.get());
    if (length >= 2 && PyUnicode_READ_CHAR(name.get(), length - 1) == 'a' &&
        PyUnicode_READ_CHAR(name.get(), length - 2) == '.')
        return Ref::steal(PyUnicode_Substring(name.get(), 0, length - 2));
    return name;
}

// An object's folder with its separators made '/' (`src\drv\uart.o` -> `src/drv`; a folder of
// only slashes as it is), else the object itself when its name has no folder.
Ref folder_or_object(PyObject* object, PyObject* backslash, PyObject* slash) noexcept {
    Py_ssize_t back = last_of(object, '\\');
    if (back == -2) return Ref();
    Ref path = back < 0 ? Ref::borrow(object) : Ref::steal(PyUnicode_Replace(object, backslash, slash, -1));
    if (!path) return Ref();
    Py_ssize_t at = last_of(path.get(), '/');
    if (at == -2) return Ref();
    if (at == -1) return Ref::borrow(object);
    Py_ssize_t end = at + 1, keep = end;
    while (keep > 0 && PyUnicode_READ_CHAR(path.get(), keep - 1) == '/') --keep;
    return Ref::steal(PyUnicode_Substring(path.get(), 0, keep == 0 ? end : keep));
}

// `base(object)`, made in place.
Ref member_name(PyObject* base, PyObject* object) noexcept {
    Py_ssize_t before = PyUnicode_GET_LENGTH(base), inside = PyUnicode_GET_LENGTH(object);
    Py_UCS4 widest = std::max({PyUnicode_MAX_CHAR_VALUE(base), PyUnicode_MAX_CHAR_VALUE(object), Py_UCS4{'('}});
    Ref made = Ref::steal(PyUnicode_New(before + inside + 2, widest));
    if (!made || PyUnicode_CopyCharacters(made.get(), 0, base, 0, before) < 0 ||
        PyUnicode_WriteChar(made.get(), before, '(') < 0 ||
        PyUnicode_CopyCharacters(made.get(), before + 1, object, 0, inside) < 0 ||
        PyUnicode_WriteChar(made.get(), before + inside + 1, ')') < 0)
        return Ref();
    return made;
}

struct NumberPair {
    std::size_t group = 0, name = 0;
    bool operator==(const NumberPair& other) const noexcept { return group == other.group && name == other.name; }
};

struct NumberPairHash {
    std::uint64_t operator()(NumberPair key) const noexcept {
        return (static_cast<std::uint64_t>(key.group) * 0x100000001B3ull ^ key.name) * 0x9E3779B97F4A7C15ull >> 17;
    }
};

// Names an origin, keeping what archives give (a build has few archives and many members).
class Namer {
public:
    Namer(Naming naming, PyObject* absent) noexcept : naming_(naming), absent_(absent) {}

    bool ready() noexcept {
        backslash_ = Ref::steal(PyUnicode_FromString("\\"));
        slash_ = Ref::steal(PyUnicode_FromString("/"));
        return backslash_ && slash_;
    }

    Ref name(PyObject* object, PyObject* archive) {
        bool has_object = given(object), has_archive = given(archive);
        switch (naming_) {
            case Naming::contributor:
                if (has_archive && has_object) {
                    PyObject* base = of_archive(archive);
                    return base ? member_name(base, object) : Ref();
                }
                return Ref::borrow(has_object ? object : has_archive ? archive : absent_);
            case Naming::archive:
                return has_archive ? Ref::borrow(of_archive(archive)) : Ref::borrow(absent_);
            case Naming::component:
                if (has_archive) return Ref::borrow(of_archive(archive));
                if (has_object) return folder_or_object(object, backslash_.get(), slash_.get());
                return Ref::borrow(absent_);
        }
        return Ref::borrow(absent_);
    }

private:
    // What an archive contributes to a name (borrowed, kept here), null with an exception set.
    PyObject* of_archive(PyObject* archive) {
        auto found = archives_.find(archive);
        if (found != archives_.end()) return found->second.get();
        Ref made = naming_ == Naming::component ? archive_stem(archive) : file_name(archive);
        if (!made) return nullptr;
        PyObject* borrowed = made.get();
        archives_.emplace(archive, std::move(made));  // the archive text lives as long as the rows
        return borrowed;
    }

    Naming naming_;
    PyObject* absent_;
    Ref backslash_, slash_;
    std::unordered_map<PyObject*, Ref> archives_;
};

bool refuse(const char* what) noexcept {
    PyErr_Format(PyExc_TypeError, "origin_groups: %s", what);
    return false;
}

bool overflow(const char* what) noexcept {
    PyErr_Format(PyExc_OverflowError, "origin_groups: %s beyond 64 bits", what);
    return false;
}

struct Group {
    Ref key;
    std::vector<std::pair<std::size_t, long long>> entries;  // (name number, bytes), first met first
};

class Folding {
public:
    Folding(PyObject* group_of, PyObject* fallback) noexcept : group_of_(group_of), fallback_(fallback) {}

    bool ready() noexcept {
        group_numbers_ = Ref::steal(PyDict_New());
        return static_cast<bool>(group_numbers_);
    }

    // The number of a name, new ones remembered; SIZE_MAX with an exception set. Names are
    // told apart as a dict's keys are, by hash and equality.
    std::size_t name_number(Ref name) {
        Py_hash_t hash = PyObject_Hash(name.get());
        if (hash == -1 && PyErr_Occurred()) return SIZE_MAX;
        if (name_used_ * 2 >= name_slots_.size()) grow_names();
        std::size_t mask = name_slots_.size() - 1;
        for (std::size_t at = static_cast<std::size_t>(hash) & mask;; at = (at + 1) & mask) {
            NameSlot& slot = name_slots_[at];
            if (slot.number == 0) {
                slot = NameSlot{hash, names_.size() + 1};
                ++name_used_;
                break;
            }
            if (slot.hash != hash) continue;
            PyObject* known = names_[slot.number - 1].get();
            int equal = known == name.get() ? 1 : PyObject_RichCompareBool(known, name.get(), Py_EQ);
            if (equal < 0) return SIZE_MAX;
            if (equal) return slot.number - 1;
        }
        names_.push_back(std::move(name));
        counts_.push_back(0);
        by_name_.emplace_back();
        return names_.size() - 1;
    }

    bool count(std::size_t name, long long symbols) {
        if (__builtin_add_overflow(counts_[name], symbols, &counts_[name])) return overflow("a count");
        return true;
    }

    bool add(PyObject* section, std::size_t name, long long bytes) {
        std::size_t group = group_number(section);
        if (group == SIZE_MAX) return false;
        std::size_t fresh = groups_[group].entries.size();
        std::size_t entry = entry_of(group, name, fresh);
        auto& entries = groups_[group].entries;
        if (entry == fresh) entries.emplace_back(name, 0);
        if (__builtin_add_overflow(entries[entry].second, bytes, &entries[entry].second))
            return overflow("a total");
        return true;
    }

    // {group: [(name, bytes), ...]}, the `limit` largest of each when limit >= 0.
    PyObject* groups(Py_ssize_t limit) {
        Ref result = Ref::steal(PyDict_New());
        if (!result) return nullptr;
        auto before = [this](const std::pair<std::size_t, long long>& a, const std::pair<std::size_t, long long>& b) {
            if (a.second != b.second) return a.second > b.second;
            return PyUnicode_Compare(names_[a.first].get(), names_[b.first].get()) < 0;
        };
        if (limit >= 0) shown_.assign(names_.size(), false);
        for (Group& group : groups_) {
            auto& entries = group.entries;
            std::size_t shown = entries.size();
            if (limit >= 0) {
                shown = std::min(shown, static_cast<std::size_t>(limit));
                std::partial_sort(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(shown), entries.end(),
                                  before);
            }
            Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(shown)));
            if (!list) return nullptr;
            for (std::size_t i = 0; i < shown; ++i) {
                if (limit >= 0) shown_[entries[i].first] = true;
                PyObject* pair = Py_BuildValue("(OL)", names_[entries[i].first].get(), entries[i].second);
                if (pair == nullptr) return nullptr;
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);  // steals pair
            }
            if (PyDict_SetItem(result.get(), group.key.get(), list.get()) < 0) return nullptr;
        }
        return result.release();
    }

    // {name: symbols} of the names groups() gave, in the order first met (every name when it
    // gave all: a caller asks only of those it shows, and a hundred thousand made a dict of 5 MB).
    PyObject* counts(Py_ssize_t limit) {
        Ref result = Ref::steal(PyDict_New());
        if (!result) return nullptr;
        for (std::size_t i = 0; i < names_.size(); ++i) {
            if (limit >= 0 && !shown_[i]) continue;
            Ref count = Ref::steal(PyLong_FromLongLong(counts_[i]));
            if (!count || PyDict_SetItem(result.get(), names_[i].get(), count.get()) < 0) return nullptr;
        }
        return result.release();
    }

private:
    // The place of `name` among the entries of `group`, or `fresh` when it has none (then
    // remembered). A name has a few groups as a rule, kept beside it: one table of every pair
    // would be read at random, a probe that misses the caches each time.
    std::size_t entry_of(std::size_t group, std::size_t name, std::size_t fresh) {
        NameGroups& kept = by_name_[name];
        for (std::uint8_t i = 0; i < kept.count; ++i)
            if (kept.group[i] == group) return kept.entry[i];
        if (kept.spilled) {
            std::size_t entry = entries_.find_or_add(NumberPair{group, name}, fresh);
            if (entry != fresh) return entry;
        } else if (kept.count < NameGroups::inline_groups) {
            kept.group[kept.count] = group;
            kept.entry[kept.count++] = fresh;
            return fresh;
        } else {
            kept.spilled = true;
            entries_.find_or_add(NumberPair{group, name}, fresh);
        }
        return fresh;
    }

    void grow_names() {
        std::vector<NameSlot> old = std::move(name_slots_);
        name_slots_.assign(old.empty() ? 1024 : old.size() * 2, NameSlot{});
        std::size_t mask = name_slots_.size() - 1;
        for (const NameSlot& slot : old) {
            if (slot.number == 0) continue;
            std::size_t at = static_cast<std::size_t>(slot.hash) & mask;
            while (name_slots_[at].number != 0) at = (at + 1) & mask;
            name_slots_[at] = slot;
        }
    }

    std::size_t group_number(PyObject* section) {
        if (section == last_section_) return last_group_;
        auto found = section_groups_.find(section);
        std::size_t number;
        if (found != section_groups_.end()) {
            number = found->second;
        } else {
            PyObject* group = section;  // borrowed
            if (group_of_ != Py_None) {
                group = PyDict_GetItemWithError(group_of_, section);
                if (group == nullptr && PyErr_Occurred()) return SIZE_MAX;
                if (group == nullptr) group = fallback_;
            }
            PyObject* known = PyDict_GetItemWithError(group_numbers_.get(), group);  // borrowed
            if (known == nullptr && PyErr_Occurred()) return SIZE_MAX;
            if (known != nullptr) {
                number = PyLong_AsSize_t(known);
            } else {
                number = groups_.size();
                Ref key = Ref::steal(PyLong_FromSize_t(number));
                if (!key || PyDict_SetItem(group_numbers_.get(), group, key.get()) < 0) return SIZE_MAX;
                groups_.push_back(Group{Ref::borrow(group), {}});
            }
            section_groups_.emplace(section, number);  // the section text lives as long as the rows
        }
        last_section_ = section;
        last_group_ = number;
        return number;
    }

    struct NameSlot {
        Py_hash_t hash = 0;
        std::size_t number = 0;  // 1 + the name's number; 0: free
    };
    struct NameGroups {
        static constexpr std::uint8_t inline_groups = 4;
        std::size_t group[inline_groups], entry[inline_groups];
        std::uint8_t count = 0;
        bool spilled = false;  // more are in entries_
    };

    PyObject *group_of_, *fallback_;
    Ref group_numbers_;
    std::vector<NameSlot> name_slots_;
    std::size_t name_used_ = 0;
    std::vector<NameGroups> by_name_;
    std::vector<Ref> names_;
    std::vector<long long> counts_;
    std::vector<bool> shown_;  // with a limit: the names groups() gave
    std::vector<Group> groups_;
    FlatTable<NumberPair, NumberPairHash> entries_;
    std::unordered_map<PyObject*, std::size_t> section_groups_;
    PyObject* last_section_ = nullptr;
    std::size_t last_group_ = 0;
};

bool read_number(PyObject* value, long long& number, const char* what) {
    if (!PyLong_Check(value)) return refuse(what);
    number = PyLong_AsLongLong(value);
    return !(number == -1 && PyErr_Occurred());
}

// A row's origin as (object, archive), after the checks of its shape; false with an exception set.
bool row_origin(PyObject* row, PyObject*& object, PyObject*& archive) {
    if (!PyTuple_Check(row) || PyTuple_GET_SIZE(row) != 4) return refuse("a row must be a tuple of four");
    PyObject* key = PyTuple_GET_ITEM(row, 0);
    if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) != 2) return refuse("a row's origin must be a pair");
    object = PyTuple_GET_ITEM(key, 0), archive = PyTuple_GET_ITEM(key, 1);
    if (!text_or_none(object) || !text_or_none(archive)) return refuse("an object file and archive must be str or None");
    return true;
}

// One row of totals, its origin named `name`, folded in; false with an exception set.
bool fold_row(PyObject* row, Ref name, Folding& folding) {
    PyObject* sections = PyTuple_GET_ITEM(row, 3);
    if (!PyTuple_Check(sections)) return refuse("a row's sections must be a tuple");
    long long symbols = 0;
    if (!read_number(PyTuple_GET_ITEM(row, 2), symbols, "a row's count must be an int")) return false;
    std::size_t number = folding.name_number(std::move(name));
    if (number == SIZE_MAX || !folding.count(number, symbols)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(sections); ++i) {
        PyObject* pair = PyTuple_GET_ITEM(sections, i);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) return refuse("a section's bytes must be a pair");
        PyObject* section = PyTuple_GET_ITEM(pair, 0);
        if (!text_or_none(section)) return refuse("a section must be str or None");
        long long bytes = 0;
        if (!read_number(PyTuple_GET_ITEM(pair, 1), bytes, "a section's bytes must be an int") ||
            !folding.add(section, number, bytes))
            return false;
    }
    return true;
}

bool naming_of(const char* text, Naming& naming) {
    if (std::strcmp(text, "contributor") == 0) naming = Naming::contributor;
    else if (std::strcmp(text, "archive") == 0) naming = Naming::archive;
    else if (std::strcmp(text, "component") == 0) naming = Naming::component;
    else return PyErr_Format(PyExc_ValueError, "origin_groups: no naming %s", text), false;
    return true;
}

}  // namespace

PyObject* origin_names(PyObject*, PyObject* args) {
    PyObject *totals, *absent;
    const char* naming_text;
    if (!PyArg_ParseTuple(args, "OsU:origin_names", &totals, &naming_text, &absent)) return nullptr;
    Naming naming;
    if (!naming_of(naming_text, naming)) return nullptr;
    Ref rows = Ref::steal(PySequence_Tuple(totals));
    if (!rows) return nullptr;
    Namer namer(naming, absent);
    if (!namer.ready()) return nullptr;
    Ref names = Ref::steal(PyList_New(PyTuple_GET_SIZE(rows.get())));
    if (!names) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(rows.get()); ++i) {
        PyObject *object = nullptr, *archive = nullptr;
        if (!row_origin(PyTuple_GET_ITEM(rows.get(), i), object, archive)) return nullptr;
        Ref name = namer.name(object, archive);
        if (!name) return nullptr;
        PyList_SET_ITEM(names.get(), i, name.release());  // steals it
    }
    return names.release();
}

PyObject* origin_groups(PyObject*, PyObject* args) {
    PyObject *totals, *naming_given, *absent, *group_of, *fallback;
    Py_ssize_t limit;
    int counted;
    if (!PyArg_ParseTuple(args, "OOUOOnp:origin_groups", &totals, &naming_given, &absent, &group_of, &fallback, &limit,
                          &counted))
        return nullptr;
    Naming naming = Naming::contributor;
    const bool named = PyList_CheckExact(naming_given);  // the rows' names, as origin_names made them
    if (!named) {
        const char* naming_text = PyUnicode_Check(naming_given) ? PyUnicode_AsUTF8(naming_given) : nullptr;
        if (naming_text == nullptr) {
            if (!PyErr_Occurred()) refuse("naming must be a str or a list of names");
            return nullptr;
        }
        if (!naming_of(naming_text, naming)) return nullptr;
    }
    if (group_of != Py_None && !PyDict_Check(group_of)) {
        refuse("group_of must be a dict or None");
        return nullptr;
    }
    // a tuple of its own: the texts the tables below point at stay alive to the end
    Ref rows = Ref::steal(PySequence_Tuple(totals));
    if (!rows) return nullptr;
    // and the names' own list, for the same reason
    Ref names = named ? Ref::steal(PySequence_Tuple(naming_given)) : Ref();
    if (named && !names) return nullptr;
    if (named && PyTuple_GET_SIZE(names.get()) != PyTuple_GET_SIZE(rows.get())) {
        refuse("a name for each row");
        return nullptr;
    }
    Namer namer(naming, absent);
    Folding folding(group_of, fallback);
    if (!namer.ready() || !folding.ready()) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(rows.get()); ++i) {
        PyObject* row = PyTuple_GET_ITEM(rows.get(), i);
        PyObject *object = nullptr, *archive = nullptr;
        if (!row_origin(row, object, archive)) return nullptr;
        Ref name;
        if (named) {
            PyObject* given_name = PyTuple_GET_ITEM(names.get(), i);
            if (!PyUnicode_CheckExact(given_name)) {
                refuse("a row's name must be a str");
                return nullptr;
            }
            name = Ref::borrow(given_name);
        } else {
            name = namer.name(object, archive);
            if (!name) return nullptr;
        }
        if (!fold_row(row, std::move(name), folding)) return nullptr;
    }
    Ref groups = Ref::steal(folding.groups(limit));
    if (!groups || !counted) return groups.release();
    Ref counts = Ref::steal(folding.counts(limit));
    if (!counts) return nullptr;
    return PyTuple_Pack(2, groups.get(), counts.get());
}

}  // namespace tarnwick
