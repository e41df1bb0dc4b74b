/* Cortex-M start-up: the vector table the stack check reads its entry points from. */
#include <stdint.h>

extern uint32_t _estack;
extern int main(void);
void Reset_Handler(void);
void Default_Handler(void);
void SysTick_Handler(void);
void UART_IRQHandler(void);

__attribute__((section(".isr_vector"), used))
const void *const vector_table[] = {
    &_estack, Reset_Handler, Default_Handler, Default_Handler, 0, 0, 0, 0, 0, 0, 0,
    Default_Handler, 0, 0, Default_Handler, SysTick_Handler, UART_IRQHandler,
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
