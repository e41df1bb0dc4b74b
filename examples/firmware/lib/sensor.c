#include "sensor.h"

static int32_t calibration[64];
int32_t sensor_offset = -12;

void sensor_init(void) {
    for (int i = 0; i < 64; ++i) calibration[i] = i * 3 + sensor_offset;
}

int32_t sensor_read(uint32_t channel) { return calibration[channel % 64] + (int32_t)channel; }
