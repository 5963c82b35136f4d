// The library's own services: its allocation, block reads, error exits, and
// the magic and class tests of a stream.
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "genelf/codec.h"
#include "platform/platform.h"
#include "shared/genio.h"
#include "shared/genexit.h"
#include "shared/genmem.h"
#include "shared/sprintf/mt_sprintf.h"

void* genelf_alloc(size_t size) {
    if (size == 0) return nullptr;
    void* block = gen_try_alloc(size);
    if (block == nullptr) {
        char text[80];
        mt_sprintf(text, sizeof text, "%zd", size);
        genelf_error("out of memory allocating %s bytes", text);
    }
    return block;
}

void* genelf_alloc_array(uint64_t count, size_t size) {
    uint64_t bytes;
    if (__builtin_mul_overflow(count, static_cast<uint64_t>(size), &bytes) || bytes > SIZE_MAX) {
        char text[80];
        mt_sprintf(text, sizeof text, "%llu * %zu", static_cast<unsigned long long>(count), size);
        genelf_error("out of memory allocating %s bytes", text);
    }
    return genelf_alloc(static_cast<size_t>(bytes));
}

namespace {

// True when the regular file behind the stream holds fewer than `count`
// bytes from the current position on.
bool runs_past_end(FILE* stream, size_t count) {
    PlatStat st;
    if (plat_fstat(stream, &st) != 0 || (st.mode & 0xF000) != 0x8000) return false;
    int64_t at = plat_ftell64(stream);
    return at >= 0 && (at > st.size || count > static_cast<uint64_t>(st.size - at));
}

}  // namespace

void* genelf_read_block(FILE* stream, void* buffer, size_t count) {
    if (buffer == nullptr) {
        if (count == 0) return nullptr;
        // A table the file cannot hold fails the read below anyway; refusing
        // it first keeps a size field from buying gigabytes of memory.
        if (runs_past_end(stream, count)) {
            errno = 0;
            genelf_error("read failed, unexpected EOF", nullptr);
        }
        buffer = genelf_alloc(count);
    }
    if (std::fread(buffer, 1, count, stream) < count) {
        if (std::feof(stream)) genelf_error("read failed, unexpected EOF", nullptr);
        genelf_error("read failed", nullptr);
    }
    return buffer;
}

void genelf_error(const char* message, const char* argument) {
    if (errno != 0) gen_perror_exit(1, message, argument);
    gen_fatal_exit(1, message, argument);
}

void genelf_errorf(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    mt_vsprintf(text, sizeof text, format, args);
    va_end(args);
    genelf_error("%s", text);
}

void genelf_overflow() { genelf_error("ELF file overflow", nullptr); }
void genelf_bad_elfbits() { genelf_error("Unexpected elfbits", nullptr); }

bool genelf_is_elf(FILE* stream) {
    int64_t where = plat_ftell64(stream);
    int b[4];
    for (int& x : b) x = std::fgetc(stream) & 0xFF;
    gen_safe_fseek64(nullptr, stream, where, SEEK_SET);
    return b[0] == ELFMAG0 && b[1] == ELFMAG1 && b[2] == ELFMAG2 && b[3] == ELFMAG3;
}

elfbits genelf_elfbits(FILE* stream, int64_t offset) {
    int64_t where = plat_ftell64(stream);
    uint8_t ident[EI_NIDENT];
    gen_safe_fseek64(nullptr, stream, offset, SEEK_SET);
    genelf_read_block(stream, ident, sizeof ident);
    gen_safe_fseek64(nullptr, stream, where, SEEK_SET);
    switch (ident[EI_CLASS]) {
        case ELFCLASS32: return 32;
        case ELFCLASS64: return 64;
        default: return -1;
    }
}
