/* Built with -fdata-sections: each of its variables has an input section of its own. */
#include <stdint.h>

extern uint8_t *uart_rx(void);
extern void uart_tx(uint8_t byte);
uint32_t frame_counter;
uint8_t frame[256];

int main(void) {
    for (;;) {
        frame[frame_counter++ & 255u] = *uart_rx();
        uart_tx(frame[0]);
    }
}
