/* Test program for the end-to-end tests: a second translation unit whose
 * file-local "count" shares its name with the global one in main.c, so the
 * linked symbol table holds the same name as a local and a global symbol. */
#include "prog.h"

static int count = 7;          /* local symbol named like the global one */
static long bump_total;        /* local in .bss */
const char greeting[] = "symkeep";

int bump(int by) {
    count += by;
    bump_total += by;
    return count + (int)bump_total;
}
