// read_dwarf(): the compile units, functions, variables and inlined calls of an ELF's DWARF.
// Every read is checked against its section, so a hostile file ends in a ValueError.
#include "fast/dwarf.hpp"

#include <algorithm>
#include <map>
#include <memory>
#include <tuple>
#include <unordered_map>
#include <utility>

namespace tarnwick::dwarf {

namespace {

using std::string_view;

// DW_TAG, DW_AT, DW_FORM values used here
enum : std::uint64_t {
    TAG_compile_unit = 0x11, TAG_partial_unit = 0x3c, TAG_subprogram = 0x2e, TAG_variable = 0x34,
    TAG_inlined_subroutine = 0x1d,
    AT_location = 0x02, AT_name = 0x03, AT_stmt_list = 0x10, AT_low_pc = 0x11, AT_high_pc = 0x12,
    AT_comp_dir = 0x1b, AT_abstract_origin = 0x31, AT_decl_file = 0x3a, AT_decl_line = 0x3b,
    AT_specification = 0x47, AT_ranges = 0x55, AT_linkage_name = 0x6e, AT_str_offsets_base = 0x72,
    AT_addr_base = 0x73, AT_rnglists_base = 0x74, AT_MIPS_linkage_name = 0x2007,
    AT_GNU_addr_base = 0x2133, AT_GNU_ranges_base = 0x2132,
};

class Cursor {
public:
    Cursor(string_view data, bool little, std::size_t at = 0) : data_(data), at_(at), little_(little) {}
    std::size_t at() const { return at_; }
    void seek(std::size_t at) {
        if (at > data_.size()) throw Invalid("an offset past the end of its section");
        at_ = at;
    }
    bool done() const { return at_ >= data_.size(); }
    void skip(std::uint64_t count) {
        if (count > data_.size() - at_) throw Invalid("a record runs past the end of its section");
        at_ += static_cast<std::size_t>(count);
    }
    // `width` is 1 to 8; a width the file states is checked where it is read (checked_width)
    std::uint64_t fixed(int width) {
        if (width < 1 || width > 8) throw Invalid("a field of " + std::to_string(width) + " bytes");
        if (static_cast<std::size_t>(width) > data_.size() - at_) throw Invalid("a record runs past the end of its section");
        std::uint64_t value = 0;
        const auto* bytes = reinterpret_cast<const unsigned char*>(data_.data() + at_);
        for (int i = 0; i < width; ++i)
            value |= static_cast<std::uint64_t>(bytes[i]) << (little_ ? 8 * i : 8 * (width - 1 - i));
        at_ += static_cast<std::size_t>(width);
        return value;
    }
    std::uint64_t uleb() {
        std::uint64_t value = 0;
        for (int shift = 0;; shift += 7) {
            if (at_ >= data_.size()) throw Invalid("a number runs past the end of its section");
            auto byte = static_cast<unsigned char>(data_[at_++]);
            if (shift < 64) value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
            if (!(byte & 0x80)) return value;
        }
    }
    std::int64_t sleb() {
        std::int64_t value = 0;
        int shift = 0;
        unsigned char byte = 0;
        do {
            if (at_ >= data_.size()) throw Invalid("a number runs past the end of its section");
            byte = static_cast<unsigned char>(data_[at_++]);
            if (shift < 64) value |= static_cast<std::int64_t>(byte & 0x7f) << shift;
            shift += 7;
        } while (byte & 0x80);
        if (shift < 64 && (byte & 0x40)) value |= -(static_cast<std::int64_t>(1) << shift);
        return value;
    }
    string_view text() {  // a NUL-terminated string here
        std::size_t end = data_.find('\0', at_);
        if (end == string_view::npos) throw Invalid("a string runs past the end of its section");
        string_view found = data_.substr(at_, end - at_);
        at_ = end + 1;
        return found;
    }
    string_view bytes(std::uint64_t count) {
        if (count > data_.size() - at_) throw Invalid("a block runs past the end of its section");
        string_view found = data_.substr(at_, static_cast<std::size_t>(count));
        at_ += static_cast<std::size_t>(count);
        return found;
    }
    // unit_length: (length, offset size 4 or 8)
    std::pair<std::uint64_t, int> length() {
        std::uint64_t value = fixed(4);
        if (value == 0xffffffffu) return {fixed(8), 8};
        if (value >= 0xfffffff0u) throw Invalid("a reserved unit length");
        return {value, 4};
    }

private:
    string_view data_;
    std::size_t at_;
    bool little_;
};

// An address size a header states: 1, 2, 4 or 8 bytes.
int checked_width(std::uint64_t width, const char* what) {
    if (width != 1 && width != 2 && width != 4 && width != 8)
        throw Invalid(std::string(what) + " of " + std::to_string(width) + " bytes");
    return static_cast<int>(width);
}

// base + index * width, or past the end of any section where that does not fit in 64 bits.
std::uint64_t indexed_offset(std::uint64_t base, std::uint64_t index, int width) {
    std::uint64_t scaled = 0, offset = 0;
    if (__builtin_mul_overflow(index, static_cast<std::uint64_t>(width), &scaled) ||
        __builtin_add_overflow(base, scaled, &offset))
        return UINT64_MAX;
    return offset;
}

string_view string_at(string_view section, std::uint64_t offset) {
    if (offset >= section.size()) throw Invalid("a string offset past the end of its section");
    std::size_t end = section.find('\0', static_cast<std::size_t>(offset));
    if (end == string_view::npos) throw Invalid("a string runs past the end of its section");
    return section.substr(static_cast<std::size_t>(offset), end - static_cast<std::size_t>(offset));
}

struct AttributeForm {
    std::uint64_t attribute, form;
    std::int64_t implicit;  // DW_FORM_implicit_const
};

struct Abbrev {
    std::uint64_t tag = 0;
    bool children = false;
    std::vector<AttributeForm> forms;
};

using Abbrevs = std::unordered_map<std::uint64_t, Abbrev>;

// The table at `offset`; `bytes` the bytes it takes.
Abbrevs read_abbrevs(string_view section, std::uint64_t offset, bool little, std::size_t& bytes) {
    Abbrevs table;
    Cursor at(section, little);
    at.seek(static_cast<std::size_t>(std::min<std::uint64_t>(offset, section.size())));
    if (offset > section.size()) throw Invalid("an abbreviation table past the end of .debug_abbrev");
    while (true) {
        std::uint64_t code = at.uleb();
        if (code == 0) {
            bytes = at.at() - static_cast<std::size_t>(offset);
            return table;
        }
        Abbrev& entry = table[code];
        entry.tag = at.uleb();
        entry.children = at.fixed(1) != 0;
        while (true) {
            std::uint64_t attribute = at.uleb(), form = at.uleb();
            if (attribute == 0 && form == 0) break;
            std::int64_t implicit = form == 0x21 ? at.sleb() : 0;
            entry.forms.push_back({attribute, form, implicit});
        }
    }
}

// An attribute's value as read: a number (constant, offset, address, reference), a string, or
// a block; `form` says which.
struct Value {
    std::uint64_t form = 0;
    std::uint64_t number = 0;
    string_view text, block;
    bool is_text = false, is_block = false, is_index = false;  // is_index: strx/addrx/rnglistx
    bool until_nul = false;  // `text` runs on to the end of its section: the string is up to its NUL
};

// A string of a string section, known to end in a NUL: most DIEs' names are never asked for.
string_view text_in(const Value& v) {
    return v.until_nul ? v.text.substr(0, v.text.find('\0')) : v.text;
}

struct UnitHeader {
    std::size_t start, end, dies;  // the unit's first byte, one past its last, its first DIE
    int offset_size, address_size, version;
    std::uint64_t abbrev_offset;
    unsigned type;
};

class Reader {
public:
    // The paths made are bounded by what the file holds: a hostile file could join long names
    // with many folders.
    explicit Reader(const Sections& s)
        : s_(s), str_last_nul_(s.str.rfind('\0')), line_str_last_nul_(s.line_str.rfind('\0')),
          path_budget_(64 * (s.info.size() + s.str.size() + s.line.size() + s.line_str.size()) + (64u << 20)) {}

    Result run() {
        // room for what a build's DIEs name, guessed from .debug_info's size (GCC's DIEs take 15
        // bytes each on average, under half of them functions, variables or inlined calls): each
        // vector then grows in place, its pages touched once, rather than copied as it doubles
        std::size_t dies = std::min<std::size_t>(s_.info.size() / 12, std::size_t{1} << 20);
        declared_.reserve(dies);
        result_.entities.reserve(dies / 2);
        Cursor at(s_.info, s_.little);
        while (!at.done()) {
            UnitHeader header = unit_header(at);
            at.seek(header.end);
            if (header.type != 1 && header.type != 3) continue;  // type and split units: nothing placed
            unit(header);
        }
        resolve_across_units();
        return std::move(result_);
    }

private:
    UnitHeader unit_header(Cursor& at) {
        UnitHeader h{};
        h.start = at.at();
        auto [length, offset_size] = at.length();
        if (length > s_.info.size() - at.at()) throw Invalid("a compile unit runs past the end of .debug_info");
        h.end = at.at() + static_cast<std::size_t>(length);
        h.offset_size = offset_size;
        h.version = static_cast<int>(at.fixed(2));
        if (h.version < 2 || h.version > 5) throw Invalid("DWARF version " + std::to_string(h.version));
        if (h.version >= 5) {
            h.type = static_cast<unsigned>(at.fixed(1));
            h.address_size = static_cast<int>(at.fixed(1));
            h.abbrev_offset = at.fixed(offset_size);
            if (h.type == 2 || h.type == 6) at.skip(8 + offset_size);  // type units
            else if (h.type == 4 || h.type == 5) at.skip(8);  // skeleton, split compile: dwo id
        } else {
            h.type = 1;
            h.abbrev_offset = at.fixed(offset_size);
            h.address_size = static_cast<int>(at.fixed(1));
        }
        checked_width(static_cast<std::uint64_t>(h.address_size), "an address size");
        h.dies = at.at();
        return h;
    }

    Value value(Cursor& at, std::uint64_t form, std::int64_t implicit, const UnitHeader& h) {
        Value v;
        read_value(at, form, implicit, h, v);
        return v;
    }

    // A string at `offset` of a string section, checked as string_at checks it, its end found
    // only when asked for (text_in).
    static string_view string_from(string_view section, std::size_t last_nul, std::uint64_t offset) {
        if (offset >= section.size()) throw Invalid("a string offset past the end of its section");
        if (last_nul == string_view::npos || last_nul < offset) throw Invalid("a string runs past the end of its section");
        return section.substr(static_cast<std::size_t>(offset));
    }

    // Read into `v` where it lies (a DIE's attributes are read by the million).
    void read_value(Cursor& at, std::uint64_t form, std::int64_t implicit, const UnitHeader& h, Value& v) {
        v.form = form;
        v.number = 0;
        v.is_text = v.is_block = v.is_index = v.until_nul = false;
        switch (form) {
            case 0x01: v.number = at.fixed(h.address_size); break;                      // addr
            case 0x03: v.block = at.bytes(at.fixed(2)); v.is_block = true; break;        // block2
            case 0x04: v.block = at.bytes(at.fixed(4)); v.is_block = true; break;        // block4
            case 0x05: v.number = at.fixed(2); break;                                   // data2
            case 0x06: v.number = at.fixed(4); break;                                   // data4
            case 0x07: v.number = at.fixed(8); break;                                   // data8
            case 0x08: v.text = at.text(); v.is_text = true; break;                     // string
            case 0x09: case 0x18: v.block = at.bytes(at.uleb()); v.is_block = true; break;  // block, exprloc
            case 0x0a: v.block = at.bytes(at.fixed(1)); v.is_block = true; break;        // block1
            case 0x0b: case 0x0c: case 0x11: v.number = at.fixed(1); break;             // data1, flag, ref1
            case 0x0d: v.number = static_cast<std::uint64_t>(at.sleb()); break;          // sdata
            case 0x0e: case 0x1f: case 0x1d: case 0x1f21:                                // strp, line_strp, strp_sup, GNU_strp_alt
                v.number = at.fixed(h.offset_size);
                if (form == 0x0e) { v.text = string_from(s_.str, str_last_nul_, v.number); v.is_text = v.until_nul = true; }
                else if (form == 0x1f) { v.text = string_from(s_.line_str, line_str_last_nul_, v.number); v.is_text = v.until_nul = true; }
                break;
            case 0x0f: case 0x15: v.number = at.uleb(); break;                          // udata, ref_udata
            case 0x10: v.number = at.fixed(h.version <= 2 ? h.address_size : h.offset_size); break;  // ref_addr
            case 0x12: v.number = at.fixed(2); break;                                   // ref2
            case 0x13: case 0x1c: v.number = at.fixed(4); break;                        // ref4, ref_sup4
            case 0x14: case 0x20: case 0x24: v.number = at.fixed(8); break;             // ref8, ref_sig8, ref_sup8
            case 0x16: {                                                                 // indirect
                std::uint64_t actual = at.uleb();
                if (actual == 0x16) throw Invalid("an indirect form that names itself");
                read_value(at, actual, implicit, h, v);
                return;
            }
            case 0x17: case 0x1f20: v.number = at.fixed(h.offset_size); break;          // sec_offset, GNU_ref_alt
            case 0x19: v.number = 1; break;                                             // flag_present
            case 0x1a: case 0x1b: case 0x22: case 0x23: case 0x1f01: case 0x1f02:        // strx, addrx, loclistx, rnglistx
                v.number = at.uleb(); v.is_index = true; break;
            case 0x1e: at.skip(16); break;                                              // data16
            case 0x21: v.number = static_cast<std::uint64_t>(implicit); break;          // implicit_const
            case 0x25: case 0x29: v.number = at.fixed(1); v.is_index = true; break;      // strx1, addrx1
            case 0x26: case 0x2a: v.number = at.fixed(2); v.is_index = true; break;      // strx2, addrx2
            case 0x27: case 0x2b: v.number = at.fixed(3); v.is_index = true; break;      // strx3, addrx3
            case 0x28: case 0x2c: v.number = at.fixed(4); v.is_index = true; break;      // strx4, addrx4
            default: throw Invalid("attribute form " + std::to_string(form) + " is not one DWARF defines");
        }
    }

    // The unit's bases for indexed strings, addresses and range lists.
    struct Bases {
        std::uint64_t str_offsets = 8, addr = 8, rnglists = 12;
        bool str_offsets_given = false;
    };

    string_view text_of(const Value& v, const UnitHeader& h, const Bases& b) {
        if (v.is_text) return text_in(v);
        bool indexed = v.form == 0x1a || v.form == 0x1f02 || (v.form >= 0x25 && v.form <= 0x28);
        if (!indexed) return {};
        std::uint64_t base = b.str_offsets_given ? b.str_offsets : (h.offset_size == 8 ? 16 : 8);
        Cursor at(s_.str_offsets, s_.little);
        std::uint64_t offset = indexed_offset(base, v.number, h.offset_size);
        if (offset > s_.str_offsets.size()) throw Invalid("a string index past the end of .debug_str_offsets");
        at.seek(static_cast<std::size_t>(offset));
        return string_at(s_.str, at.fixed(h.offset_size));
    }

    std::uint64_t address_of(const Value& v, const UnitHeader& h, const Bases& b) {
        bool indexed = v.form == 0x1b || v.form == 0x1f01 || (v.form >= 0x29 && v.form <= 0x2c);
        if (!indexed) return v.number;
        Cursor at(s_.addr, s_.little);
        std::uint64_t offset = indexed_offset(b.addr, v.number, h.address_size);
        if (offset > s_.addr.size()) throw Invalid("an address index past the end of .debug_addr");
        at.seek(static_cast<std::size_t>(offset));
        return at.fixed(h.address_size);
    }

    // The address a location expression names when it is one address (DW_OP_addr, DW_OP_addrx).
    bool location_address(string_view block, const UnitHeader& h, const Bases& b, std::uint64_t& address) {
        if (block.empty()) return false;
        Cursor at(block, s_.little);
        auto op = static_cast<unsigned char>(block[0]);
        at.skip(1);
        if (op == 0x03) {  // DW_OP_addr
            address = at.fixed(h.address_size);
            return at.done();
        }
        if (op == 0xa1 || op == 0xfb) {  // DW_OP_addrx, DW_OP_GNU_addr_index
            Value index;
            index.form = 0x1b;
            index.number = at.uleb();
            address = address_of(index, h, b);
            return at.done();
        }
        return false;
    }

    // A range list, read once however many DIEs name it (with the same bases): a hostile file
    // could point every DIE at one long list.
    std::shared_ptr<const RangeList> ranges_of(const Value& v, const UnitHeader& h, const Bases& b, std::uint64_t base) {
        std::uint64_t offset = v.number;
        if (h.version >= 5 && (v.is_index || v.form == 0x23)) {
            Cursor table(s_.rnglists, s_.little);
            std::uint64_t at_offset = indexed_offset(b.rnglists, v.number, h.offset_size);
            if (at_offset > s_.rnglists.size()) throw Invalid("a range list index past the end of .debug_rnglists");
            table.seek(static_cast<std::size_t>(at_offset));
            offset = b.rnglists + table.fixed(h.offset_size);
        }
        auto key = std::make_tuple(h.version >= 5, offset, base, b.addr, h.address_size);
        auto known = range_lists_.find(key);
        if (known != range_lists_.end()) return known->second;
        auto list = std::make_shared<RangeList>();
        list->ranges = read_ranges(offset, h, b, base);
        for (const Range& r : list->ranges)
            if (r.high > r.low && __builtin_add_overflow(list->bytes, r.high - r.low, &list->bytes)) list->bytes = UINT64_MAX;
        return range_lists_.emplace(key, std::move(list)).first->second;
    }

    std::vector<Range> read_ranges(std::uint64_t offset, const UnitHeader& h, const Bases& b, std::uint64_t base) {
        std::vector<Range> found;
        if (h.version >= 5) {
            Cursor at(s_.rnglists, s_.little);
            at.seek(static_cast<std::size_t>(std::min<std::uint64_t>(offset, s_.rnglists.size())));
            for (int guard = 0; guard < 1'000'000; ++guard) {
                auto kind = at.fixed(1);
                Value index;
                index.form = 0x1b;
                switch (kind) {
                    case 0: return found;
                    case 1: index.number = at.uleb(); base = address_of(index, h, b); break;
                    case 2: { index.number = at.uleb(); std::uint64_t lo = address_of(index, h, b);
                              index.number = at.uleb(); found.push_back({lo, address_of(index, h, b)}); break; }
                    case 3: { index.number = at.uleb(); std::uint64_t lo = address_of(index, h, b);
                              found.push_back({lo, lo + at.uleb()}); break; }
                    case 4: { std::uint64_t lo = at.uleb(), hi = at.uleb(); found.push_back({base + lo, base + hi}); break; }
                    case 5: base = at.fixed(h.address_size); break;
                    case 6: { std::uint64_t lo = at.fixed(h.address_size); found.push_back({lo, at.fixed(h.address_size)}); break; }
                    case 7: { std::uint64_t lo = at.fixed(h.address_size); found.push_back({lo, lo + at.uleb()}); break; }
                    default: throw Invalid("a range list entry of an unknown kind");
                }
            }
            throw Invalid("a range list without an end");
        }
        Cursor at(s_.ranges, s_.little);
        if (offset > s_.ranges.size()) throw Invalid("a range list past the end of .debug_ranges");
        at.seek(static_cast<std::size_t>(offset));
        std::uint64_t largest = h.address_size == 8 ? ~0ull : (1ull << (8 * h.address_size)) - 1;
        for (int guard = 0; guard < 1'000'000; ++guard) {
            std::uint64_t lo = at.fixed(h.address_size), hi = at.fixed(h.address_size);
            if (lo == 0 && hi == 0) return found;
            if (lo == largest) base = hi;
            else found.push_back({base + lo, base + hi});
        }
        throw Invalid("a range list without an end");
    }

    // The abbreviation table at `offset`, read once however many units share it. Tables do not
    // overlap: reading more bytes in all than the section holds is a damaged file, whose units
    // would otherwise cost their number times the table's size.
    const Abbrevs& abbreviations_at(std::uint64_t offset) {
        auto found = abbreviations_.find(offset);
        if (found != abbreviations_.end()) return found->second;
        std::size_t bytes = 0;
        Abbrevs table = read_abbrevs(s_.abbrev, offset, s_.little, bytes);
        abbreviation_bytes_ += bytes;
        if (abbreviation_bytes_ > s_.abbrev.size()) throw Invalid("abbreviation tables that overlap");
        return abbreviations_.emplace(offset, std::move(table)).first->second;
    }

    // What a DIE says of itself that other DIEs may refer to (the declaration a definition completes, an abstract origin).
    struct Named {
        string_view name, linkage;
        long file = -1;
        std::uint64_t line = 0;
        std::uint64_t origin = 0;  // the declaration it completes or its abstract origin, 0 when none
    };

    // A DIE that names something (DIE offset in .debug_info, what it says, its unit). Kept in one
    // vector in the order the DIEs are read, which is their offsets' order: a unit's are a slice
    // of it, and both are searched by halves (no table of nodes to build and free per DIE).
    struct Declared {
        std::uint64_t die;
        Named named;
        std::size_t unit;
    };

    static const Declared* find_declared(const Declared* begin, const Declared* end, std::uint64_t die) {
        const Declared* found = std::lower_bound(begin, end, die,
                                                 [](const Declared& d, std::uint64_t at) { return d.die < at; });
        return found != end && found->die == die ? found : nullptr;
    }

    void unit(const UnitHeader& h) {
        const Abbrevs& abbrevs = abbreviations_at(h.abbrev_offset);
        Cursor at(s_.info, s_.little, h.dies);
        Bases bases;
        std::size_t unit_index = result_.units.size();
        result_.units.push_back({});
        Unit& unit = result_.units.back();
        std::size_t first_named = declared_.size();  // this unit's DIEs that name something, in declared_
        struct Pending {
            Kind kind;
            std::uint64_t die, low, size;
        };
        std::vector<Pending> pending;
        FileNames* files = nullptr;
        std::uint64_t unit_low = 0;
        int depth = 0;
        bool first = true;
        std::vector<std::pair<std::uint64_t, Value>> values;
        while (at.at() < h.end) {
            std::size_t die = at.at();
            std::uint64_t code = at.uleb();
            if (code == 0) {
                if (--depth <= 0) break;
                continue;
            }
            auto found = abbrevs.find(code);
            if (found == abbrevs.end()) throw Invalid("a DIE with an abbreviation code its table lacks");
            const Abbrev& abbrev = found->second;
            values.resize(abbrev.forms.size());  // read in place: no Value copied per attribute
            for (std::size_t i = 0; i < abbrev.forms.size(); ++i) {
                const AttributeForm& form = abbrev.forms[i];
                values[i].first = form.attribute;
                read_value(at, form.form, form.implicit, h, values[i].second);
            }
            if (first) {  // the unit's own DIE: its bases hold for every indexed string and address after
                first = false;
                if (abbrev.tag != TAG_compile_unit && abbrev.tag != TAG_partial_unit) break;
                for (auto& [attribute, v] : values) {
                    if (attribute == AT_str_offsets_base) { bases.str_offsets = v.number; bases.str_offsets_given = true; }
                    if (attribute == AT_addr_base || attribute == AT_GNU_addr_base) bases.addr = v.number;
                    if (attribute == AT_rnglists_base) bases.rnglists = v.number;
                }
            }
            Named self;
            std::uint64_t low = 0, high = 0;
            bool has_low = false, has_high = false, high_is_offset = false, has_location = false, has_ranges = false;
            std::uint64_t location = 0;
            Value ranges_value, stmt_list;
            bool has_stmt = false;
            for (auto& [attribute, v] : values) {
                switch (attribute) {
                    case AT_name: self.name = text_of(v, h, bases); break;
                    case AT_linkage_name: case AT_MIPS_linkage_name: self.linkage = text_of(v, h, bases); break;
                    case AT_decl_file: self.file = static_cast<long>(v.number); break;
                    case AT_decl_line: self.line = v.number; break;
                    case AT_specification: case AT_abstract_origin:
                        self.origin = v.form == 0x10 ? v.number : h.start + v.number;
                        break;
                    case AT_low_pc: low = address_of(v, h, bases); has_low = true; break;
                    case AT_high_pc:
                        high = v.form == 0x01 || v.is_index ? address_of(v, h, bases) : v.number;
                        high_is_offset = !(v.form == 0x01 || v.is_index);
                        has_high = true;
                        break;
                    case AT_ranges: ranges_value = v; has_ranges = true; break;
                    case AT_location:
                        if (v.is_block) has_location = location_address(v.block, h, bases, location);
                        break;
                    case AT_comp_dir: unit.folder = text_of(v, h, bases); break;
                    case AT_stmt_list: stmt_list = v; has_stmt = true; break;
                    default: break;
                }
            }
            if (has_high && high_is_offset) high = low + high;
            if (die == h.dies) {  // the unit's own DIE
                unit.name = self.name;
                unit_low = has_low ? low : 0;
                if (has_ranges) unit.ranges = ranges_of(ranges_value, h, bases, unit_low);
                else if (has_low && has_high && high > low)
                    unit.ranges = std::make_shared<RangeList>(RangeList{{{low, high}}, high - low});
                if (has_stmt) files = &file_names(stmt_list.number, h, unit.folder);
                if (abbrev.children) ++depth;
                continue;
            }
            if (!self.name.empty() || !self.linkage.empty() || self.file >= 0 || self.origin)
                declared_.push_back({die, self, unit_index});
            if (abbrev.tag == TAG_subprogram && has_low) {
                pending.push_back({Kind::function, die, low, has_high && high > low ? high - low : 0});
            } else if (abbrev.tag == TAG_variable && has_location) {
                pending.push_back({Kind::variable, die, location, 0});
            } else if (abbrev.tag == TAG_inlined_subroutine && self.origin) {
                std::uint64_t bytes = 0;
                if (has_ranges) bytes = ranges_of(ranges_value, h, bases, unit_low)->bytes;
                else if (has_low && has_high && high > low) bytes = high - low;
                if (bytes) pending.push_back({Kind::inlined, die, 0, bytes});
            }
            if (abbrev.children) ++depth;
        }
        keep_declarations(first_named, unit_index, files);
        const Declared* named = declared_.data() + first_named;
        const Declared* named_end = declared_.data() + declared_.size();
        for (const Pending& p : pending) {
            std::uint64_t elsewhere = 0;
            Named resolved = resolve(named, named_end, p.die, &elsewhere);
            Entity entity{p.kind, resolved.name, resolved.linkage == resolved.name ? string_view{} : resolved.linkage,
                          unit_index, -1, resolved.line, p.low, p.size};
            if (elsewhere && (resolved.file < 0 || (entity.name.empty() && entity.linkage.empty()))) {
                defer(entity, resolved, elsewhere);  // declared in another unit: an LTO build's
                continue;
            }
            if (resolved.file >= 0 && files != nullptr) entity.file = file_place(*files, resolved.file);
            if (entity.name.empty() && entity.linkage.empty()) continue;
            result_.entities.push_back(entity);
        }
    }

    // A DIE's name, linkage name, file and line, taken from what it refers to where it lacks them;
    // `elsewhere` the reference that leads out of the unit, where one does.
    static Named resolve(const Declared* named, const Declared* named_end, std::uint64_t die,
                         std::uint64_t* elsewhere = nullptr) {
        Named result;
        std::uint64_t at = die;
        for (int hops = 0; hops < 8 && at; ++hops) {
            const Declared* found = find_declared(named, named_end, at);
            if (found == nullptr) {
                if (elsewhere != nullptr && at != die) *elsewhere = at;
                break;
            }
            const Named& n = found->named;
            if (result.name.empty()) result.name = n.name;
            if (result.linkage.empty()) result.linkage = n.linkage;
            if (result.file < 0) { result.file = n.file; result.line = n.line; }
            at = n.origin;
        }
        return result;
    }

    // A line table's folders and file names as it states them, read once however many units
    // share it. Its folder 0 before version 5 is the unit's own (an empty view here).
    struct LineTable {
        int version = 0;
        std::vector<string_view> folders;
        std::vector<std::pair<string_view, std::uint64_t>> names;  // (name, folder)
    };

    // The table at `offset` (a version-0 table without names where the offset lies past the
    // section). Tables do not overlap: more bytes in all than the section holds is a damaged file.
    const LineTable& line_table_at(std::uint64_t offset, const UnitHeader& unit) {
        auto found = line_tables_.find(offset);
        if (found != line_tables_.end()) return found->second;
        LineTable table;
        if (offset < s_.line.size()) table = read_line_table(static_cast<std::size_t>(offset), unit);
        return line_tables_.emplace(offset, std::move(table)).first->second;
    }

    LineTable read_line_table(std::size_t offset, const UnitHeader& unit) {
        LineTable table;
        Cursor whole(s_.line, s_.little, offset);
        auto [length, offset_size] = whole.length();
        std::size_t end = whole.at() + static_cast<std::size_t>(std::min<std::uint64_t>(length, s_.line.size() - whole.at()));
        line_bytes_ += end - offset;
        if (line_bytes_ > s_.line.size()) throw Invalid("line tables that overlap");
        Cursor at(s_.line.substr(0, end), s_.little, whole.at());  // no read leaves the table
        int version = static_cast<int>(at.fixed(2));
        if (version < 2 || version > 5) throw Invalid("line table version " + std::to_string(version));
        table.version = version;
        int address_size = unit.address_size;
        if (version >= 5) {
            address_size = checked_width(at.fixed(1), "a line table's address size");
            at.skip(1);  // segment selector size
        }
        at.fixed(offset_size);  // header length
        at.skip(version >= 4 ? 5 : 4);  // instruction length, [max ops], default is_stmt, line base, line range
        std::uint64_t opcode_base = at.fixed(1);
        at.skip(opcode_base ? opcode_base - 1 : 0);
        UnitHeader forms = unit;
        forms.offset_size = offset_size;
        forms.address_size = address_size;
        forms.version = version;
        if (version >= 5) {
            for (int part = 0; part < 2; ++part) {
                std::vector<std::pair<std::uint64_t, std::uint64_t>> format;
                std::uint64_t kinds = at.fixed(1);
                for (std::uint64_t i = 0; i < kinds; ++i) format.push_back({at.uleb(), at.uleb()});
                std::uint64_t count = at.uleb();
                if (count > end - at.at()) throw Invalid("a line table with more entries than bytes");
                for (std::uint64_t i = 0; i < count; ++i) {
                    string_view path;
                    std::uint64_t directory = 0;
                    for (auto [kind, form] : format) {
                        Value v = value(at, form, 0, forms);
                        if (kind == 1) path = v.is_text ? text_in(v) : string_view{};
                        if (kind == 2) directory = v.number;
                    }
                    if (part == 0) table.folders.push_back(path);
                    else table.names.push_back({path, directory});
                }
            }
        } else {
            table.folders.push_back({});
            while (true) {
                string_view name = at.text();
                if (name.empty()) break;
                table.folders.push_back(name);
            }
            while (at.at() < end) {
                string_view name = at.text();
                if (name.empty()) break;
                std::uint64_t directory = at.uleb();
                at.uleb();
                at.uleb();
                table.names.push_back({name, directory});
            }
        }
        return table;
    }

    // A unit's file names (a line table seen from a unit's folder), each joined with its folders
    // when an entity first names it: units that share a table pay for the files they name.
    struct FileNames {
        const LineTable* table;
        string_view folder;
        std::unordered_map<std::uint64_t, std::size_t> places;  // by file number: place in result_.paths
    };

    FileNames& file_names(std::uint64_t offset, const UnitHeader& unit, string_view folder) {
        const LineTable& table = line_table_at(offset, unit);
        auto key = std::make_pair(offset, std::string(folder));
        auto found = file_names_.find(key);
        if (found == file_names_.end()) found = file_names_.emplace(std::move(key), FileNames{&table, folder, {}}).first;
        return found->second;
    }

    // The place in result_.paths of file `file` of a unit's line table, or -1 for none. A version
    // 5 line table numbers its files from 0, the earlier ones from 1 (0: none); GCC may pair a
    // version 5 unit with an older line table.
    long file_place(FileNames& files, long file) {
        const LineTable& table = *files.table;
        long index = table.version >= 5 ? file : file - 1;
        if (index < 0 || static_cast<std::size_t>(index) >= table.names.size()) return -1;
        auto known = files.places.find(static_cast<std::uint64_t>(index));
        if (known != files.places.end()) return static_cast<long>(known->second);
        auto [name, directory] = table.names[static_cast<std::size_t>(index)];
        string_view folder = files.folder;
        std::string path(name);
        string_view stated = directory < table.folders.size()
                                 ? (directory == 0 && table.version < 5 ? folder : table.folders[directory])
                                 : string_view{};
        if (!absolute(path) && !stated.empty()) {
            std::string base(stated);
            if (!absolute(base) && directory != 0 && !folder.empty()) base = std::string(folder) + "/" + base;
            path = base + "/" + path;
        } else if (!absolute(path) && !folder.empty()) {
            path = std::string(folder) + "/" + path;
        }
        path_bytes_ += path.size();
        if (path_bytes_ > path_budget_) throw Invalid("file names longer in all than the debug information could hold");
        std::size_t place = place_of(path);
        files.places.emplace(static_cast<std::uint64_t>(index), place);
        return static_cast<long>(place);
    }

    static bool absolute(const std::string& path) {
        return !path.empty() && (path[0] == '/' || path[0] == '\\' || (path.size() > 2 && path[1] == ':'));
    }

    std::size_t place_of(const std::string& path) {
        auto found = path_places_.find(path);
        if (found != path_places_.end()) return found->second;
        std::size_t place = result_.paths.size();
        result_.paths.push_back(path);
        path_places_.emplace(path, place);
        return place;
    }

    // --- references across units (LTO: the link-time unit "<artificial>" refers to the early
    // units that declare each function and variable, which may come after it) -----------------


    struct Deferred {
        Entity entity;
        Named found;  // what the unit itself says
        std::uint64_t origin;
    };

    void keep_declarations(std::size_t first, std::size_t unit, FileNames* files) {
        // offsets only grow as the units are read; sorted here should a file ever say otherwise
        auto slice = declared_.begin() + static_cast<std::ptrdiff_t>(first);
        auto by_die = [](const Declared& a, const Declared& b) { return a.die < b.die; };
        if (!std::is_sorted(slice, declared_.end(), by_die)) std::stable_sort(slice, declared_.end(), by_die);
        if (first > 0 && first < declared_.size() && declared_[first - 1].die >= declared_[first].die) units_in_order_ = false;
        if (unit_files_.size() <= unit) unit_files_.resize(unit + 1, nullptr);
        unit_files_[unit] = files;
    }

    void defer(const Entity& entity, const Named& found, std::uint64_t origin) {
        deferred_.push_back({entity, found, origin});
    }

    // The entities whose declaration lies in another unit, once every unit is read: the name,
    // file and line from the first declaration along the references, its file counted in the
    // line table of the unit that declares it.
    void resolve_across_units() {
        if (deferred_.empty()) return;
        if (!units_in_order_)
            std::stable_sort(declared_.begin(), declared_.end(), [](const Declared& a, const Declared& b) { return a.die < b.die; });
        const Declared* all = declared_.data();
        const Declared* all_end = all + declared_.size();
        for (Deferred& d : deferred_) {
            Named result = d.found;
            long file = result.file;
            std::size_t file_unit = d.entity.unit;
            std::uint64_t at = d.origin;
            for (int hops = 0; hops < 8 && at; ++hops) {
                const Declared* found = find_declared(all, all_end, at);
                if (found == nullptr) break;
                const Named& n = found->named;
                if (result.name.empty()) result.name = n.name;
                if (result.linkage.empty()) result.linkage = n.linkage;
                if (file < 0 && n.file >= 0) {
                    file = n.file;
                    result.line = n.line;
                    file_unit = found->unit;
                }
                at = n.origin;
            }
            Entity entity = d.entity;
            entity.name = result.name;
            entity.linkage = result.linkage == result.name ? string_view{} : result.linkage;
            entity.line = result.line;
            FileNames* files = file >= 0 && file_unit < unit_files_.size() ? unit_files_[file_unit] : nullptr;
            if (files != nullptr) {
                long place = file_place(*files, file);
                if (place >= 0) {
                    entity.file = place;
                    entity.unit = file_unit;  // its path is the declaring unit's, relative to that unit's folder
                }
            }
            if (entity.name.empty() && entity.linkage.empty()) continue;
            result_.entities.push_back(entity);
        }
        deferred_.clear();
    }

    std::vector<Declared> declared_;
    bool units_in_order_ = true;
    std::vector<FileNames*> unit_files_;  // each unit's file names (in file_names_, whose nodes stay put)
    std::vector<Deferred> deferred_;

    const Sections& s_;
    std::size_t str_last_nul_, line_str_last_nul_;  // where the last string of each ends
    Result result_;
    std::unordered_map<std::uint64_t, Abbrevs> abbreviations_;  // by offset in .debug_abbrev
    std::size_t abbreviation_bytes_ = 0;
    std::unordered_map<std::uint64_t, LineTable> line_tables_;  // by offset in .debug_line
    std::size_t line_bytes_ = 0;
    std::map<std::pair<std::uint64_t, std::string>, FileNames> file_names_;  // by line table and unit folder
    std::size_t path_bytes_ = 0, path_budget_;
    // by (version 5, offset, base address, .debug_addr base, address size)
    std::map<std::tuple<bool, std::uint64_t, std::uint64_t, std::uint64_t, int>, std::shared_ptr<const RangeList>> range_lists_;
    std::unordered_map<std::string, std::size_t> path_places_;
};

}  // namespace

Result read(const Sections& sections) {
    return Reader(sections).run();
}

}  // namespace tarnwick::dwarf

namespace tarnwick {

namespace {

PyObject* text_object(std::string_view text) noexcept {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

constexpr int section_count = 9;

// The sections as the caller gave them, held for as long as what was read points into them.
struct HeldSections {
    Py_buffer views[section_count];
    HeldSections() noexcept {
        for (Py_buffer& view : views) view.obj = nullptr;
    }
    HeldSections(const HeldSections&) = delete;
    HeldSections& operator=(const HeldSections&) = delete;
    ~HeldSections() {
        for (Py_buffer& view : views)
            if (view.obj != nullptr) PyBuffer_Release(&view);
    }
    std::string_view view(int i) const noexcept {
        return std::string_view(static_cast<const char*>(views[i].buf), static_cast<std::size_t>(views[i].len));
    }
};

struct Held {
    HeldSections sections;
    dwarf::Result result;
};

struct DebugEntitiesObject {
    PyObject_HEAD
    Held* held;
};

PyTypeObject debug_entities_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

void debug_entities_dealloc(PyObject* self) noexcept {
    delete reinterpret_cast<DebugEntitiesObject*>(self)->held;  // no Python code runs here: buffers of bytes
    Py_TYPE(self)->tp_free(self);
}

Py_ssize_t debug_entities_length(PyObject* self) noexcept {
    return static_cast<Py_ssize_t>(reinterpret_cast<DebugEntitiesObject*>(self)->held->result.entities.size());
}

// An entity as a tuple: (kind, name, linkage or None, unit, path or -1, line, address, size).
PyObject* debug_entities_item(PyObject* self, Py_ssize_t index) noexcept {
    const auto& entities = reinterpret_cast<DebugEntitiesObject*>(self)->held->result.entities;
    if (index < 0 || static_cast<std::size_t>(index) >= entities.size()) {
        PyErr_SetString(PyExc_IndexError, "DebugEntities index out of range");
        return nullptr;
    }
    const dwarf::Entity& e = entities[static_cast<std::size_t>(index)];
    Ref row = Ref::steal(PyTuple_New(8));
    if (!row) return nullptr;
    PyObject* fields[8] = {PyLong_FromLong(static_cast<long>(e.kind)), text_object(e.name),
                           e.linkage.empty() ? Py_NewRef(Py_None) : text_object(e.linkage),
                           PyLong_FromSize_t(e.unit), PyLong_FromLong(e.file),
                           PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(e.line)),
                           PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(e.low)),
                           PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(e.size))};
    bool made = true;
    for (int field = 0; field < 8; ++field) {
        made = made && fields[field] != nullptr;
        PyTuple_SET_ITEM(row.get(), field, fields[field]);  // steals; a null slot the tuple leaves alone
    }
    return made ? row.release() : nullptr;
}

PySequenceMethods debug_entities_sequence = {
    debug_entities_length, nullptr, nullptr, debug_entities_item,
};

}  // namespace

const dwarf::Result* debug_entities_of(PyObject* object) noexcept {
    if (Py_TYPE(object) != &debug_entities_type) return nullptr;
    return &reinterpret_cast<DebugEntitiesObject*>(object)->held->result;
}

int add_debug_entities_type(PyObject* module) noexcept {
    if (debug_entities_type.tp_flags == 0) {  // readied once, however many times the module is made
        debug_entities_type.tp_name = "tarnwick._native.DebugEntities";
        debug_entities_type.tp_basicsize = sizeof(DebugEntitiesObject);
        debug_entities_type.tp_dealloc = debug_entities_dealloc;
        debug_entities_type.tp_as_sequence = &debug_entities_sequence;
        debug_entities_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
        debug_entities_type.tp_doc = "The functions, variables and inlined calls read_dwarf read: a sequence of "
                                     "(kind, name, linkage, unit, path, line, address, size), each made when asked for.";
        if (PyType_Ready(&debug_entities_type) < 0) {
            debug_entities_type.tp_flags = 0;
            return -1;
        }
    }
    return PyModule_AddObjectRef(module, "DebugEntities", reinterpret_cast<PyObject*>(&debug_entities_type));
}

PyObject* read_dwarf(PyObject*, PyObject* args) {
    auto held = std::make_unique<Held>();
    Py_buffer* views = held->sections.views;
    int little = 1;
    if (!PyArg_ParseTuple(args, "y*y*y*y*y*y*y*y*y*p:read_dwarf", &views[0], &views[1], &views[2], &views[3],
                          &views[4], &views[5], &views[6], &views[7], &views[8], &little))
        return nullptr;
    const HeldSections& s = held->sections;
    dwarf::Sections sections{s.view(0), s.view(1), s.view(2), s.view(3), s.view(4), s.view(5), s.view(6), s.view(7),
                             s.view(8), little != 0};
    held->result = dwarf::read(sections);
    const dwarf::Result& result = held->result;
    Ref paths = Ref::steal(PyList_New(static_cast<Py_ssize_t>(result.paths.size())));
    if (!paths) return nullptr;
    for (std::size_t i = 0; i < result.paths.size(); ++i) {
        PyObject* text = text_object(result.paths[i]);
        if (text == nullptr) return nullptr;
        PyList_SET_ITEM(paths.get(), static_cast<Py_ssize_t>(i), text);
    }
    Ref units = Ref::steal(PyList_New(0));
    if (!units) return nullptr;
    Ref no_ranges = Ref::steal(PyTuple_New(0));
    if (!no_ranges) return nullptr;
    std::unordered_map<const dwarf::RangeList*, Ref> range_tuples;  // one tuple per list the units share
    for (const dwarf::Unit& unit : result.units) {
        PyObject* ranges = no_ranges.get();  // borrowed
        if (unit.ranges) {
            Ref& made = range_tuples[unit.ranges.get()];
            if (!made) {
                const std::vector<dwarf::Range>& list = unit.ranges->ranges;
                made = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(list.size())));
                if (!made) return nullptr;
                for (std::size_t i = 0; i < list.size(); ++i) {
                    Ref low = Ref::steal(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(list[i].low)));
                    Ref high = Ref::steal(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(list[i].high)));
                    PyObject* pair = low && high ? PyTuple_Pack(2, low.get(), high.get()) : nullptr;
                    if (pair == nullptr) return nullptr;
                    PyTuple_SET_ITEM(made.get(), static_cast<Py_ssize_t>(i), pair);
                }
            }
            ranges = made.get();
        }
        Ref name = Ref::steal(text_object(unit.name));
        Ref folder = Ref::steal(text_object(unit.folder));
        Ref row = Ref::steal(name && folder ? PyTuple_Pack(3, name.get(), folder.get(), ranges) : nullptr);
        if (!row || PyList_Append(units.get(), row.get()) != 0) return nullptr;
    }
    Ref entities = Ref::steal(PyType_GenericAlloc(&debug_entities_type, 0));
    if (!entities) return nullptr;
    reinterpret_cast<DebugEntitiesObject*>(entities.get())->held = held.release();
    return PyTuple_Pack(3, paths.get(), units.get(), entities.get());
}

}  // namespace tarnwick
