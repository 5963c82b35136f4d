// The set of names given with -keep: a hash set behind two filters (see
// keepnames.h).  Its tables come from AllocHook, so running out of memory
// here ends the program with the runtime's report.
#include "symkeep/keepnames.h"

#include <cstring>

#include "shared/genmem.h"

namespace {

uint64_t load8(const char* p, size_t n) {
    uint64_t v = 0;
    std::memcpy(&v, p, n < 8 ? n : 8);
    return v;
}

// Mixes the length and up to three 8-byte pieces (start, middle, end):
// mangled names of one program share long prefixes, rarely all three.
uint64_t hash_name(const char* s, size_t n) {
    uint64_t a = load8(s, n);
    uint64_t b = n > 8 ? load8(s + n - 8, 8) : 0;
    uint64_t c = n > 16 ? load8(s + n / 2 - 4, 8) : 0;
    uint64_t h = (a + n) * 0x9E3779B97F4A7C15ull;
    h = (h ^ (h >> 32) ^ b) * 0xC2B2AE3D27D4EB4Full;
    h = (h ^ (h >> 29) ^ c) * 0x165667B19E3779F9ull;
    return h ^ (h >> 32);
}

}  // namespace

KeepNames::~KeepNames() {
    FreeHook(slots_);
    FreeHook(bitmap_);
}

// Sixteen bits per slot pair keeps false positives near one in sixteen.
void KeepNames::rebuild_bitmap() {
    size_t words = (mask_ + 1) / 4;
    FreeHook(bitmap_);
    bitmap_ = static_cast<uint64_t*>(AllocHook(words, sizeof(uint64_t)));
    bitmap_mask_ = words - 1;
    for (size_t i = 0; i <= mask_; ++i)
        if (slots_[i].text != nullptr) bitmap_[(slots_[i].hash >> 6) & bitmap_mask_] |= uint64_t{1} << (slots_[i].hash & 63);
}

void KeepNames::append(const char* name) { insert(name, std::strlen(name)); }

void KeepNames::grow() {
    size_t count = mask_ == 0 ? 64 : 2 * (mask_ + 1);
    Slot* old = slots_;
    size_t old_count = mask_ == 0 ? 0 : mask_ + 1;
    slots_ = static_cast<Slot*>(AllocHook(count, sizeof(Slot)));
    mask_ = count - 1;
    used_ = 0;
    rebuild_bitmap();
    for (size_t i = 0; i < old_count; ++i)
        if (old[i].text != nullptr) insert(old[i].text, old[i].length);
    FreeHook(old);
}

void KeepNames::insert(const char* name, size_t length) {
    if (2 * (used_ + 1) > mask_ + 1 || mask_ == 0) grow();
    uint64_t h = hash_name(name, length);
    for (size_t i = h & mask_;; i = (i + 1) & mask_) {
        Slot& slot = slots_[i];
        if (slot.text == nullptr) {
            slot = Slot{name, length, h};
            ++used_;
            bitmap_[(h >> 6) & bitmap_mask_] |= uint64_t{1} << (h & 63);
            break;
        }
        if (slot.hash == h && slot.length == length && std::memcmp(slot.text, name, length) == 0) return;
    }
    if (length < 256)
        short_lengths_[length >> 6] |= uint64_t{1} << (length & 63);
    else
        has_long_ = true;
}

bool KeepNames::contains(const char* name, size_t length) const {
    if (used_ == 0 || !length_possible(length)) return false;
    uint64_t h = hash_name(name, length);
    if (!in_bitmap(h)) return false;
    for (size_t i = h & mask_;; i = (i + 1) & mask_) {
        const Slot& slot = slots_[i];
        if (slot.text == nullptr) return false;
        if (slot.hash == h && slot.length == length && std::memcmp(slot.text, name, length) == 0) return true;
    }
}
