/* A small STM8 firmware: zero-initialised and initialised data, constants and code. */
#include <stdint.h>

uint8_t frame[64];
uint16_t history[16] = {1, 2, 3};
uint8_t counter = 3;
const uint8_t table[8] = {1, 2, 3, 4, 5, 6, 7, 8};

static uint16_t checksum(void) {
    uint16_t sum = 0;
    for (uint8_t i = 0; i < 8; ++i) sum += table[i] + frame[i];
    return sum;
}

void main(void) {
    for (;;) {
        frame[counter & 63] = (uint8_t)checksum();
        history[counter & 15] += counter;
        counter++;
    }
}
