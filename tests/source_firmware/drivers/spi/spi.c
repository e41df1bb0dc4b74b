#include <stdint.h>

static const uint32_t spi_table[16] = {1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144, 233, 377, 610, 987, 1597};

uint32_t spi_transfer(uint32_t word) {
    return spi_table[word & 15u] ^ word;
}
