/* A small 8051 firmware: data in each of the three address spaces, constants and code. */
#include <stdint.h>

__xdata uint8_t frame[64];
__xdata uint16_t history[16] = {1, 2, 3};
__data uint8_t counter = 3;
__idata uint8_t scratch[12];
__code const uint8_t table[8] = {1, 2, 3, 4, 5, 6, 7, 8};

static uint16_t checksum(void) {
    uint16_t sum = 0;
    for (uint8_t i = 0; i < 8; ++i) sum += table[i] + frame[i] + scratch[i];
    return sum;
}

void main(void) {
    for (;;) {
        frame[counter & 63] = (uint8_t)checksum();
        history[counter & 15] += counter;
        counter++;
    }
}
