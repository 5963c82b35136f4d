// Writing an image as an ELF file of the input's class and byte order.
//
// write_image lays the file out the way the tool needs it: only the data of
// ".symtab", ".strtab" and ".shstrtab" is written, from the input's first
// data offset D on; every other section gets the running position as its
// offset and no bytes.  The layout is planned in full before a byte is
// written, so that a layout this writer cannot produce (positions beyond
// what its 32-bit seeks reach, tables that would overwrite each other, data
// a header claims but the image does not hold) is refused with the output
// still empty.
#include <cstring>

#include "genelf/genelf.h"
#include "genelf/records.h"
#include "shared/genio.h"
#include "shared/genmem.h"

namespace {

constexpr uint64_t kSeekLimit = 0x7FFFFFFF;  // gen_safe_fseek takes a signed 32-bit offset

bool is_record_type(uint32_t type) {
    return type == SHT_SYMTAB || type == SHT_RELA || type == SHT_REL || type == SHT_SYMTAB_SHNDX;
}

uint64_t align_pad(uint64_t position, uint64_t align) {
    return align > 1 ? (align - 1) & (align - (position & (align - 1))) : 0;
}

// Large alignment gaps (a section aligned to 2 MiB or more is not rare) are
// left as a hole: the output is seekable, the section header table is always
// written after the last gap so the file is extended over it, and reading the
// hole gives the same zeros without the cost of writing them.
constexpr uint64_t kHoleThreshold = 64 * 1024;

void write_zeros(FILE* stream, uint64_t count) {
    if (count >= kHoleThreshold && count <= kSeekLimit) {
        gen_safe_fseek(OutputName, stream, static_cast<int32_t>(count), SEEK_CUR);
        return;
    }
    static const uint8_t zeros[256] = {};
    while (count > 0) {
        size_t n = count < sizeof zeros ? static_cast<size_t>(count) : sizeof zeros;
        std::fwrite(zeros, 1, n, stream);
        count -= n;
    }
}

template <typename Rec, size_t N>
int write_records(FILE* stream, const void* data, uint64_t count, const ElfRecord<N>& rec) {
    genelf_write_records(stream, static_cast<const Rec*>(data), count, rec);
    return 1;
}

void check_entsize(uint32_t type, uint64_t entsize) {
    if (is_record_type(type) && entsize == 0)
        genelf_errorf("genelf_writesection: section of type %u has sh_entsize 0", type);
}

// The section data writer, one body for both classes: Shdr is Elf32_Shdr or
// Elf64_Shdr and `is32` picks the record layouts.
template <typename Shdr>
int write_section_data(FILE* stream, Shdr* shdr, const void* data, uint64_t* position, bool is32) {
    uint64_t pad = align_pad(*position, shdr->sh_addralign);
    *position += pad;
    write_zeros(stream, pad);
    if (is32 && *position > 0xFFFFFFFFu) genelf_overflow();
    shdr->sh_offset = static_cast<decltype(shdr->sh_offset)>(*position);
    if (shdr->sh_type != SHT_NOBITS) *position += shdr->sh_size;
    if (shdr->sh_size == 0) {
        shdr->sh_offset = 0;
        return 1;
    }
    uint32_t type = shdr->sh_type;
    if (type == SHT_NULL || type == SHT_NOBITS) return 1;
    if (data == nullptr) return 0;
    switch (type) {
        case SHT_PROGBITS:
        case SHT_STRTAB:
        case SHT_NOTE:
        case SHT_GROUP:
            return genelf_writebytes(stream, data, shdr->sh_size);
        default:
            break;
    }
    if (!is_record_type(type)) return 0;
    check_entsize(type, shdr->sh_entsize);
    uint64_t count = shdr->sh_size / shdr->sh_entsize;
    switch (type) {
        case SHT_SYMTAB:
            return is32 ? elf_writesymbol(stream, static_cast<const Elf32_Sym*>(data), count)
                        : elf64_writesymbol(stream, static_cast<const Elf64_Sym*>(data), count);
        case SHT_RELA:
            return is32 ? write_records<Elf32_Rela>(stream, data, count, kElf32Rela)
                        : write_records<Elf64_Rela>(stream, data, count, kElf64Rela);
        case SHT_REL:
            return is32 ? write_records<Elf32_Rel>(stream, data, count, kElf32Rel)
                        : write_records<Elf64_Rel>(stream, data, count, kElf64Rel);
        default: {  // SHT_SYMTAB_SHNDX: one 32-bit word per entry, both classes
            const auto* words = static_cast<const uint32_t*>(data);
            for (uint64_t i = 0; i < count; ++i) genelf_write32(stream, words[i]);
            return 1;
        }
    }
}

// ---- planning ----

const char* section_name(const ElfImage* image, uint32_t index) {
    const char* name = genelf_name_at(image->shstrtab, image->shstrtab_size, image->shdrs[index].sh_name);
    if (name == nullptr)
        genelf_errorf("section %u: sh_name 0x%x is outside the section-name table (%I64u bytes)", index,
                      image->shdrs[index].sh_name, image->shstrtab_size);
    return name;
}

enum class Written { None, Symbols, Strings, SectionNames };

Written written_as(const char* name) {
    if (std::strcmp(name, ".symtab") == 0) return Written::Symbols;
    if (std::strcmp(name, ".strtab") == 0) return Written::Strings;
    if (std::strcmp(name, ".shstrtab") == 0) return Written::SectionNames;
    return Written::None;
}

const void* data_for(const ElfImage* image, Written w, uint64_t* available) {
    switch (w) {
        case Written::Symbols: *available = uint64_t{image->nsyms} * sizeof(Elf64_Sym); return image->syms;
        case Written::Strings: *available = image->strtab_size; return image->strtab;
        case Written::SectionNames: *available = image->shstrtab_size; return image->shstrtab;
        default: *available = 0; return nullptr;
    }
}

// Bytes of `data` the section writer will read for this header.
uint64_t bytes_needed(const Elf64_Shdr& s, bool is32) {
    if (s.sh_size == 0) return 0;
    switch (s.sh_type) {
        case SHT_PROGBITS: case SHT_STRTAB: case SHT_NOTE: case SHT_GROUP: return s.sh_size;
        case SHT_SYMTAB: return s.sh_size / s.sh_entsize * sizeof(Elf64_Sym);  // converted from 64-bit form
        case SHT_RELA: return s.sh_size / s.sh_entsize * (is32 ? sizeof(Elf32_Rela) : sizeof(Elf64_Rela));
        case SHT_REL: return s.sh_size / s.sh_entsize * (is32 ? sizeof(Elf32_Rel) : sizeof(Elf64_Rel));
        case SHT_SYMTAB_SHNDX: return s.sh_size / s.sh_entsize * 4;
        default: return 0;
    }
}

struct Region {
    const char* what;
    uint64_t begin, end;
};

void check_seek(uint64_t offset, const char* what) {
    if (offset > kSeekLimit)
        genelf_errorf("write_image: %s at output offset 0x%I64x is beyond the 2 GiB this writer can position to",
                      what, offset);
}

void check_disjoint(const Region* regions, size_t count) {
    for (size_t i = 0; i < count; ++i)
        for (size_t j = i + 1; j < count; ++j) {
            const Region& a = regions[i];
            const Region& b = regions[j];
            if (a.begin < a.end && b.begin < b.end && a.begin < b.end && b.begin < a.end)
                genelf_errorf("write_image: the %s (0x%I64x-0x%I64x) would overlap the %s (0x%I64x-0x%I64x)",
                              a.what, a.begin, a.end, b.what, b.begin, b.end);
        }
}

uint64_t data_start(const ElfImage* image) {
    const Elf64_Shdr* s = image->shdrs;
    if (image->ehdr.e_shnum < 2) return 0;
    if (s[1].sh_offset != 0) return s[1].sh_offset;
    for (uint32_t i = 2; i < image->ehdr.e_shnum; ++i)
        if (static_cast<int64_t>(s[i].sh_offset) > 0) return s[i].sh_offset;
    return 0;
}

// Walks the layout exactly as the writer will, without writing, and refuses
// what cannot be written safely.
void plan_layout(const ElfImage* image, elfbits bits) {
    const bool is32 = bits == 32;
    uint64_t position = data_start(image);
    const uint64_t start = position;
    for (uint32_t i = 0; i < image->ehdr.e_shnum; ++i) {
        check_seek(position, "section data");
        const Elf64_Shdr& s = image->shdrs[i];
        Written w = written_as(section_name(image, i));
        if (w == Written::None) continue;
        check_entsize(s.sh_type, s.sh_entsize);
        uint64_t available;
        const void* data = data_for(image, w, &available);
        uint64_t needed = bytes_needed(s, is32);
        if (data != nullptr && needed > available)
            genelf_errorf("write_image: section %u (%s) needs 0x%I64x bytes of data but the image holds 0x%I64x",
                          i, section_name(image, i), needed, available);
        uint64_t size = s.sh_size;
        if (is32 && s.sh_type == SHT_SYMTAB) size = s.sh_size / s.sh_entsize * sizeof(Elf32_Sym);
        position += align_pad(position, s.sh_addralign);
        check_seek(position, "section data");
        if (s.sh_type != SHT_NOBITS) position += size;
    }
    check_seek(position, "section header table");
    const Elf64_Ehdr& h = image->ehdr;
    if (h.e_phnum > 0) check_seek(h.e_phoff, "program header table");
    const uint64_t ehsize = is32 ? 52 : 64, phsize = is32 ? 32 : 56, shsize = is32 ? 40 : 64;
    const Region regions[] = {
        {"file header", 0, ehsize},
        {"program header table", h.e_phoff, h.e_phoff + uint64_t{h.e_phnum} * phsize},
        {"section data", start, position},
        {"section header table", position, position + uint64_t{h.e_shnum} * shsize},
    };
    check_disjoint(regions, sizeof regions / sizeof regions[0]);
}

void seek_to(FILE* stream, uint64_t offset) {
    gen_safe_fseek(OutputName, stream, static_cast<int32_t>(static_cast<uint32_t>(offset)), SEEK_SET);
}

}  // namespace

int genelf_writebytes(FILE* stream, const void* data, uint64_t size) {
    if (size != 0 && data == nullptr) return 0;
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
        size_t n = std::fwrite(bytes, 1, static_cast<size_t>(size), stream);
        if (n == 0) return 0;
        bytes += n;
        size -= n;
    }
    return 1;
}

int genelf_writesection(FILE* stream, Elf64_Shdr* shdr, const void* data, uint64_t* position, elfbits bits) {
    if (shdr == nullptr) return 0;
    if (bits == 64) return write_section_data(stream, shdr, data, position, false);
    if (bits != 32) genelf_bad_elfbits();

    Elf32_Shdr* s32 = genelf_shdr64to32(nullptr, shdr, 1);
    int result;
    if (shdr->sh_type == SHT_SYMTAB) {
        check_entsize(SHT_SYMTAB, shdr->sh_entsize);
        uint64_t count = shdr->sh_size / shdr->sh_entsize;
        Elf32_Sym* syms32 = data != nullptr ? genelf_sym64to32(nullptr, static_cast<const Elf64_Sym*>(data), count)
                                            : nullptr;
        uint64_t size32 = count * sizeof(Elf32_Sym);
        if (size32 > 0xFFFFFFFFu) genelf_overflow();
        shdr->sh_entsize = s32->sh_entsize = sizeof(Elf32_Sym);
        shdr->sh_size = size32;
        s32->sh_size = static_cast<uint32_t>(size32);
        result = write_section_data(stream, s32, syms32 != nullptr ? syms32 : data, position, true);
        FreeHook(syms32);
    } else {
        result = write_section_data(stream, s32, data, position, true);
    }
    shdr->sh_offset = s32->sh_offset;
    FreeHook(s32);
    return result;
}

int genelf_writeheader(FILE* stream, const Elf64_Ehdr* ehdr, elfbits bits) {
    if (bits == 32) {
        Elf32_Ehdr* h32 = genelf_ehdr64to32(nullptr, ehdr);
        gen_safe_fwrite(nullptr, h32->e_ident, EI_NIDENT, 1, stream);
        genelf_write_record(stream, h32, kElf32EhdrTail);
        FreeHook(h32);
    } else if (bits == 64) {
        gen_safe_fwrite(nullptr, ehdr->e_ident, EI_NIDENT, 1, stream);
        genelf_write_record(stream, ehdr, kElf64EhdrTail);
    } else {
        genelf_bad_elfbits();
    }
    return 1;
}

void genelf_writeprogheaders(FILE* stream, const Elf64_Phdr* phdrs, uint64_t count, elfbits bits) {
    if (bits == 32) {
        Elf32_Phdr* p32 = genelf_phdr64to32(nullptr, phdrs, count);
        if (p32 == nullptr) return;
        genelf_write_records(stream, p32, count, kElf32Phdr);
        FreeHook(p32);
    } else if (bits == 64) {
        genelf_write_records(stream, phdrs, count, kElf64Phdr);
    } else {
        genelf_bad_elfbits();
    }
}

int genelf_writesectheaders(FILE* stream, const Elf64_Shdr* shdrs, uint64_t count, elfbits bits) {
    if (bits == 32) {
        Elf32_Shdr* s32 = genelf_shdr64to32(nullptr, shdrs, count);
        genelf_write_records(stream, s32, count, kElf32Shdr);
        FreeHook(s32);
    } else if (bits == 64) {
        genelf_write_records(stream, shdrs, count, kElf64Shdr);
    } else {
        genelf_bad_elfbits();
    }
    return 1;
}

void write_image(ElfImage* image, FILE* stream) {
    const elfbits bits = ElfWordSize * 8;
    if (bits != 32 && bits != 64) genelf_bad_elfbits();
    plan_layout(image, bits);

    Elf64_Ehdr& h = image->ehdr;
    uint64_t position = data_start(image);
    uint32_t search_from = 0;
    for (uint32_t i = 0; i < h.e_shnum; ++i) {
        seek_to(stream, position);
        Elf64_Shdr& s = image->shdrs[i];
        Written w = written_as(section_name(image, i));
        if (w != Written::None) {
            uint64_t available;
            const void* data = data_for(image, w, &available);
            genelf_writesection(stream, &s, data, &position, bits);
            continue;
        }
        s.sh_offset = position;
        // A program header that maps this section's address gets the
        // section's offset; the search resumes at the match, so one
        // program header can match several sections in a row.
        for (uint32_t p = search_from; p < h.e_phnum; ++p) {
            if (image->phdrs[p].p_vaddr == s.sh_addr) {
                image->phdrs[p].p_offset = position;
                search_from = p;
                break;
            }
        }
    }
    h.e_shoff = position;
    seek_to(stream, 0);
    genelf_writeheader(stream, &h, bits);
    seek_to(stream, h.e_phoff);
    genelf_writeprogheaders(stream, image->phdrs, h.e_phnum, bits);
    seek_to(stream, h.e_shoff);
    genelf_writesectheaders(stream, image->shdrs, h.e_shnum, bits);
}
