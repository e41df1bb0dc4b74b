/* An ESP8266 application: code in the flash the cache maps, a table, data and a buffer. */
#ifndef TABLE_WORDS
#define TABLE_WORDS 64
#endif

int counter = 3;
static int buffer[256];
const int table[TABLE_WORDS] = {1, 2, 3, 5, 8};

void app_main(void)
{
    for (int i = 0;; i++) buffer[i & 255] += table[(unsigned)i & (TABLE_WORDS - 1)] + counter;
}
