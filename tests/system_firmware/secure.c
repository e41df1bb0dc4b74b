/* The secure image: two entry functions the non-secure image may call through veneers. */
#include <arm_cmse.h>
#include <stdint.h>

static uint32_t key_store[64];
static uint32_t counter;

__attribute__((cmse_nonsecure_entry)) uint32_t secure_counter_next(void)
{
    return ++counter;
}

__attribute__((cmse_nonsecure_entry)) uint32_t secure_key_digest(uint32_t index)
{
    uint32_t digest = 0x811c9dc5u;
    for (int i = 0; i < 64; i++) digest = (digest ^ key_store[(index + i) & 63]) * 0x01000193u;
    return digest;
}

int main(void)
{
    for (int i = 0; i < 64; i++) key_store[i] = (uint32_t)i * 2654435761u;
    for (;;) {}
}
