// The symkeep tool's own routines and process-wide values: the command line
// (args.cpp) and the symbol table reduction (reduce.cpp); main.cpp drives
// them.  The keep list's set is keepnames.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "genelf/genelf.h"
#include "symkeep/keepnames.h"

// The command-line results.  The names in KeepList and InputName are the
// argument texts themselves; OutputName is either an argument or a new
// string (input name + ".sh") that lives until the process ends.
extern KeepNames KeepList;
extern const char* InputName;
extern const char* OutputName;

// Length in bytes of the symbol string table as the copy saw it.
extern int32_t StrtabSize;

void parse_args(int argc, char** argv);
[[noreturn]] void usage();
int is_kept_symbol(const char* name);
// The same test for a name whose length is known.
int is_kept_symbol(const char* name, size_t length);

void copy_image(const ElfImage* source, ElfImage* target);
void reduce_symbols(ElfImage* image);
