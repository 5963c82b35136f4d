// Readers of the file header, the program header table and the section
// header table (with the section-name strings), for both classes.
//
// The per-class entry points (elf_*, elf64_*) are thin shells over one
// template each, so the ELF32 and ELF64 readers cannot disagree on anything
// but their record layouts and the message names.
#include <cstring>

#include "genelf/genelf.h"
#include "genelf/records.h"
#include "platform/platform.h"
#include "shared/genio.h"
#include "shared/genmem.h"

namespace {

constexpr int64_t kCurrentPosition = -1;

bool has_magic(const uint8_t* ident) {
    return ident[EI_MAG0] == ELFMAG0 && ident[EI_MAG1] == ELFMAG1 && ident[EI_MAG2] == ELFMAG2 &&
           ident[EI_MAG3] == ELFMAG3;
}

// Steps shared by every header read: raw identification bytes, the magic
// test, the byte order, then the remaining fields.
template <typename Ehdr, size_t N>
void read_header_fields(FILE* stream, Ehdr* h, const ElfRecord<N>& tail) {
    genelf_read_block(stream, h->e_ident, EI_NIDENT);
    if (!has_magic(h->e_ident)) genelf_error("bad elf magic number", nullptr);
    ByteOrder = h->e_ident[EI_DATA] == ELFDATA2MSB ? BYTEORDER_BIG : BYTEORDER_LITTLE;
    genelf_read_record(stream, h, tail);
}

template <typename Ehdr, size_t N>
Ehdr* read_header(FILE* stream, Ehdr* dst, const ElfRecord<N>& tail, const char* too_many) {
    if (dst == nullptr) dst = static_cast<Ehdr*>(genelf_alloc(sizeof(Ehdr)));
    read_header_fields(stream, dst, tail);
    // e_shnum 0 with a table present is the escape for 0xff00 or more
    // sections, whose real count lives in section 0: not supported.
    if (dst->e_shnum == 0 && dst->e_shoff != 0) genelf_error(too_many, nullptr);
    return dst;
}

// Reads `count` table entries of `entsize` bytes each (0 = the record's
// size), skipping what lies beyond the record in each entry.
template <typename Rec, size_t N>
void read_entries(FILE* stream, Rec* array, uint64_t count, int64_t entsize, const ElfRecord<N>& rec) {
    uint64_t extra = static_cast<uint64_t>(entsize) - rec.file_size;
    for (uint64_t i = 0; i < count; ++i) {
        genelf_read_record(stream, &array[i], rec);
        genelf_skip(stream, extra);
    }
}

template <typename Phdr, size_t N>
Phdr* read_progheaders(FILE* stream, Phdr* array, int count, int64_t offset, bool is_current, int entsize,
                       const ElfRecord<N>& rec, const char* phentsize_message, bool seek32) {
    if (!is_current) {
        if (seek32)
            gen_safe_fseek(nullptr, stream, static_cast<int32_t>(offset), SEEK_SET);
        else
            gen_safe_fseek64(nullptr, stream, offset, SEEK_SET);
    }
    if (array == nullptr) {
        if (count <= 0) return nullptr;
        array = static_cast<Phdr*>(genelf_alloc_array(static_cast<uint64_t>(count), sizeof(Phdr)));
    }
    if (count <= 0) return array;
    if (entsize == 0) entsize = static_cast<int>(rec.file_size);
    if (entsize < static_cast<int>(rec.file_size)) genelf_error(phentsize_message, nullptr);
    read_entries(stream, array, static_cast<uint64_t>(count), entsize, rec);
    return array;
}

template <typename Shdr, size_t N>
Shdr* read_secheaders(FILE* stream, Shdr* array, uint32_t count, int64_t offset, int entsize,
                      const ElfRecord<N>& rec) {
    if (offset != kCurrentPosition) gen_safe_fseek64(nullptr, stream, offset, SEEK_SET);
    if (entsize == 0) entsize = static_cast<int>(rec.file_size);
    if (entsize < static_cast<int>(rec.file_size)) return nullptr;
    if (array == nullptr) {
        if (count == 0) return nullptr;
        array = static_cast<Shdr*>(genelf_alloc_array(count, sizeof(Shdr)));
    }
    read_entries(stream, array, count, entsize, rec);
    return array;
}

template <typename Ehdr>
void widen_into(ElfXHeader* dst, const Ehdr& h) {
    std::memcpy(dst->e_ident, h.e_ident, EI_NIDENT);
    dst->e_type = h.e_type;
    dst->e_machine = h.e_machine;
    dst->e_version = h.e_version;
    dst->e_entry = h.e_entry;
    dst->e_phoff = h.e_phoff;
    dst->e_shoff = h.e_shoff;
    dst->e_flags = h.e_flags;
    dst->e_ehsize = h.e_ehsize;
    dst->e_phentsize = h.e_phentsize;
    dst->e_phnum = h.e_phnum;
    dst->e_shentsize = h.e_shentsize;
    dst->e_shnum = h.e_shnum;
    dst->e_shstrndx = h.e_shstrndx;
}

}  // namespace

Elf32_Ehdr* elf_readheader(FILE* stream, Elf32_Ehdr* dst) {
    return read_header(stream, dst, kElf32EhdrTail, "elf_readheader: Too many ELF sections");
}

Elf64_Ehdr* elf64_readheader(FILE* stream, Elf64_Ehdr* dst) {
    return read_header(stream, dst, kElf64EhdrTail, "elf64_readheader: Too many ELF sections");
}

Elf64_Ehdr* genelf_readheader(FILE* stream, Elf64_Ehdr* dst, elfbits bits) {
    if (bits != 32 && bits != 64) return nullptr;
    if (dst == nullptr) dst = static_cast<Elf64_Ehdr*>(genelf_alloc(sizeof(Elf64_Ehdr)));
    if (bits == 64) return elf64_readheader(stream, dst);
    Elf32_Ehdr h32;
    elf_readheader(stream, &h32);
    return genelf_ehdr32to64(dst, &h32);
}

ElfXHeader* genelf_readXheader(FILE* stream, ElfXHeader* dst, elfbits bits) {
    if (dst == nullptr) dst = static_cast<ElfXHeader*>(genelf_alloc(sizeof(ElfXHeader)));
    if (bits == 32) {
        Elf32_Ehdr h;
        read_header_fields(stream, &h, kElf32EhdrTail);
        widen_into(dst, h);
    } else if (bits == 64) {
        Elf64_Ehdr h;
        read_header_fields(stream, &h, kElf64EhdrTail);
        widen_into(dst, h);
    } else {
        genelf_bad_elfbits();
    }
    return dst;
}

Elf32_Phdr* elf_readprogheader(FILE* stream, Elf32_Phdr* array, int count, uint32_t offset, int entsize) {
    return read_progheaders(stream, array, count, offset, offset == 0xFFFFFFFFu, entsize, kElf32Phdr,
                            "elf_readprogheader(): phentsize", true);
}

Elf64_Phdr* elf64_readprogheader(FILE* stream, Elf64_Phdr* array, int count, int64_t offset, int entsize) {
    return read_progheaders(stream, array, count, offset, offset == kCurrentPosition, entsize, kElf64Phdr,
                            "elf64_readprogheader(): phentsize", false);
}

Elf64_Phdr* genelf_readprogheaders(FILE* stream, Elf64_Phdr* array, int count, uint64_t offset, int entsize,
                                   elfbits bits) {
    if (array == nullptr) {
        if (count <= 0) return nullptr;
        array = static_cast<Elf64_Phdr*>(genelf_alloc_array(static_cast<uint64_t>(count), sizeof(Elf64_Phdr)));
    }
    if (bits == 32) {
        uint32_t off32;
        if ((offset & 0xFFFFFFFFu) == 0xFFFFFFFFu) {
            off32 = 0xFFFFFFFFu;
        } else {
            if (offset > 0xFFFFFFFFu) genelf_overflow();
            off32 = static_cast<uint32_t>(offset);
        }
        Elf32_Phdr* p32 = elf_readprogheader(stream, nullptr, count, off32, entsize);
        genelf_phdr32to64(array, p32, static_cast<uint64_t>(count > 0 ? count : 0));
        FreeHook(p32);
    } else if (bits == 64) {
        elf64_readprogheader(stream, array, count, static_cast<int64_t>(offset), entsize);
    } else {
        genelf_bad_elfbits();
    }
    return array;
}

Elf32_Shdr* elf_readsecheader(FILE* stream, Elf32_Shdr* array, uint32_t count, int64_t offset, int entsize) {
    return read_secheaders(stream, array, count, offset, entsize, kElf32Shdr);
}

Elf64_Shdr* elf64_readsecheader(FILE* stream, Elf64_Shdr* array, uint32_t count, int64_t offset, int entsize) {
    return read_secheaders(stream, array, count, offset, entsize, kElf64Shdr);
}

Elf64_Shdr* genelf_readsecheaders(FILE* stream, Elf64_Shdr* array, uint32_t count, int64_t offset, int entsize,
                                  elfbits bits) {
    bool obtained = false;
    if (array == nullptr) {
        if (count == 0) return nullptr;
        array = static_cast<Elf64_Shdr*>(genelf_alloc_array(count, sizeof(Elf64_Shdr)));
        obtained = true;
    }
    auto give_up = [&]() -> Elf64_Shdr* {
        if (obtained) FreeHook(array);
        return nullptr;
    };
    if (bits == 32) {
        Elf32_Shdr* s32 = elf_readsecheader(stream, nullptr, count, offset, entsize);
        if (s32 == nullptr) return give_up();
        genelf_shdr32to64(array, s32, count);
        FreeHook(s32);
    } else if (bits == 64) {
        if (elf64_readsecheader(stream, array, count, offset, entsize) == nullptr) return give_up();
    } else {
        genelf_bad_elfbits();
    }
    return array;
}

uint32_t genelf_read_section_headers(FILE* stream, Elf64_Shdr** sections, uint8_t** names) {
    if (stream == nullptr || sections == nullptr || names == nullptr) return 0;
    int64_t base = plat_ftell64(stream);
    elfbits bits = genelf_elfbits(stream, base);
    if (bits != 32 && bits != 64) return 0;
    ElfXHeader h;
    genelf_readXheader(stream, &h, bits);
    Elf64_Shdr* shdrs = genelf_readsecheaders(stream, nullptr, h.e_shnum, base + static_cast<int64_t>(h.e_shoff),
                                              h.e_shentsize, bits);
    if (shdrs == nullptr) return 0;
    *sections = shdrs;
    genelf_check_shstrndx(h.e_shstrndx, h.e_shnum);
    const Elf64_Shdr& s = shdrs[h.e_shstrndx];
    if (s.sh_size == 0) genelf_error("ELF section string table is empty", nullptr);
    gen_safe_fseek64(nullptr, stream, base + static_cast<int64_t>(s.sh_offset), SEEK_SET);
    *names = static_cast<uint8_t*>(genelf_read_block(stream, nullptr, genelf_checked_size(s.sh_size)));
    return h.e_shnum;
}
