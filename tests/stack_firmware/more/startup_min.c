/* A Cortex-M vector table for the builds of this folder: reset, one interrupt, SysTick. */
#include <stdint.h>

extern uint32_t _estack;
extern int main(void);
void Reset_Handler(void);
void Default_Handler(void);
void USART1_IRQHandler(void);

__attribute__((section(".isr_vector"), used))
const void *const vector_table[] = {
    &_estack, Reset_Handler, Default_Handler, Default_Handler, 0, 0, 0, 0, 0, 0, 0,
    Default_Handler, 0, 0, Default_Handler, Default_Handler, USART1_IRQHandler,
};

void Reset_Handler(void) {
    main();
    for (;;) {
    }
}

void Default_Handler(void) {
    for (;;) {
    }
}
