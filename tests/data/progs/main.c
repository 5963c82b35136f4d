/* Test program for the end-to-end tests: the unit with main.  It defines
 * the global "count" (counter.c has a local one of the same name) and ends
 * through exit() so the executable links the C library's exit path. */
#include <stdlib.h>
#include "prog.h"

int count = 1;                 /* global symbol, also a local in counter.c */
long uninitialised_global;     /* .bss or common */

int main(int argc, char** argv) {
    (void)argv;
    uninitialised_global = argc;
    count = bump(argc) + compute(count) + greeting[0];
    exit(count & 1);
}
