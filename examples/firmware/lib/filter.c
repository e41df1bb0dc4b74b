#include "sensor.h"

static const int16_t taps[32] = {1, 3, 7, 12, 18, 25, 31, 36, 40, 42, 42, 40, 36, 31, 25, 18,
                                 12, 7, 3, 1, 0, -1, -2, -2, -1, 0, 1, 1, 1, 0, 0, 0};
uint32_t filter_history[16];

void filter_apply(uint32_t *samples, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        int64_t acc = 0;
        for (uint32_t t = 0; t < 32; ++t) acc += (int64_t)taps[t] * samples[(i + t) % count];
        filter_history[i % 16] = (uint32_t)acc;
        samples[i] = (uint32_t)(acc >> 8);
    }
}
