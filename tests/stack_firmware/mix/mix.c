/* Shapes of code whose frames and calls the machine code must show as the compiler's stack files do:
   varargs and a struct passed by value (Arm: GCC leaves the pushed argument registers out of its
   figure), switches compiled to jump tables, frames too large for an immediate, tail calls,
   calls through a table of pointers, a recursion, a trap. */
#include <stdarg.h>
#include <stdint.h>
void *memcpy(void *, const void *, unsigned long);

struct big { uint32_t words[24]; };
typedef int (*handler)(int);
extern handler table[4];
volatile uint32_t sink;

static int leaf(int x) { return x * 7 + 1; }
int sum_va(int count, ...) {
    va_list args; int total = 0;
    va_start(args, count);
    for (int i = 0; i < count; i++) total += va_arg(args, int);
    va_end(args);
    return total;
}
struct big by_value(struct big in) { in.words[3] += leaf(in.words[2]); return in; }
int uses_big(int x) { struct big b = {{0}}; b.words[1] = x; b = by_value(b); return b.words[3]; }
int64_t divide(int64_t a, int64_t b) { return a / b + a % b; }
uint32_t udiv(uint32_t a, uint32_t b) { return a / b; }
float fmix(float a, float b) { return a * b + (float)sum_va(2, (int)a, (int)b); }
double dmix(double a, int n) { double s = 0; for (int i = 0; i < n; i++) s += a / (i + 1); return s; }
int dispatch(int which, int x) { return table[which & 3](x); }
int dense_switch(int x) {
    switch (x) {
        case 0: return leaf(1); case 1: return leaf(2) + 3; case 2: return sum_va(1, x); case 3: return 11;
        case 4: return udiv(x, 3); case 5: return leaf(x); case 6: return 17; case 7: return dispatch(x, 1);
        case 8: return 23; case 9: return leaf(9) * 2; default: return 0;
    }
}
int wide_switch(int x) {
    switch (x) {
        case 0: return 1; case 10: return leaf(3); case 20: return 5; case 30: return uses_big(x);
        case 40: return 9; case 50: return 2; case 60: return leaf(6); case 70: return 8;
        case 300: return 30; case 301: return 31; case 302: return 32; case 303: return leaf(33);
        case 304: return 34; case 305: return 35; case 306: return 36; case 307: return 37; case 308: return 38;
        case 309: return 39; case 310: return 40; case 311: return 41; case 312: return 42; case 313: return 43;
        case 314: return 44; case 315: return 45; case 316: return 46; case 317: return 47; case 318: return 48;
        case 319: return 49; case 320: return 50; case 321: return 51; case 322: return 52; case 323: return 53;
        case 324: return 54; case 325: return 55; case 326: return 56; case 327: return 57; case 328: return 58;
        case 329: return 59; case 330: return 60; case 331: return 61; case 332: return 62; case 333: return 63;
        default: return -1;
    }
}
int large_frame(int x) { volatile uint8_t area[5000]; area[x & 4095] = x; return area[(x + 1) & 4095]; }
int huge_frame(int x) { volatile uint32_t area[70000]; area[x & 1023] = x; return area[3]; }
int tail_caller(int x) { return leaf(x + 2) ; }
int tail_to_global(int x) { return dense_switch(x - 1); }
int recursive(int n) { volatile int pad[3]; pad[0] = n; return n > 0 ? recursive(n - 1) + pad[0] : 0; }
void copy_words(uint32_t *to, const uint32_t *from, int n) { memcpy(to, from, n * 4u); }
int early_exit(int *p, int x) {
    if (!p) return 0;
    volatile int buffer[10];
    buffer[x & 7] = *p;
    return buffer[1] + leaf(buffer[2]);
}
int loops(const uint8_t *data, int n) {
    int acc = 0;
    for (int i = 0; i < n; i++) { acc = (acc << 1) ^ data[i]; if (acc & 0x100) acc = leaf(acc); }
    return acc;
}
int conditional_call(int x) { if (x > 3) sink = leaf(x); else sink = udiv(x, 7); return x; }
int many_regs(int a, int b, int c, int d, int e, int f) {
    int r1 = a * b, r2 = c * d, r3 = e * f, r4 = a + f, r5 = b + e, r6 = c + d, r7 = a ^ d, r8 = b ^ f;
    sink = r1; sink = r2;
    return leaf(r1 + r2) + r3 * r4 + r5 * r6 + r7 * r8 + sum_va(3, r1, r2, r3);
}
__attribute__((noinline)) int never_returns_caller(int x) { if (x == 99) __builtin_trap(); return leaf(x); }
