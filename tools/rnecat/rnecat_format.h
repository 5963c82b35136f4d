// rnecat's output, apart from its command line, so that the fuzz target
// prints whatever the reader recovers from arbitrary bytes.
#pragma once

#include <cstdio>

#include "shared/eventlog/rnereader.h"

// Prints the header (text form, when the reader got that far; after a blank
// line when `separate`) and every recovered event of the file at `path`.
void rnecat_print(FILE* out, const char* path, const RneLog& log, bool whole, bool json, bool separate);
