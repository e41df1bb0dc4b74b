// A table of keys to numbers in one flat array (open addressing): the readers and the totals
// look up tens of thousands of object files and origins, one probe each as a rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace tarnwick {

// `Key` must be copyable and comparable with ==; `Hash` gives its hash.
template <class Key, class Hash>
class FlatTable {
public:
    // The number of `key`, or `fresh` when it is new (then remembered as `fresh`).
    std::size_t find_or_add(const Key& key, std::size_t fresh) {
        if (used_ * 2 >= slots_.size()) grow(slots_.empty() ? 1024 : slots_.size() * 2);
        std::uint64_t hash = Hash{}(key);
        std::size_t mask = slots_.size() - 1;
        for (std::size_t at = static_cast<std::size_t>(hash) & mask;; at = (at + 1) & mask) {
            Slot& slot = slots_[at];
            if (!slot.taken) {
                slot = Slot{hash, key, fresh, true};
                ++used_;
                return fresh;
            }
            if (slot.hash == hash && slot.key == key) return slot.number;
        }
    }

    // Room for `count` keys without growing.
    void reserve(std::size_t count) {
        std::size_t slots = slots_.empty() ? 1024 : slots_.size();
        while (slots <= count * 2) slots *= 2;
        if (slots > slots_.size()) grow(slots);
    }

    // The number of `key`, or `absent` when it has none.
    std::size_t find(const Key& key, std::size_t absent) const { return find(key, Hash{}(key), absent); }

    // The same, of a key whose hash is known. A caller looking up many keys in a row asks for
    // their slots first (`prefetch`), then for the keys those slots hold (`prefetch_key`), so
    // that their misses of the caches overlap rather than come one after another.
    std::size_t find(const Key& key, std::uint64_t hash, std::size_t absent) const {
        if (slots_.empty()) return absent;
        std::size_t mask = slots_.size() - 1;
        for (std::size_t at = static_cast<std::size_t>(hash) & mask;; at = (at + 1) & mask) {
            const Slot& slot = slots_[at];
            if (!slot.taken) return absent;
            if (slot.hash == hash && slot.key == key) return slot.number;
        }
    }

    void prefetch(std::uint64_t hash) const noexcept {
        if (!slots_.empty()) __builtin_prefetch(&slots_[static_cast<std::size_t>(hash) & (slots_.size() - 1)]);
    }
    // touch(key) with the key in the slot the hash is first looked for in, if it has that hash
    template <class Touch>
    void prefetch_key(std::uint64_t hash, Touch&& touch) const noexcept {
        if (slots_.empty()) return;
        const Slot& slot = slots_[static_cast<std::size_t>(hash) & (slots_.size() - 1)];
        if (slot.taken && slot.hash == hash) touch(slot.key);
    }

private:
    struct Slot {
        std::uint64_t hash = 0;
        Key key{};
        std::size_t number = 0;
        bool taken = false;
    };
    void grow(std::size_t slots) {  // a power of two
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(slots, Slot{});
        used_ = 0;
        std::size_t mask = slots_.size() - 1;
        for (const Slot& slot : old) {
            if (!slot.taken) continue;
            std::size_t at = static_cast<std::size_t>(slot.hash) & mask;
            while (slots_[at].taken) at = (at + 1) & mask;
            slots_[at] = slot;
            ++used_;
        }
    }
    std::vector<Slot> slots_;
    std::size_t used_ = 0;
};

// The hash of a table keyed by texts.
struct TextViewHash {
    std::uint64_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
};

}  // namespace tarnwick
