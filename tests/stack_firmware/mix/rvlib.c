/* What a freestanding RISC-V link needs of a C library. */
void *memcpy(void *to, const void *from, unsigned long n) { char *t = to; const char *f = from; while (n--) *t++ = *f++; return to; }
void *memset(void *to, int c, unsigned long n) { char *t = to; while (n--) *t++ = (char)c; return to; }
