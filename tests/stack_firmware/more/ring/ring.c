/* A library built in a folder of its own; its archive lies in the folder above. */
#include <stdint.h>

static volatile uint8_t buffer[32];
static volatile uint32_t head;

uint32_t ring_push(uint8_t value) {
    volatile uint8_t staging[40];
    staging[0] = value;
    buffer[head++ & 31] = staging[0];
    return head;
}
