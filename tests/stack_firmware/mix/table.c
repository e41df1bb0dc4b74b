/* The rest of the program: the table of handlers, an entry point. */
typedef int (*handler)(int);
extern int mix_a(int), mix_b(int);
int mix_a(int x) { return x + 1; }
int mix_b(int x) { return x * 2; }
handler table[4] = {mix_a, mix_b, mix_a, mix_b};
int main(void) { return 0; }
void _exit(int c) { for (;;); }
