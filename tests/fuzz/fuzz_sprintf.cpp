// The formatting engine with fuzz-chosen formats.
//
// A format decides how many arguments are read and as what, so a format
// from the fuzzer must never find an argument missing or of a kind that can
// hurt: a %s or %n reading an integer as a pointer would be the harness's
// fault, not the engine's.  Instead of parsing the format a second time to
// predict its arguments (a parser that disagreed with the engine would
// report its own mistakes), the harness builds the argument list by hand so
// that every argument slot is valid as every kind:
//
// - The integer and pointer arguments come from an array of 8-byte slots,
//   each holding the address of a byte inside one 8 KiB pool.  As a text it
//   is terminated inside the pool (the pool's last byte is 0); as a %n
//   target it is aligned and has room for the widest store; as an int its
//   low 32 bits are its offset in the pool (the pool sits at an address
//   whose low 32 bits are 0), so a width or precision taken from "*" stays below 8192.
// - The first eight double arguments come from the register save area and
//   are fuzz-chosen bit patterns; later ones, and long doubles, come from
//   the same slots as everything else.
//
// This is the System V x86-64 va_list layout (gp_offset, fp_offset,
// overflow_arg_area, reg_save_area); on other targets the harness accepts
// no input.
//
// Input: 64 bytes of doubles, 2 bytes of buffer capacity, the format (at
// most 512 bytes).  The pool is filled from the input.  Widths and
// precisions written in the format between 100000 and INT_MAX are skipped:
// printing two billion spaces is correct and merely slow.
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <vector>

#include "fuzz_support.h"
#include "shared/sprintf/mt_sprintf.h"

namespace {

#if defined(__x86_64__) && !defined(_WIN32)
constexpr bool kSupported = true;
struct SysVVaList {
    unsigned gp_offset;
    unsigned fp_offset;
    void* overflow_arg_area;
    void* reg_save_area;
};
static_assert(sizeof(va_list) == sizeof(SysVVaList), "System V x86-64 va_list");
#else
constexpr bool kSupported = false;
#endif

constexpr size_t kPoolSize = 8192;
constexpr size_t kSlots = 1100;  // more than a 512-byte format can consume
constexpr size_t kMaxFormat = 512;

uint8_t* g_pool = nullptr;
alignas(16) uint64_t g_slots[kSlots];
alignas(16) uint8_t g_save_area[176];  // 6 general registers, 8 vector registers

// 8 KiB at an address whose low 32 bits are zero.
uint8_t* map_pool() {
    const size_t span = size_t{8} << 30;
    void* area = mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (area == MAP_FAILED) fuzz_finding("harness", "cannot reserve the pool");
    auto base = (reinterpret_cast<uintptr_t>(area) + 0xFFFFFFFFull) & ~uintptr_t{0xFFFFFFFF};
    auto* pool = reinterpret_cast<uint8_t*>(base);
    if (mprotect(pool, kPoolSize, PROT_READ | PROT_WRITE) != 0) fuzz_finding("harness", "cannot map the pool");
    return pool;
}

bool has_slow_number(const std::string& format) {
    long long value = -1;
    for (size_t i = 0; i <= format.size(); ++i) {
        char c = i < format.size() ? format[i] : '\0';
        if (c >= '0' && c <= '9') {
            value = value < 0 ? 0 : value;
            if (value <= INT_MAX) value = value * 10 + (c - '0');
            continue;
        }
        if (value >= 100000 && value <= INT_MAX) return true;
        value = -1;
    }
    return false;
}

void fill_pool(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < kPoolSize; ++i) g_pool[i] = size ? data[i % size] : 0;
    g_pool[kPoolSize - 1] = 0;
}

int format_into(char* buffer, size_t capacity, const char* format) {
#if defined(__x86_64__) && !defined(_WIN32)
    SysVVaList list{48, 48, g_slots, g_save_area};  // no general registers left
    va_list args;
    std::memcpy(&args, &list, sizeof list);
    return mt_vsprintf(buffer, capacity, format, args);
#else
    (void)buffer;
    (void)capacity;
    (void)format;
    return 0;
#endif
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_setup();
    if (kSupported) g_pool = map_pool();
    for (size_t i = 0; i < kSlots; ++i)
        g_slots[i] = reinterpret_cast<uint64_t>(g_pool) + (i * 61 * 16) % (kPoolSize - 64);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!kSupported || size < 66) return 0;
    std::string format(reinterpret_cast<const char*>(data + 66), size - 66);
    format = format.substr(0, format.find('\0'));
    if (format.size() > kMaxFormat || has_slow_number(format)) return 0;
    // Each double in the low half of its 16-byte register slot.
    for (int i = 7; i >= 0; --i) std::memmove(g_save_area + 48 + 16 * i, data + 8 * i, 8);
    const size_t capacity = (static_cast<size_t>(data[64]) | static_cast<size_t>(data[65]) << 8) % 600;

    // The full text first, then the bounded form, which must be its prefix.
    fill_pool(data, size);
    // Reused: a fresh megabyte per input costs more than most formats.
    static std::vector<char> full(1 << 20);
    const int n = format_into(full.data(), full.size(), format.c_str());
    fill_pool(data, size);
    std::vector<char> bounded(capacity);
    const int m = format_into(capacity ? bounded.data() : nullptr, capacity, format.c_str());
    if (n != m) fuzz_finding("mt_vsprintf", "length depends on the buffer: " + format);
    if (n > 0 && static_cast<size_t>(n) < full.size() && capacity > 0) {
        size_t kept = static_cast<size_t>(n) < capacity - 1 ? static_cast<size_t>(n) : capacity - 1;
        if (std::memcmp(full.data(), bounded.data(), kept) != 0 || bounded[kept] != '\0')
            fuzz_finding("mt_vsprintf", "bounded text is not the prefix: " + format);
    }
    return 0;
}
