// The symkeep tool: command line, keep list and symbol table reduction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "genelf/genelf.h"

// The names given with -keep, in command-line order.  Membership is answered
// by an open-addressing hash set of exact byte strings whose hash reads at
// most 24 bytes of a name.  Two filters stand in front of it: the lengths of
// the kept names, and a bitmap of their hashes (16 bits a name, small enough
// to stay in cache when the table itself does not).  The reduction asks once
// per symbol, a million times on a large executable, and most answers are
// "no"; the filters give those without touching the table.  The answer is
// the same as walking the list with strcmp.
class KeepNames {
public:
    KeepNames() = default;
    ~KeepNames();
    KeepNames(const KeepNames&) = delete;
    KeepNames& operator=(const KeepNames&) = delete;

    void append(const char* name);
    size_t size() const { return entries_.size(); }
    const char* at(size_t i) const { return entries_[i]; }
    bool contains(const char* name, size_t length) const;

private:
    struct Slot {
        const char* text;  // nullptr: empty slot
        size_t length;
        uint64_t hash;
    };
    void insert(const char* name, size_t length);
    void grow();
    void rebuild_bitmap();
    bool in_bitmap(uint64_t hash) const { return (bitmap_[(hash >> 6) & bitmap_mask_] >> (hash & 63)) & 1; }
    bool length_possible(size_t length) const {
        return length < 256 ? (short_lengths_[length >> 6] >> (length & 63)) & 1 : has_long_;
    }

    std::vector<const char*> entries_;
    Slot* slots_ = nullptr;
    size_t mask_ = 0;  // slot count - 1 (a power of two), 0 while empty
    size_t used_ = 0;
    uint64_t* bitmap_ = nullptr;
    size_t bitmap_mask_ = 0;  // words - 1
    uint64_t short_lengths_[4] = {0, 0, 0, 0};
    bool has_long_ = false;
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
// The same test for a name whose length is known.
int is_kept_symbol(const char* name, size_t length);

void copy_image(const ElfImage* source, ElfImage* target);
void reduce_symbols(ElfImage* image);
