// The symkeep tool: command line, keep list and symbol table reduction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "genelf/genelf.h"

// The names given with -keep, in command-line order.  Membership is answered
// from a hash set of exact byte strings, so a keep list of a hundred
// thousand names costs no more per symbol than a list of one; the answer is
// the same as walking the list and comparing with strcmp.
class KeepNames {
public:
    void append(const char* name);
    size_t size() const { return entries_.size(); }
    const char* at(size_t i) const { return entries_[i]; }
    bool contains(const char* name) const { return index_.count(std::string_view(name)) != 0; }

private:
    std::vector<const char*> entries_;
    std::unordered_set<std::string_view> index_;
};

// The command-line results.  KeepList entries and InputName point at the
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

void copy_image(const ElfImage* source, ElfImage* target);
void reduce_symbols(ElfImage* image);
