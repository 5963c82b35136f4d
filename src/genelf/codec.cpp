// The byte-order field codec and the library's own services (allocation,
// block reads, errors, the magic and class tests, class conversions).
//
// Fields are assembled byte by byte, so the host's byte order and alignment
// never matter.  A byte taken at end of file is EOF, whose low byte 0xFF is
// what goes into the field: a record cut short reads as 0xFF bytes without
// an error here, and whatever then makes no sense is caught by the caller.
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "genelf/genelf.h"
#include "genelf/records.h"
#include "platform/platform.h"
#include "shared/genexit.h"
#include "shared/genio.h"
#include "shared/genmem.h"
#include "shared/sprintf/mt_sprintf.h"

int ByteOrder = BYTEORDER_UNSET;

namespace {

// A field's value from its `width` bytes in the file's byte order.
uint64_t decode(const uint8_t* bytes, int width) {
    uint64_t value = 0;
    if (ByteOrder == BYTEORDER_BIG) {
        for (int i = 0; i < width; ++i) value = (value << 8) | bytes[i];
    } else {
        for (int i = width - 1; i >= 0; --i) value = (value << 8) | bytes[i];
    }
    return value;
}

// In-memory fields of 1, 2, 4 or 8 bytes, in the host's order.
uint64_t load_field(const uint8_t* at, int width) {
    switch (width) {
        case 1: return *at;
        case 2: { uint16_t v; std::memcpy(&v, at, 2); return v; }
        case 4: { uint32_t v; std::memcpy(&v, at, 4); return v; }
        default: { uint64_t v; std::memcpy(&v, at, 8); return v; }
    }
}

void store_field(uint8_t* at, int width, uint64_t v) {
    switch (width) {
        case 1: *at = static_cast<uint8_t>(v); break;
        case 2: { auto x = static_cast<uint16_t>(v); std::memcpy(at, &x, 2); break; }
        case 4: { auto x = static_cast<uint32_t>(v); std::memcpy(at, &x, 4); break; }
        default: std::memcpy(at, &v, 8); break;
    }
}

template <int N>
uint64_t read_field(FILE* stream) {
    uint8_t bytes[N];
    for (int i = 0; i < N; ++i) bytes[i] = static_cast<uint8_t>(getc(stream));
    if (ByteOrder == BYTEORDER_UNSET) genelf_error("internal, endian not set", nullptr);
    return decode(bytes, N);
}

template <int N>
void write_field(FILE* stream, uint64_t value, bool big) {
    for (int i = 0; i < N; ++i) {
        int shift = big ? 8 * (N - 1 - i) : 8 * i;
        putc(static_cast<int>((value >> shift) & 0xFF), stream);
    }
}

}  // namespace

int genelf_getbyte(FILE* stream) { return getc(stream); }

uint16_t genelf_read16(FILE* stream) { return static_cast<uint16_t>(read_field<2>(stream)); }
uint32_t genelf_read32(FILE* stream) { return static_cast<uint32_t>(read_field<4>(stream)); }
uint64_t genelf_read64(FILE* stream) { return read_field<8>(stream); }

void genelf_write16(FILE* stream, uint16_t value) {
    if (ByteOrder == BYTEORDER_UNSET) genelf_error("internal, endian not set", nullptr);
    write_field<2>(stream, value, ByteOrder == BYTEORDER_BIG);
}

void genelf_write32(FILE* stream, uint32_t value) {
    if (ByteOrder == BYTEORDER_UNSET) genelf_error("internal, endian not set", nullptr);
    write_field<4>(stream, value, ByteOrder == BYTEORDER_BIG);
}

// Unset order writes little-endian here: the program never writes before a
// header was read, and the 64-bit writer has never been the one to object.
void genelf_write64(FILE* stream, uint64_t value) { write_field<8>(stream, value, ByteOrder == BYTEORDER_BIG); }

// One fread per record instead of one getc per byte: a loader that meets a
// table of 65535 headers runs past the end of a short file for millions of
// bytes.  Bytes past the end read as 0xFF, as getc's EOF would, and an unset
// byte order is refused at the first multi-byte field, as before.
void genelf_read_fields(FILE* stream, void* record, const ElfField* fields, size_t count) {
    auto* base = static_cast<uint8_t*>(record);
    uint8_t bytes[64];
    size_t have = 0, used = 0;
    for (size_t i = 0; i < count; ++i) {
        const int width = fields[i].width;
        if (used + width > have) {
            // Refill with this field and as many following ones as fit.
            size_t want = 0;
            for (size_t j = i; j < count && want + fields[j].width <= sizeof bytes; ++j) want += fields[j].width;
            size_t got = std::fread(bytes, 1, want, stream);
            std::memset(bytes + got, 0xFF, want - got);
            have = want;
            used = 0;
        }
        if (width > 1 && ByteOrder == BYTEORDER_UNSET) genelf_error("internal, endian not set", nullptr);
        store_field(base + fields[i].offset, width, decode(bytes + used, width));
        used += width;
    }
}

// Field values go out through a small buffer of the codec's own and one
// fwrite per buffer rather than one putc per byte: a kept table of a hundred
// thousand symbols is 2.4 million bytes.  The bytes, and the byte-order
// rules of genelf_write16/32/64, are the same.
void genelf_write_fields(FILE* stream, const void* record, const ElfField* fields, size_t count) {
    genelf_write_fields_array(stream, record, 0, 1, fields, count);
}

void genelf_write_fields_array(FILE* stream, const void* records, size_t stride, uint64_t n, const ElfField* fields,
                               size_t count) {
    uint8_t buffer[16384];
    size_t used = 0;
    const bool big = ByteOrder == BYTEORDER_BIG;
    for (uint64_t r = 0; r < n; ++r) {
        const auto* base = static_cast<const uint8_t*>(records) + r * stride;
        if (used + 64 > sizeof buffer) {
            std::fwrite(buffer, 1, used, stream);
            used = 0;
        }
        for (size_t i = 0; i < count; ++i) {
            const int width = fields[i].width;
            const uint64_t v = load_field(base + fields[i].offset, width);
            if ((width == 2 || width == 4) && ByteOrder == BYTEORDER_UNSET) {
                std::fwrite(buffer, 1, used, stream);
                genelf_error("internal, endian not set", nullptr);
            }
            for (int b = 0; b < width; ++b) {
                int shift = big && width > 1 ? 8 * (width - 1 - b) : 8 * b;
                buffer[used++] = static_cast<uint8_t>(v >> shift);
            }
        }
    }
    std::fwrite(buffer, 1, used, stream);
}

// Stops early at end of file: every later byte would read as EOF anyway,
// and a hostile entry size must not turn into billions of getc calls.
void genelf_skip(FILE* stream, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i)
        if (genelf_getbyte(stream) == EOF) return;
}

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
        // A table the file cannot hold fails the read below anyway; refusing
        // it first keeps a size field from buying gigabytes of memory.
        if (runs_past_end(stream, count)) {
            errno = 0;
            genelf_error("read failed, unexpected EOF", nullptr);
        }
        buffer = genelf_alloc(count);
        if (buffer == nullptr) return nullptr;
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

// ---- class conversions ----
//
// Each record's fields are listed once, as pairs of (ELF32, 64-bit form)
// places; the same list drives widening and narrowing, so the two cannot
// disagree.  Fields are matched by name, which is what moves p_flags and the
// symbol fields to their other places between the two layouts.

namespace {

struct FieldPair {
    uint16_t off32;
    uint8_t width32;
    uint16_t off64;
    uint8_t width64;
};

#define GENELF_PAIR(T32, T64, m)                                                                   \
    FieldPair {                                                                                    \
        static_cast<uint16_t>(offsetof(T32, m)), static_cast<uint8_t>(sizeof(T32::m)),              \
            static_cast<uint16_t>(offsetof(T64, m)), static_cast<uint8_t>(sizeof(T64::m))            \
    }

// e_ident is copied as raw bytes before these.
constexpr FieldPair kEhdrPairs[] = {
    GENELF_PAIR(Elf32_Ehdr, Elf64_Ehdr, e_type),      GENELF_PAIR(Elf32_Ehdr, Elf64_Ehdr, e_machine),
    GENELF_PAIR(Elf32_Ehdr, Elf64_Ehdr, e_version),   GENELF_PAIR(Elf32_Ehdr, Elf64_Ehdr, e_entry),
    GENELF_PAIR(Elf32_Ehdr, Elf64_Ehdr, e_phoff),     GENELF_PAIR(Elf32_Ehdr, Elf64_Ehdr, e_shoff),
    GENELF_PAIR(Elf32_Ehdr, Elf64_Ehdr, e_flags),     GENELF_PAIR(Elf32_Ehdr, Elf64_Ehdr, e_ehsize),
    GENELF_PAIR(Elf32_Ehdr, Elf64_Ehdr, e_phentsize), GENELF_PAIR(Elf32_Ehdr, Elf64_Ehdr, e_phnum),
    GENELF_PAIR(Elf32_Ehdr, Elf64_Ehdr, e_shentsize), GENELF_PAIR(Elf32_Ehdr, Elf64_Ehdr, e_shnum),
    GENELF_PAIR(Elf32_Ehdr, Elf64_Ehdr, e_shstrndx),
};
constexpr FieldPair kPhdrPairs[] = {
    GENELF_PAIR(Elf32_Phdr, Elf64_Phdr, p_type),   GENELF_PAIR(Elf32_Phdr, Elf64_Phdr, p_offset),
    GENELF_PAIR(Elf32_Phdr, Elf64_Phdr, p_vaddr),  GENELF_PAIR(Elf32_Phdr, Elf64_Phdr, p_paddr),
    GENELF_PAIR(Elf32_Phdr, Elf64_Phdr, p_filesz), GENELF_PAIR(Elf32_Phdr, Elf64_Phdr, p_memsz),
    GENELF_PAIR(Elf32_Phdr, Elf64_Phdr, p_flags),  GENELF_PAIR(Elf32_Phdr, Elf64_Phdr, p_align),
};
constexpr FieldPair kShdrPairs[] = {
    GENELF_PAIR(Elf32_Shdr, Elf64_Shdr, sh_name),      GENELF_PAIR(Elf32_Shdr, Elf64_Shdr, sh_type),
    GENELF_PAIR(Elf32_Shdr, Elf64_Shdr, sh_flags),     GENELF_PAIR(Elf32_Shdr, Elf64_Shdr, sh_addr),
    GENELF_PAIR(Elf32_Shdr, Elf64_Shdr, sh_offset),    GENELF_PAIR(Elf32_Shdr, Elf64_Shdr, sh_size),
    GENELF_PAIR(Elf32_Shdr, Elf64_Shdr, sh_link),      GENELF_PAIR(Elf32_Shdr, Elf64_Shdr, sh_info),
    GENELF_PAIR(Elf32_Shdr, Elf64_Shdr, sh_addralign), GENELF_PAIR(Elf32_Shdr, Elf64_Shdr, sh_entsize),
};
constexpr FieldPair kSymPairs[] = {
    GENELF_PAIR(Elf32_Sym, Elf64_Sym, st_name),  GENELF_PAIR(Elf32_Sym, Elf64_Sym, st_value),
    GENELF_PAIR(Elf32_Sym, Elf64_Sym, st_size),  GENELF_PAIR(Elf32_Sym, Elf64_Sym, st_info),
    GENELF_PAIR(Elf32_Sym, Elf64_Sym, st_other), GENELF_PAIR(Elf32_Sym, Elf64_Sym, st_shndx),
};

#undef GENELF_PAIR

// Widening zero-extends; nothing can fail.
template <size_t N>
void widen(void* dst64, const void* src32, const FieldPair (&pairs)[N]) {
    for (const FieldPair& f : pairs)
        store_field(static_cast<uint8_t*>(dst64) + f.off64, f.width64,
                    load_field(static_cast<const uint8_t*>(src32) + f.off32, f.width32));
}

// Narrowing: a value that does not fit its ELF32 field is "ELF file
// overflow" when `checked`, and is cut to its low bits otherwise.
template <size_t N>
void narrow(void* dst32, const void* src64, const FieldPair (&pairs)[N], bool checked) {
    for (const FieldPair& f : pairs) {
        uint64_t v = load_field(static_cast<const uint8_t*>(src64) + f.off64, f.width64);
        if (checked && f.width32 == 4 && v > 0xFFFFFFFFull) genelf_overflow();
        store_field(static_cast<uint8_t*>(dst32) + f.off32, f.width32, v);
    }
}

template <typename Dst, typename Src, size_t N>
Dst* widen_array(Dst* dst, const Src* src, uint64_t count, const FieldPair (&pairs)[N]) {
    if (count == 0 && dst == nullptr) return nullptr;
    if (dst == nullptr) dst = static_cast<Dst*>(genelf_alloc_array(count, sizeof(Dst)));
    for (uint64_t i = 0; i < count; ++i) widen(&dst[i], &src[i], pairs);
    return dst;
}

template <typename Dst, typename Src, size_t N>
Dst* narrow_array(Dst* dst, const Src* src, uint64_t count, const FieldPair (&pairs)[N], bool checked) {
    if (count == 0 && dst == nullptr) return nullptr;
    if (dst == nullptr) dst = static_cast<Dst*>(genelf_alloc_array(count, sizeof(Dst)));
    for (uint64_t i = 0; i < count; ++i) narrow(&dst[i], &src[i], pairs, checked);
    return dst;
}

}  // namespace

Elf64_Ehdr* genelf_ehdr32to64(Elf64_Ehdr* dst, const Elf32_Ehdr* src) {
    if (dst == nullptr) dst = static_cast<Elf64_Ehdr*>(genelf_alloc(sizeof(Elf64_Ehdr)));
    std::memcpy(dst->e_ident, src->e_ident, EI_NIDENT);
    widen(dst, src, kEhdrPairs);
    return dst;
}

Elf32_Ehdr* genelf_ehdr64to32(Elf32_Ehdr* dst, const Elf64_Ehdr* src) {
    // Checked in full, in field order, before anything is obtained.
    Elf32_Ehdr h;
    std::memcpy(h.e_ident, src->e_ident, EI_NIDENT);
    narrow(&h, src, kEhdrPairs, true);
    if (dst == nullptr) dst = static_cast<Elf32_Ehdr*>(genelf_alloc(sizeof(Elf32_Ehdr)));
    *dst = h;
    return dst;
}

Elf64_Phdr* genelf_phdr32to64(Elf64_Phdr* dst, const Elf32_Phdr* src, uint64_t count) {
    return widen_array(dst, src, count, kPhdrPairs);
}

Elf32_Phdr* genelf_phdr64to32(Elf32_Phdr* dst, const Elf64_Phdr* src, uint64_t count) {
    return narrow_array(dst, src, count, kPhdrPairs, true);
}

Elf64_Shdr* genelf_shdr32to64(Elf64_Shdr* dst, const Elf32_Shdr* src, uint64_t count) {
    return widen_array(dst, src, count, kShdrPairs);
}

Elf32_Shdr* genelf_shdr64to32(Elf32_Shdr* dst, const Elf64_Shdr* src, uint64_t count) {
    return narrow_array(dst, src, count, kShdrPairs, true);
}

Elf64_Sym* genelf_sym32to64(Elf64_Sym* dst, const Elf32_Sym* src, uint64_t count) {
    return widen_array(dst, src, count, kSymPairs);
}

// st_value and st_size keep their low 32 bits without a check: ELF32
// symbols cannot carry more, and a 64-bit form read from an ELF32 file never
// has more.
Elf32_Sym* genelf_sym64to32(Elf32_Sym* dst, const Elf64_Sym* src, uint64_t count) {
    return narrow_array(dst, src, count, kSymPairs, false);
}
