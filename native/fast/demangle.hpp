// Readable names for mangled symbols: C++ (Itanium ABI) and Rust (legacy and v0 mangling).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarnwick::demangle {

// The readable form of a mangled name, or nothing when the name is not mangled (or is
// malformed). Rust names lose their hash suffix, as rustc's own demangler shows them.
std::optional<std::string> symbol(std::string_view name);

// The readable form of a symbol or of an input section named after one
// (".text._ZN7sensors6filterEv" -> ".text.sensors::filter()"); nothing when nothing changes.
std::optional<std::string> shown(std::string_view name);

}  // namespace tarnwick::demangle
