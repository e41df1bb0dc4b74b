/* The chains the stack test knows by construction:
   Reset_Handler -> main -> parse_command -> lib_checksum (libproto.a) -> scratch (proto.c's)
   main -> scratch (this file's: the same name, another frame)
   SysTick_Handler -> tick_update -> scratch (this file's)
   UART_IRQHandler -> lib_checksum -> scratch (proto.c's)
   worker_thread -> walk_tree (recursive), and a call through a pointer: not bounded.
   never_linked: called by nothing, so --gc-sections leaves it out of the image. */
#include <stdint.h>

extern uint32_t lib_checksum(const uint8_t *data, uint32_t length);
volatile uint32_t ticks, sink;
uint32_t (*volatile hook)(uint32_t);

static uint32_t scratch(uint32_t seed) {
    volatile uint8_t buffer[16];
    buffer[0] = (uint8_t)seed;
    return buffer[0];
}

uint32_t parse_command(const uint8_t *line) {
    volatile uint8_t copy[48];
    copy[0] = line[0];
    return lib_checksum((const uint8_t *)copy, 48);
}

static void tick_update(void) {
    volatile uint32_t history[6];
    history[0] = ticks;
    sink = scratch(history[0]);
}

void SysTick_Handler(void) {
    ticks++;
    tick_update();
}

void UART_IRQHandler(void) {
    static const uint8_t frame[4] = {1, 2, 3, 4};
    sink = lib_checksum(frame, 4);
}

uint32_t walk_tree(uint32_t depth) {
    volatile uint32_t node[4];
    node[0] = depth;
    return depth ? walk_tree(depth - 1) + node[0] : 0;
}

void worker_thread(void) {
    sink = walk_tree(8) + hook(1);
}

int main(void) {
    volatile uint8_t line[64];
    line[0] = 'x';
    sink = parse_command((const uint8_t *)line) + scratch(2);
    return 0;
}

void never_linked(void) {
    volatile uint32_t unused[3];
    unused[0] = 1;
    sink = unused[0];
}
