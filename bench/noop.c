/* The floor of process start-up: a static program that does nothing. */
int main(void) { return 0; }
