#include <stdint.h>
void sensor_init(void);
int32_t sensor_read(uint32_t channel);
void filter_apply(uint32_t *samples, uint32_t count);
