/* Firmware in the shapes GNU ld counts in its own way: (COPY) heap and stack arrays, a version
   or configuration block placed by its address alone, a region of no length, thread-local
   data. Each shape is chosen with -D; the start-up code is the same for all. */
#include <stdint.h>

volatile uint32_t ticks = 7;       /* initialised data: an image in flash */
volatile uint32_t scratch[16];     /* zero-initialised */
const char banner[] = "corners";

#ifdef COPY_ARRAYS
/* ordinary zero-filled arrays, in sections the script gathers into (COPY) output sections */
uint8_t heap_area[0x800] __attribute__((section(".heap"), aligned(8), used));
uint8_t stack_area[0x400] __attribute__((section(".stack"), aligned(8), used));
uint32_t retained[4] __attribute__((section(".noinit"), used));
#endif

#ifdef VERSION_BLOCK
/* the firmware's version at the top of flash, where a bootloader reads it */
const uint8_t version[2] __attribute__((section(".version"), used)) = {3, 1};
#endif

#ifdef CONFIG_BLOCK
const uint32_t config_words[8] __attribute__((section(".config_block"), used)) = {0xc0f19, 1, 2, 3, 4, 5, 6, 7};
#endif

#ifdef CCM_BUFFER
uint32_t ccm_buffer[4] __attribute__((section(".ccm"), used));
#endif

#ifdef THREAD_LOCAL
_Thread_local uint32_t tls_counter = 5;
_Thread_local uint8_t tls_buffer[96];
void *__aeabi_read_tp(void) { return (void *)&scratch[0]; }
#endif

int main(void)
{
    uint32_t sum = ticks + scratch[3] + (uint32_t)(uintptr_t)banner;  /* its address: kept in .rodata */
#ifdef THREAD_LOCAL
    sum += tls_counter + tls_buffer[sum & 63];
#endif
    return (int)sum;
}

#ifdef __arm__
extern uint32_t _estack;
void Reset_Handler(void) { main(); for (;;) {} }
__attribute__((section(".isr_vector"), used)) void *const vectors[2] = {&_estack, (void *)Reset_Handler};
#endif
