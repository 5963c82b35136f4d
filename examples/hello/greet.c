#include <stdio.h>

static const char *prefix = "hello, ";

int greet(const char *who) { return printf("%s%s\n", prefix, who); }
