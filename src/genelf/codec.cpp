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
#include "shared/genio.h"
#include "shared/genmem.h"
#include "shared/sprintf/mt_sprintf.h"

int ByteOrder = BYTEORDER_UNSET;

namespace {

template <int N>
uint64_t read_field(FILE* stream) {
    uint8_t bytes[N];
    for (int i = 0; i < N; ++i) bytes[i] = static_cast<uint8_t>(getc(stream));
    if (ByteOrder == BYTEORDER_UNSET) genelf_error("internal, endian not set", nullptr);
    uint64_t value = 0;
    if (ByteOrder == BYTEORDER_BIG) {
        for (int i = 0; i < N; ++i) value = (value << 8) | bytes[i];
    } else {
        for (int i = N - 1; i >= 0; --i) value = (value << 8) | bytes[i];
    }
    return value;
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

void genelf_read_fields(FILE* stream, void* record, const ElfField* fields, size_t count) {
    auto* base = static_cast<uint8_t*>(record);
    for (size_t i = 0; i < count; ++i) {
        uint8_t* at = base + fields[i].offset;
        switch (fields[i].width) {
            case 1: *at = static_cast<uint8_t>(genelf_getbyte(stream)); break;
            case 2: { uint16_t v = genelf_read16(stream); std::memcpy(at, &v, 2); break; }
            case 4: { uint32_t v = genelf_read32(stream); std::memcpy(at, &v, 4); break; }
            default: { uint64_t v = genelf_read64(stream); std::memcpy(at, &v, 8); break; }
        }
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
            const uint8_t* at = base + fields[i].offset;
            const int width = fields[i].width;
            uint64_t v = 0;
            switch (width) {
                case 1: v = *at; break;
                case 2: { uint16_t x; std::memcpy(&x, at, 2); v = x; break; }
                case 4: { uint32_t x; std::memcpy(&x, at, 4); v = x; break; }
                default: std::memcpy(&v, at, 8); break;
            }
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
    void* block = std::malloc(size);
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

void* genelf_read_block(FILE* stream, void* buffer, size_t count) {
    if (buffer == nullptr) {
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

// ---- class conversions: every field by name ----

namespace {

template <typename T>
T* obtain(T* dst, uint64_t count) {
    return dst != nullptr ? dst : static_cast<T*>(genelf_alloc_array(count, sizeof(T)));
}

uint32_t narrow(uint64_t v) {
    if (v > 0xFFFFFFFFull) genelf_overflow();
    return static_cast<uint32_t>(v);
}

}  // namespace

Elf64_Ehdr* genelf_ehdr32to64(Elf64_Ehdr* dst, const Elf32_Ehdr* src) {
    dst = obtain(dst, 1);
    std::memcpy(dst->e_ident, src->e_ident, EI_NIDENT);
    dst->e_type = src->e_type;
    dst->e_machine = src->e_machine;
    dst->e_version = src->e_version;
    dst->e_entry = src->e_entry;
    dst->e_phoff = src->e_phoff;
    dst->e_shoff = src->e_shoff;
    dst->e_flags = src->e_flags;
    dst->e_ehsize = src->e_ehsize;
    dst->e_phentsize = src->e_phentsize;
    dst->e_phnum = src->e_phnum;
    dst->e_shentsize = src->e_shentsize;
    dst->e_shnum = src->e_shnum;
    dst->e_shstrndx = src->e_shstrndx;
    return dst;
}

Elf32_Ehdr* genelf_ehdr64to32(Elf32_Ehdr* dst, const Elf64_Ehdr* src) {
    // Checked before anything is obtained or written, in the field order.
    uint32_t entry = narrow(src->e_entry), phoff = narrow(src->e_phoff), shoff = narrow(src->e_shoff);
    dst = obtain(dst, 1);
    std::memcpy(dst->e_ident, src->e_ident, EI_NIDENT);
    dst->e_type = src->e_type;
    dst->e_machine = src->e_machine;
    dst->e_version = src->e_version;
    dst->e_entry = entry;
    dst->e_phoff = phoff;
    dst->e_shoff = shoff;
    dst->e_flags = src->e_flags;
    dst->e_ehsize = src->e_ehsize;
    dst->e_phentsize = src->e_phentsize;
    dst->e_phnum = src->e_phnum;
    dst->e_shentsize = src->e_shentsize;
    dst->e_shnum = src->e_shnum;
    dst->e_shstrndx = src->e_shstrndx;
    return dst;
}

Elf64_Phdr* genelf_phdr32to64(Elf64_Phdr* dst, const Elf32_Phdr* src, uint64_t count) {
    if (count == 0 && dst == nullptr) return nullptr;
    dst = obtain(dst, count);
    for (uint64_t i = 0; i < count; ++i) {
        dst[i].p_type = src[i].p_type;
        dst[i].p_flags = src[i].p_flags;
        dst[i].p_offset = src[i].p_offset;
        dst[i].p_vaddr = src[i].p_vaddr;
        dst[i].p_paddr = src[i].p_paddr;
        dst[i].p_filesz = src[i].p_filesz;
        dst[i].p_memsz = src[i].p_memsz;
        dst[i].p_align = src[i].p_align;
    }
    return dst;
}

Elf32_Phdr* genelf_phdr64to32(Elf32_Phdr* dst, const Elf64_Phdr* src, uint64_t count) {
    if (count == 0 && dst == nullptr) return nullptr;
    dst = obtain(dst, count);
    for (uint64_t i = 0; i < count; ++i) {
        dst[i].p_type = src[i].p_type;
        dst[i].p_offset = narrow(src[i].p_offset);
        dst[i].p_vaddr = narrow(src[i].p_vaddr);
        dst[i].p_paddr = narrow(src[i].p_paddr);
        dst[i].p_filesz = narrow(src[i].p_filesz);
        dst[i].p_memsz = narrow(src[i].p_memsz);
        dst[i].p_flags = src[i].p_flags;
        dst[i].p_align = narrow(src[i].p_align);
    }
    return dst;
}

Elf64_Shdr* genelf_shdr32to64(Elf64_Shdr* dst, const Elf32_Shdr* src, uint64_t count) {
    if (count == 0 && dst == nullptr) return nullptr;
    dst = obtain(dst, count);
    for (uint64_t i = 0; i < count; ++i) {
        dst[i].sh_name = src[i].sh_name;
        dst[i].sh_type = src[i].sh_type;
        dst[i].sh_flags = src[i].sh_flags;
        dst[i].sh_addr = src[i].sh_addr;
        dst[i].sh_offset = src[i].sh_offset;
        dst[i].sh_size = src[i].sh_size;
        dst[i].sh_link = src[i].sh_link;
        dst[i].sh_info = src[i].sh_info;
        dst[i].sh_addralign = src[i].sh_addralign;
        dst[i].sh_entsize = src[i].sh_entsize;
    }
    return dst;
}

Elf32_Shdr* genelf_shdr64to32(Elf32_Shdr* dst, const Elf64_Shdr* src, uint64_t count) {
    if (count == 0 && dst == nullptr) return nullptr;
    dst = obtain(dst, count);
    for (uint64_t i = 0; i < count; ++i) {
        dst[i].sh_name = src[i].sh_name;
        dst[i].sh_type = src[i].sh_type;
        dst[i].sh_flags = narrow(src[i].sh_flags);
        dst[i].sh_addr = narrow(src[i].sh_addr);
        dst[i].sh_offset = narrow(src[i].sh_offset);
        dst[i].sh_size = narrow(src[i].sh_size);
        dst[i].sh_link = src[i].sh_link;
        dst[i].sh_info = src[i].sh_info;
        dst[i].sh_addralign = narrow(src[i].sh_addralign);
        dst[i].sh_entsize = narrow(src[i].sh_entsize);
    }
    return dst;
}

Elf64_Sym* genelf_sym32to64(Elf64_Sym* dst, const Elf32_Sym* src, uint64_t count) {
    if (count == 0 && dst == nullptr) return nullptr;
    dst = obtain(dst, count);
    for (uint64_t i = 0; i < count; ++i) {
        dst[i].st_name = src[i].st_name;
        dst[i].st_info = src[i].st_info;
        dst[i].st_other = src[i].st_other;
        dst[i].st_shndx = src[i].st_shndx;
        dst[i].st_value = src[i].st_value;
        dst[i].st_size = src[i].st_size;
    }
    return dst;
}

// st_value and st_size keep their low 32 bits without a check: ELF32
// symbols cannot carry more, and a 64-bit form read from an ELF32 file never
// has more.
Elf32_Sym* genelf_sym64to32(Elf32_Sym* dst, const Elf64_Sym* src, uint64_t count) {
    if (count == 0 && dst == nullptr) return nullptr;
    dst = obtain(dst, count);
    for (uint64_t i = 0; i < count; ++i) {
        dst[i].st_name = src[i].st_name;
        dst[i].st_value = static_cast<uint32_t>(src[i].st_value);
        dst[i].st_size = static_cast<uint32_t>(src[i].st_size);
        dst[i].st_info = src[i].st_info;
        dst[i].st_other = src[i].st_other;
        dst[i].st_shndx = src[i].st_shndx;
    }
    return dst;
}
