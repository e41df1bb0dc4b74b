/* A driver built without -fdata-sections, as many vendor SDKs are: its global buffer and the
   statics after it share one .bss input section, and a GNU ld map lists the global alone. */
#include <stdint.h>

uint8_t tx_buffer[4096];
static uint8_t rx_ring[8192];
static uint16_t rx_head;
uint8_t log_level;

uint8_t *uart_rx(void) { rx_head++; return &rx_ring[rx_head & 8191u]; }
void uart_tx(uint8_t byte) { tx_buffer[byte] = byte; log_level = byte; }
