#include <stdint.h>
#include "../lib/sensor.h"

#ifndef FRAME_BUFFER_BYTES
#define FRAME_BUFFER_BYTES 4096
#endif
#ifndef DMA_RING_WORDS
#define DMA_RING_WORDS 512
#endif

static uint8_t frame_buffer[FRAME_BUFFER_BYTES];
uint32_t boot_count = 7;
const char banner[] = "tarnwick demo firmware v1.0 - sensor node";
__attribute__((section(".ccmram"))) uint32_t dma_ring[DMA_RING_WORDS];

__attribute__((section(".ramfunc"), noinline)) void flash_program_word(volatile uint32_t *addr,
                                                                      uint32_t value) {
    *addr = value;
}

static uint32_t checksum(const uint8_t *data, uint32_t length) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < length; ++i) sum = (sum << 1) ^ data[i];
    return sum;
}

int main(void) {
    sensor_init();
    for (uint32_t i = 0; i < sizeof frame_buffer; ++i) frame_buffer[i] = (uint8_t)sensor_read(i);
    dma_ring[0] = checksum(frame_buffer, sizeof frame_buffer) + boot_count + (uint32_t)banner[0];
    filter_apply(dma_ring, DMA_RING_WORDS);
    flash_program_word((volatile uint32_t *)0x0801F000u, dma_ring[0]);
    return 0;
}
