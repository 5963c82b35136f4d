/* A small program for `make run`: a few global and local symbols to keep or
 * drop. */
#include <stdio.h>

extern int greet(const char *who);
int call_count;

static int twice(int x) { return 2 * x; }

int main(void) {
    call_count = twice(greet("world"));
    return call_count == 0;
}
