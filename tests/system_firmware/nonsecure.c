/* The non-secure image: calls the secure image's entry functions through its veneers. */
#include <stdint.h>

uint32_t secure_counter_next(void);
uint32_t secure_key_digest(uint32_t index);

static uint32_t log_buffer[512];
uint32_t boot_count = 7;

int main(void)
{
    for (uint32_t i = 0;; i++) log_buffer[i & 511] = secure_key_digest(i) + secure_counter_next() + boot_count;
}
