// The formatting engine with fuzz-chosen formats.  Rather than parse a format a second time, every argument is
// valid as every kind: integers and pointers are 8-byte slots, each the address of a byte in an 8 KiB pool (a text
// ending inside it, an aligned %n target, as an int its offset: the pool's address has its low 32 bits 0); the
// first eight doubles are fuzz-chosen bits in the register save area of a System V x86-64 va_list.  Input: 64
// bytes of doubles, 2 of buffer capacity, the format (at most 512 bytes; widths from 100000 to INT_MAX, merely
// slow, skipped). The bounded text must be the full one's prefix, of the same length.
#include <climits>
#include <cstdlib>

#include "fuzz_support.h"

constexpr size_t kPoolSize = 8192, kSlots = 1100;  // more slots than a 512-byte format takes
uint8_t* g_pool;
alignas(16) uint64_t g_slots[kSlots];
alignas(16) uint8_t g_save_area[176];  // 6 general registers, 8 vector registers

bool has_slow_number(const std::string& format) {
    for (size_t i = 0; (i = format.find_first_of("0123456789", i)) != std::string::npos; i = format.find_first_not_of("0123456789", i)) {
        const long long value = std::strtoll(format.c_str() + i, nullptr, 10);  // saturates
        if (value >= 100000 && value <= INT_MAX) return true;
    }
    return false;
}

int format_into(char* buffer, size_t capacity, const std::string& format, const uint8_t* data, size_t size) {
    for (size_t i = 0; i < kPoolSize; ++i) g_pool[i] = i + 1 < kPoolSize ? data[i % size] : 0;
#if defined(__x86_64__) && !defined(_WIN32)
    struct {
        unsigned gp_offset = 48, fp_offset = 48;  // no general registers left
        void *overflow_arg_area = g_slots, *reg_save_area = g_save_area;
    } list;
    static_assert(sizeof(va_list) == sizeof list, "System V x86-64 va_list");
    va_list args;
    std::memcpy(&args, &list, sizeof list);
    return mt_vsprintf(buffer, capacity, format.c_str(), args);
#else
    return 0;  // nothing is formatted
#endif
}

void fuzz_prepare() {
    void* area = mmap(nullptr, size_t{8} << 30, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    g_pool = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(area) + 0xFFFFFFFFull) & ~uintptr_t{0xFFFFFFFF});
    if (area == MAP_FAILED || mprotect(g_pool, kPoolSize, PROT_READ | PROT_WRITE) != 0) fuzz::finding("harness", "no pool");
    for (size_t i = 0; i < kSlots; ++i) g_slots[i] = reinterpret_cast<uint64_t>(g_pool) + (i * 61 * 16) % (kPoolSize - 64);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 66) return 0;
    const std::string format = std::string(data + 66, data + size).c_str();
    if (format.size() > 512 || has_slow_number(format)) return 0;
    for (int i = 0; i < 8; ++i) std::memcpy(g_save_area + 48 + 16 * i, data + 8 * i, 8);  // low half of each register
    const size_t capacity = (data[64] | size_t{data[65]} << 8) % 600;
    static std::vector<char> full(1 << 20);  // reused: a fresh megabyte costs more than most formats
    std::vector<char> bounded(capacity);  // exactly: ASan sees a write past it
    const int n = format_into(full.data(), full.size(), format, data, size);
    const int m = format_into(capacity ? bounded.data() : nullptr, capacity, format, data, size);
    if (n != m) fuzz::finding("mt_vsprintf", "length depends on the buffer: " + format);
    const size_t kept = std::min(static_cast<size_t>(n), capacity - 1);
    if (n > 0 && static_cast<size_t>(n) < full.size() && capacity > 0 &&
        (std::memcmp(full.data(), bounded.data(), kept) != 0 || bounded[kept] != '\0'))
        fuzz::finding("mt_vsprintf", "bounded text is not the prefix: " + format);
    return 0;
}
