/* Test program for the end-to-end tests: a third unit with a static
 * function and an initialised table, to give the symbol table local
 * FUNC and OBJECT entries in more than one section. */
#include "prog.h"

static int scale(int v) { return v * 3; }

int table[4] = {1, 2, 3, 4};

int compute(int seed) {
    int sum = 0;
    for (int i = 0; i < 4; ++i) sum += scale(table[i] + seed);
    return sum;
}
