/* An RTOS firmware's static threads, as Zephyr's K_THREAD_DEFINE and a FreeRTOS table of
   TaskParameters_t lay them out in the image's data, with entries whose chains are known:
   blinky_entry -> blink (Zephyr, 512 B stack); sensor_task -> filter (FreeRTOS, 128 words);
   radio_task -> encode (FreeRTOS, 64 words: too small); worker -> filter (configured). */
#include <stdint.h>

volatile uint32_t sink;

__attribute__((noinline)) static uint32_t blink(uint32_t on) {
    volatile uint32_t pattern[6];
    pattern[0] = on;
    return pattern[0];
}

__attribute__((noinline)) static uint32_t filter(uint32_t value) {
    volatile uint32_t taps[12];
    taps[0] = value;
    return taps[0];
}

__attribute__((noinline)) static uint32_t encode(uint32_t value) {
    volatile uint8_t frame[300];
    frame[0] = (uint8_t)value;
    return frame[0];
}

void blinky_entry(void *a, void *b, void *c) {
    (void)a, (void)b, (void)c;
    sink = blink(1);
}

void sensor_task(void *parameters) {
    (void)parameters;
    sink = filter(3);
}

void radio_task(void *parameters) {
    (void)parameters;
    sink = encode(4);
}

void worker(void) {
    sink = filter(5);
}

/* Zephyr: struct _static_thread_data, one pointer apart */
struct k_thread {
    uint32_t words[8];
};
struct _static_thread_data {
    struct k_thread *init_thread;
    void *init_stack;
    unsigned int init_stack_size;
    void (*init_entry)(void *, void *, void *);
    void *init_p1, *init_p2, *init_p3;
    int init_prio;
    uint32_t init_options;
    const char *init_name;
    int32_t init_delay;
};
static struct k_thread _k_thread_obj_blinky;
static uint8_t __attribute__((aligned(8))) _k_thread_stack_blinky[512];
__attribute__((used, section("._static_thread_data.static._k_thread_data_blinky")))
const struct _static_thread_data _k_thread_data_blinky = {
    &_k_thread_obj_blinky, _k_thread_stack_blinky, sizeof _k_thread_stack_blinky, blinky_entry, 0, 0, 0, 7, 0,
    "blinky", 0};

/* FreeRTOS: TaskParameters_t (with its memory regions and task buffer) */
typedef struct {
    void *base;
    uint32_t length, parameters;
} MemoryRegion_t;
typedef struct {
    void (*pvTaskCode)(void *);
    const char *pcName;
    uint16_t usStackDepth;
    void *pvParameters;
    uint32_t uxPriority;
    uint32_t *puxStackBuffer;
    MemoryRegion_t xRegions[3];
    void *pxTaskBuffer;
} TaskParameters_t;
static uint32_t sensor_stack[128], radio_stack[64];
static uint32_t sensor_tcb[24], radio_tcb[24];
uint32_t worker_stack[96];
__attribute__((used)) const TaskParameters_t task_table[] = {
    {sensor_task, "sensor", 128, 0, 2, sensor_stack, {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}}, sensor_tcb},
    {radio_task, "radio", 64, 0, 3, radio_stack, {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}}, radio_tcb},
};

int main(void) {
    worker();
    return 0;
}

void USART1_IRQHandler(void) {
}
