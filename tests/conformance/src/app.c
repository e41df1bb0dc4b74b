/* A small firmware that uses what real projects use: initialised and zero-initialised data,
 * COMMON symbols, constant tables, a no-init buffer, overlays, a RAM function and aliases. */
#include <stdint.h>

#ifndef BUFFER_WORDS
#define BUFFER_WORDS 256
#endif

uint32_t boot_count = 7;                      /* .data */
uint8_t flags8 = 1;                           /* odd-sized initialised data */
static uint32_t rx_buffer[BUFFER_WORDS];      /* a static the map never names */
uint32_t tx_buffer[BUFFER_WORDS / 2];         /* .bss */
int common_counter;                           /* COMMON with -fcommon */
const char banner[] = "conformance firmware";
static const uint16_t crc_table[64] = {1, 2, 3, 5, 8, 13, 21, 34};

#ifndef NO_SECTIONS
__attribute__((section(".noinit.log"))) uint8_t crash_log[512];
__attribute__((section(".ov_a"))) uint32_t overlay_a[40] = {1};
__attribute__((section(".ov_b"))) uint32_t overlay_b[100] = {2};
__attribute__((section(".ov_c"))) uint32_t overlay_c[10] = {3};
__attribute__((section(".ramfunc"), noinline)) void ram_write(volatile uint32_t *at, uint32_t v) { *at = v; }
#define OVERLAYS (overlay_a[0] + overlay_b[1] + overlay_c[2] + crash_log[3])
#else
#define OVERLAYS 0u
static void ram_write(volatile uint32_t *at, uint32_t v) { *at = v; }
#endif

extern uint32_t cxx_entry(uint32_t);
extern uint32_t rust_style_entry(uint32_t);

static uint32_t checksum(const uint32_t *data, uint32_t words) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < words; ++i) sum = (sum << 1) ^ data[i] ^ crc_table[i & 63];
    return sum;
}

void unused_function(void) { boot_count += 3; }  /* removed by --gc-sections */

int main(void) {
    for (uint32_t i = 0; i < BUFFER_WORDS; ++i) rx_buffer[i] = i * boot_count;
    for (uint32_t i = 0; i < BUFFER_WORDS / 2; ++i) tx_buffer[i] = rx_buffer[i] + (uint32_t)banner[i % 8];
    common_counter += (int)checksum(rx_buffer, BUFFER_WORDS) + flags8;
    ram_write((volatile uint32_t *)&tx_buffer[0], OVERLAYS + cxx_entry(3) + rust_style_entry(4));
    return common_counter;
}
