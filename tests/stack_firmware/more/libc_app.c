/* Calls into newlib, whose functions come without stack files: their frames are read from the
   machine code. Chains: Reset_Handler -> main -> copy_frame -> memcpy, copy_frame -> strlen,
   main -> memset; USART1_IRQHandler -> strlen. */
#include <stdint.h>
#include <string.h>

uint8_t out[64], in[64];
volatile uint32_t sink;

__attribute__((noinline)) uint32_t copy_frame(uint32_t n) {
    volatile uint8_t pad[24];
    pad[0] = (uint8_t)n;
    memcpy(out, in, n);
    return pad[0] + strlen((const char *)out);
}

void USART1_IRQHandler(void) {
    sink = strlen((const char *)in);
}

int main(void) {
    volatile uint8_t line[32];
    line[0] = 1;
    sink = copy_frame(line[0] + 40u);
    memset(in, 0, sizeof in);
    return 0;
}
