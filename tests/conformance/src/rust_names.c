/* Functions under the names rustc gives them (legacy and v0 mangling), for the demangler. */
#include <stdint.h>

__attribute__((noinline)) uint32_t legacy(uint32_t x) __asm__("_ZN4core3fmt5write17h0123456789abcdefE");
__attribute__((noinline)) uint32_t legacy(uint32_t x) { return x * 7u + 1u; }

__attribute__((noinline)) uint32_t v0(uint32_t x) __asm__("_RNvCs1234_7mycrate4main");
__attribute__((noinline)) uint32_t v0(uint32_t x) { return x ^ 0x5au; }

uint32_t rust_style_entry(uint32_t x) { return legacy(x) + v0(x); }
