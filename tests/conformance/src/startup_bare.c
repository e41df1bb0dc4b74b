/* Entry point for targets whose start-up the test does not need to run. */
int main(void);
void _start(void) {
    main();
    for (;;) {
    }
}
