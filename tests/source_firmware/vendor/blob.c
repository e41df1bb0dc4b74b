/* Built without -g, as a vendor's precompiled code is: no compile unit claims its bytes. */
#include <stdint.h>

uint32_t vendor_state[4];

uint32_t vendor_blob(uint32_t seed) {
    vendor_state[seed & 3u] += seed;
    return vendor_state[0] ^ seed;
}
