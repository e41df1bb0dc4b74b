/* An ESP8266-style image: no vector table, no handler names, ENTRY(call_user_start).
   Chain: call_user_start -> user_init -> work. */
volatile int sink;

__attribute__((noinline)) static int work(int x) {
    volatile int scratch[10];
    scratch[0] = x;
    return scratch[0];
}

__attribute__((noinline)) void user_init(void) {
    volatile int pad[4];
    pad[0] = 1;
    sink = work(pad[0]);
}

void call_user_start(void) {
    user_init();
    for (;;) {
    }
}
