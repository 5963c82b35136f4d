/* Shared declarations of the end-to-end test program. */
#ifndef SYMKEEP_TEST_PROG_H
#define SYMKEEP_TEST_PROG_H
extern const char greeting[];
extern int table[4];
int bump(int by);
int compute(int seed);
#endif
