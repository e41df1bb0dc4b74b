/* The start-up code every test image shares: its vector table, and a reset handler that copies
   .data from flash and clears .bss before main. */
#include <stdint.h>

extern uint32_t _sidata, _sdata, _edata, _sbss, _ebss, _estack;
int main(void);

void Reset_Handler(void)
{
    uint32_t *from = &_sidata, *to = &_sdata;
    while (to < &_edata) *to++ = *from++;
    for (to = &_sbss; to < &_ebss;) *to++ = 0;
    main();
    for (;;) {}
}

void Default_Handler(void) { for (;;) {} }

__attribute__((section(".isr_vector"), used))
const void *const vectors[16] = {&_estack, (void *)Reset_Handler, Default_Handler, Default_Handler};
