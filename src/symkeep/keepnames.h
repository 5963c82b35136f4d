// The set of names given with -keep.
//
// Membership is answered by an open-addressing hash set of exact byte
// strings whose hash reads at most 24 bytes of a name.  Two filters stand in
// front of it: the lengths of the kept names, and a bitmap of their hashes
// (16 bits a name, small enough to stay in cache when the table itself does
// not).  The reduction asks once per symbol, a million times on a large
// executable, and most answers are "no"; the filters give those without
// touching the table.  The answer is the same as walking the list of names
// with strcmp.
#pragma once

#include <cstddef>
#include <cstdint>

class KeepNames {
public:
    KeepNames() = default;
    ~KeepNames();
    KeepNames(const KeepNames&) = delete;
    KeepNames& operator=(const KeepNames&) = delete;

    // Adds a name; the text itself is kept, not a copy.
    void append(const char* name);
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

    Slot* slots_ = nullptr;
    size_t mask_ = 0;  // slot count - 1 (a power of two), 0 while empty
    size_t used_ = 0;
    uint64_t* bitmap_ = nullptr;
    size_t bitmap_mask_ = 0;  // words - 1
    uint64_t short_lengths_[4] = {0, 0, 0, 0};
    bool has_long_ = false;
};
