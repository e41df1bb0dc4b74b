/* The application: a static helper named like the UART driver's, and an inlined helper. */
#include <stdint.h>

extern void uart_send(const uint8_t *data, uint32_t length);
extern uint32_t spi_transfer(uint32_t word);
extern uint32_t crc32(const uint8_t *data, uint32_t length);
extern uint32_t vendor_blob(uint32_t seed);

uint8_t frame[128];
static uint32_t counter;

static __attribute__((noinline)) uint32_t util(uint32_t value) {
    volatile uint32_t scratch = value * 3u;
    return scratch + counter++;
}

static inline __attribute__((always_inline)) uint32_t mix(uint32_t a, uint32_t b) {
    return (a << 5) ^ (b >> 3) ^ (a * 2654435761u);
}

int main(void) {
    for (;;) {
        frame[0] = (uint8_t)util(frame[1]);
        frame[2] = (uint8_t)mix(crc32(frame, sizeof frame), spi_transfer(frame[3]));
        frame[4] = (uint8_t)mix(frame[5], vendor_blob(frame[6]));
        uart_send(frame, sizeof frame);
    }
}
