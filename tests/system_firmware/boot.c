/* A bootloader: checks the application's header magic and jumps to its vector table. */
#include <stdint.h>

#define SLOT0 0x00008000u
#define HEADER 0x200u

static uint32_t boot_state[64];
volatile uint32_t boot_attempts = 1;

static uint32_t checksum(const uint8_t *data, uint32_t length)
{
    uint32_t sum = 0;
    for (uint32_t i = 0; i < length; i++) sum = (sum << 5) + sum + data[i];
    return sum;
}

int main(void)
{
    const uint32_t *header = (const uint32_t *)SLOT0;
    boot_state[0] = checksum((const uint8_t *)SLOT0, HEADER);
    if (header[0] != 0x96f3b83du) {
        boot_attempts++;
        for (;;) {}
    }
    const uint32_t *vectors = (const uint32_t *)(SLOT0 + HEADER);
    __asm volatile("msr msp, %0" : : "r"(vectors[0]));
    ((void (*)(void))vectors[1])();
    return 0;
}
