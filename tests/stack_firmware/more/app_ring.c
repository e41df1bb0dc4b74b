/* Chains: Reset_Handler -> main -> ring_push; USART1_IRQHandler -> ring_push. */
#include <stdint.h>

extern uint32_t ring_push(uint8_t value);
volatile uint32_t sink;

void USART1_IRQHandler(void) {
    sink = ring_push(2);
}

int main(void) {
    volatile uint8_t line[64];
    line[0] = 1;
    sink = ring_push(line[0]);
    return 0;
}
