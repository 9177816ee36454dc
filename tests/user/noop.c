/* The yardstick of the prompt benchmark: a program that does nothing. */
int main(void) { return 0; }
