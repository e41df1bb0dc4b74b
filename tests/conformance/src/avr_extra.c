/* AVR specifics: data in EEPROM and constants kept in program memory. */
#include <avr/eeprom.h>
#include <avr/pgmspace.h>
#include <stdint.h>

uint8_t EEMEM settings[32] = {1, 2, 3};
const uint8_t gamma_table[64] PROGMEM = {0, 1, 2, 4, 8, 16, 32, 64};
__attribute__((section(".noinit"))) uint8_t reset_reason;

uint32_t cxx_entry(uint32_t x) { return x + eeprom_read_byte(&settings[x & 31]) + pgm_read_byte(&gamma_table[x & 63]) + reset_reason; }
