/* One core of a dual-core part: its own work buffer, and a mailbox both cores share. */
#include <stdint.h>

#ifndef CORE
#define CORE 0
#endif
#ifndef WORK_WORDS
#define WORK_WORDS 1024
#endif

struct mailbox { volatile uint32_t to_core[2][64]; };
__attribute__((section(".mailbox"))) struct mailbox mailbox;
static uint32_t work[WORK_WORDS];
uint32_t core_id = CORE;

int main(void)
{
    for (uint32_t i = 0;; i++) {
        work[i % WORK_WORDS] += mailbox.to_core[CORE][i & 63];
        mailbox.to_core[1 - CORE][i & 63] = work[(i * 7) % WORK_WORDS] + core_id;
    }
}
