// Memory hooks.
//
// The out-of-memory report is built in a fixed local buffer and written with
// descriptor writes only: when the heap is exhausted, neither the allocator
// nor a stdio stream (which may allocate its buffer) can be trusted.
#include "shared/genmem.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "shared/genexit.h"
#include "shared/genio.h"
#include "shared/gensys.h"

AllocHookFn AllocHook = gen_calloc;
ReallocHookFn ReallocHook = gen_realloc;
FreeHookFn FreeHook = gen_free;

namespace {

// One descriptor write, repeated while interrupted; a short write is not
// continued (there is nothing sensible left to do with the rest).
void write_stderr(const char* text, size_t length) {
    for (;;) {
        errno = 0;
        if (gen_write(2, text, length) != -1 || errno != EINTR) return;
    }
}

}  // namespace

void* gen_calloc(uint64_t count, uint64_t size) {
    if (count == 0) return nullptr;
    // The product itself is tested, for every pair: a quick bound on
    // count + size would let pairs through whose sum wraps (2^63 + 2^63).
    uint64_t product = 0;
    if (__builtin_mul_overflow(count, size, &product))
        gen_fatal_exit(3, "Attempt to allocate %#zx * %#zx bytes\n", count, size);
    if (product > SIZE_MAX) gen_out_of_memory(product);
    void* block = std::calloc(static_cast<size_t>(count), static_cast<size_t>(size));
    if (block == nullptr) gen_out_of_memory(product);
    return block;
}

void* gen_try_alloc(uint64_t size) {
    if (size == 0 || size > SIZE_MAX) return nullptr;
    return std::calloc(1, static_cast<size_t>(size));
}

void* gen_realloc(void* block, int64_t size) {
    if (size <= 0) {
        FreeHook(block);
        return nullptr;
    }
    if (block == nullptr) return AllocHook(1, static_cast<uint64_t>(size));
    void* grown = std::realloc(block, static_cast<size_t>(size));
    if (grown == nullptr) gen_out_of_memory(static_cast<uint64_t>(size));
    return grown;
}

void gen_free(void* block) {
    if (block != nullptr) std::free(block);
}

void gen_out_of_memory(uint64_t size) {
    char digits[16];
    for (int i = 15; i >= 0; --i) {
        unsigned nibble = static_cast<unsigned>(size & 0xF);
        digits[i] = static_cast<char>(nibble < 10 ? '0' + nibble : 'A' + (nibble - 10));
        size >>= 4;
    }
    const char* name = gen_getprogname();
    if (name != nullptr) {
        write_stderr(name, std::strlen(name));
        write_stderr(": ", 2);
    }
    write_stderr("fatal: Out of memory (0x", 24);
    write_stderr(digits, 16);
    write_stderr(" bytes requested)\n", 18);
    gen_call_exit_hook(3);
}

