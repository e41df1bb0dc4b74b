#include <stdint.h>

extern uint32_t _estack;
extern int main(void);
void Reset_Handler(void) { main(); }

__attribute__((section(".isr_vector"), used))
const void *const vectors[] = {&_estack, Reset_Handler};
