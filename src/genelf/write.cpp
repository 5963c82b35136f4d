// Writing an image as an ELF file of the input's class and byte order.
//
// write_image lays the file out the way the tool needs it: only the data of
// ".symtab", ".strtab" and ".shstrtab" is written, from the input's first
// data offset D on; every other section gets the running position as its
// offset and no bytes.  The layout is computed once, into a plan, and the
// plan is checked in full before a byte is written, so that a layout this
// writer cannot produce (positions beyond what its 32-bit seeks reach,
// tables that would overwrite each other, data a header claims but the
// image does not hold) is refused with the output still empty.  Then the
// plan is written out.  The class is dispatched on once, into code written
// once over the class's record forms.
#include <cstring>

#include "genelf/codec.h"
#include "genelf/validate.h"
#include "shared/genio.h"
#include "shared/genmem.h"

namespace {

constexpr uint64_t kSeekLimit = 0x7FFFFFFF;  // gen_safe_fseek takes a signed 32-bit offset

// Large alignment gaps (a section aligned to 2 MiB or more is not rare) are
// left as a hole: the output is seekable, the section header table is always
// written after the last gap so the file is extended over it, and reading the
// hole gives the same zeros without the cost of writing them.
constexpr uint64_t kHoleThreshold = 64 * 1024;

bool is_record_type(uint32_t type) {
    return type == SHT_SYMTAB || type == SHT_RELA || type == SHT_REL || type == SHT_SYMTAB_SHNDX;
}

uint64_t align_pad(uint64_t position, uint64_t align) {
    return align > 1 ? (align - 1) & (align - (position & (align - 1))) : 0;
}

void check_entsize(uint32_t type, uint64_t entsize) {
    if (is_record_type(type) && entsize == 0)
        genelf_errorf("genelf_writesection: section of type %u has sh_entsize 0", type);
}

void seek_to(FILE* stream, const char* name, uint64_t offset) {
    gen_safe_fseek(name, stream, static_cast<int32_t>(static_cast<uint32_t>(offset)), SEEK_SET);
}

void write_zeros(FILE* stream, const char* name, uint64_t count) {
    if (count >= kHoleThreshold && count <= kSeekLimit) {
        gen_safe_fseek(name, stream, static_cast<int32_t>(count), SEEK_CUR);
        return;
    }
    static const uint8_t zeros[256] = {};
    while (count > 0) {
        size_t n = count < sizeof zeros ? static_cast<size_t>(count) : sizeof zeros;
        std::fwrite(zeros, 1, n, stream);
        count -= n;
    }
}

// Where one section's data goes, from `*position` on: zero bytes up to its
// alignment, then its data.  Sets its sh_offset (0 when it is empty) and,
// for an ELF32 symbol table, the size and entry size of the 16-byte records
// its 64-bit forms are written as; moves `*position` past the data.
// Answers the number of padding bytes.
template <class Forms>
uint64_t place_section(Elf64_Shdr* s, uint64_t* position) {
    using Sym = typename Forms::Sym;
    if (!std::is_same<Sym, Elf64_Sym>::value && s->sh_type == SHT_SYMTAB) {
        if (s->sh_size != 0) check_entsize(SHT_SYMTAB, s->sh_entsize);
        uint64_t count = s->sh_size != 0 ? s->sh_size / s->sh_entsize : 0;
        if (count > 0xFFFFFFFFu / sizeof(Sym)) genelf_overflow();
        s->sh_entsize = sizeof(Sym);
        s->sh_size = count * sizeof(Sym);
    }
    uint64_t pad = align_pad(*position, s->sh_addralign);
    *position += pad;
    s->sh_offset = s->sh_size != 0 ? *position : 0;
    if (s->sh_type != SHT_NOBITS) *position += s->sh_size;
    return pad;
}

// Writes a placed section's data: raw bytes, or records of the class's form
// (symbols from their 64-bit forms).  Answers 0 for what cannot be written:
// absent data, a type that has no data of this kind, a failed write.
template <class Forms>
int write_data(FILE* stream, const Elf64_Shdr& s, const void* data) {
    const uint32_t type = s.sh_type;
    if (s.sh_size == 0 || type == SHT_NULL || type == SHT_NOBITS) return 1;
    if (data == nullptr) return 0;
    switch (type) {
        case SHT_PROGBITS:
        case SHT_STRTAB:
        case SHT_NOTE:
        case SHT_GROUP:
            return genelf_writebytes(stream, data, s.sh_size);
        default:
            break;
    }
    if (!is_record_type(type)) return 0;
    check_entsize(type, s.sh_entsize);
    const uint64_t count = s.sh_size / s.sh_entsize;
    switch (type) {
        case SHT_SYMTAB:
            genelf_write_records<typename Forms::Sym>(stream, static_cast<const Elf64_Sym*>(data), count);
            break;
        case SHT_RELA:
            genelf_write_records<typename Forms::Rela>(stream, static_cast<const typename Forms::Rela*>(data), count);
            break;
        case SHT_REL:
            genelf_write_records<typename Forms::Rel>(stream, static_cast<const typename Forms::Rel*>(data), count);
            break;
        default: {  // SHT_SYMTAB_SHNDX: one 32-bit word per entry, both classes
            const auto* words = static_cast<const uint32_t*>(data);
            for (uint64_t i = 0; i < count; ++i) genelf_write32(stream, words[i]);
            break;
        }
    }
    return 1;
}

template <class Forms>
void write_header(FILE* stream, const Elf64_Ehdr& ehdr) {
    // The identification bytes go through the checked write, which reports
    // a short write; the rest follows in ByteOrder.
    typename Forms::Ehdr h;
    if constexpr (std::is_same<typename Forms::Ehdr, Elf64_Ehdr>::value)
        h = ehdr;
    else
        genelf_narrow(ehdr, &h);
    gen_safe_fwrite(nullptr, h.e_ident, EI_NIDENT, 1, stream);
    uint8_t bytes[sizeof h];
    genelf_encode(bytes, h, genelf_swap_for_writing(true));
    std::fwrite(bytes + EI_NIDENT, 1, sizeof bytes - EI_NIDENT, stream);
}

// ---- the layout plan ----

enum class Written { None, Symbols, Strings, SectionNames };

Written written_as(const char* name) {
    if (std::strcmp(name, ".symtab") == 0) return Written::Symbols;
    if (std::strcmp(name, ".strtab") == 0) return Written::Strings;
    if (std::strcmp(name, ".shstrtab") == 0) return Written::SectionNames;
    return Written::None;
}

// One section's turn in the output.
struct SectionPlan {
    uint64_t position;  // the running position at its turn
    bool written;       // one of the three sections whose data is written
    uint64_t pad;       // zero bytes before its data
    const void* data;   // what its data is written from
    uint64_t needed;    // bytes of data its records take
    uint64_t held;      // bytes of `data`; the rest of what it needs are zeros
};

const char* section_name(const ElfImage* image, uint32_t index) {
    const char* name = genelf_name_at(image->shstrtab, image->shstrtab_size, image->shdrs[index].sh_name);
    if (name == nullptr)
        genelf_errorf("section %u: sh_name 0x%x is outside the section-name table (%I64u bytes)", index,
                      image->shdrs[index].sh_name, image->shstrtab_size);
    return name;
}

// The image's data for a written section, the bytes it holds, and the zero
// bytes that may follow them.
const void* data_for(const ElfImage* image, Written w, uint64_t* held, uint64_t* zeros) {
    *zeros = 0;
    switch (w) {
        case Written::Symbols: *held = uint64_t{image->nsyms} * sizeof(Elf64_Sym); return image->syms;
        case Written::Strings: *held = image->strtab_size; *zeros = image->strtab_zeros; return image->strtab;
        default: *held = image->shstrtab_size; return image->shstrtab;
    }
}

// Bytes of the image's data the section's records take.
template <class Forms>
uint64_t bytes_needed(const Elf64_Shdr& s) {
    if (s.sh_size == 0) return 0;
    switch (s.sh_type) {
        case SHT_PROGBITS: case SHT_STRTAB: case SHT_NOTE: case SHT_GROUP: return s.sh_size;
        case SHT_SYMTAB: return s.sh_size / s.sh_entsize * sizeof(Elf64_Sym);  // converted from 64-bit form
        case SHT_RELA: return s.sh_size / s.sh_entsize * sizeof(typename Forms::Rela);
        case SHT_REL: return s.sh_size / s.sh_entsize * sizeof(typename Forms::Rel);
        case SHT_SYMTAB_SHNDX: return s.sh_size / s.sh_entsize * 4;
        default: return 0;
    }
}

void check_seek(uint64_t offset, const char* what) {
    if (offset > kSeekLimit)
        genelf_errorf("write_image: %s at output offset 0x%I64x is beyond the 2 GiB this writer can position to",
                      what, offset);
}

struct Region {
    const char* what;
    uint64_t begin, end;
};

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

// Lays the file out: every section's offset, the program headers that map a
// section's address, e_shoff; written into the image's headers, with the
// turn of every section in `plan`.  Refuses a layout that cannot be written.
template <class Forms>
void plan_layout(ElfImage* image, SectionPlan* plan) {
    Elf64_Ehdr& h = image->ehdr;
    const uint64_t start = data_start(image);
    uint64_t position = start;
    uint32_t search_from = 0;
    for (uint32_t i = 0; i < h.e_shnum; ++i) {
        check_seek(position, "section data");
        Elf64_Shdr& s = image->shdrs[i];
        plan[i] = SectionPlan{position, false, 0, nullptr, 0, 0};
        Written w = written_as(section_name(image, i));
        if (w == Written::None) {
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
            continue;
        }
        if (s.sh_size != 0) check_entsize(s.sh_type, s.sh_entsize);
        plan[i].written = true;
        uint64_t zeros;
        plan[i].data = data_for(image, w, &plan[i].held, &zeros);
        plan[i].needed = bytes_needed<Forms>(s);
        if (plan[i].data != nullptr && plan[i].needed > plan[i].held + zeros)
            genelf_errorf("write_image: section %u (%s) needs 0x%I64x bytes of data but the image holds 0x%I64x",
                          i, section_name(image, i), plan[i].needed, plan[i].held + zeros);
        const uint64_t before = position;
        plan[i].pad = place_section<Forms>(&s, &position);
        check_seek(before + plan[i].pad, "section data");
    }
    check_seek(position, "section header table");
    h.e_shoff = position;
    if (h.e_phnum > 0) check_seek(h.e_phoff, "program header table");
    const Region regions[] = {
        {"file header", 0, sizeof(typename Forms::Ehdr)},
        {"program header table", h.e_phoff, h.e_phoff + uint64_t{h.e_phnum} * sizeof(typename Forms::Phdr)},
        {"section data", start, position},
        {"section header table", position, position + uint64_t{h.e_shnum} * sizeof(typename Forms::Shdr)},
    };
    check_disjoint(regions, sizeof regions / sizeof regions[0]);
}

template <class Forms>
void write_image_as(ElfImage* image, FILE* stream, const char* name) {
    Elf64_Ehdr& h = image->ehdr;
    auto* plan = static_cast<SectionPlan*>(AllocHook(h.e_shnum, sizeof(SectionPlan)));
    plan_layout<Forms>(image, plan);
    for (uint32_t i = 0; i < h.e_shnum; ++i) {
        seek_to(stream, name, plan[i].position);
        if (!plan[i].written) continue;
        write_zeros(stream, name, plan[i].pad);
        // Data that runs on into the zeros after what the image holds is
        // written from a copy that has them.
        const void* data = plan[i].data;
        uint8_t* padded = nullptr;
        if (data != nullptr && plan[i].needed > plan[i].held) {
            padded = static_cast<uint8_t*>(AllocHook(plan[i].needed, 1));
            std::memcpy(padded, data, plan[i].held);
            data = padded;
        }
        write_data<Forms>(stream, image->shdrs[i], data);
        FreeHook(padded);
    }
    FreeHook(plan);
    seek_to(stream, name, 0);
    write_header<Forms>(stream, h);
    seek_to(stream, name, h.e_phoff);
    genelf_write_records<typename Forms::Phdr>(stream, image->phdrs, h.e_phnum);
    seek_to(stream, name, h.e_shoff);
    genelf_write_records<typename Forms::Shdr>(stream, image->shdrs, h.e_shnum);
}

template <class Forms>
int write_section(FILE* stream, Elf64_Shdr* shdr, const void* data, uint64_t* position) {
    if (Forms::bits == 32) {
        Elf32_Shdr checked;
        genelf_narrow(*shdr, &checked);
    }
    const uint64_t start = *position;
    uint64_t pad = place_section<Forms>(shdr, position);
    if (Forms::bits == 32 && start + pad > 0xFFFFFFFFu) genelf_overflow();
    write_zeros(stream, nullptr, pad);
    return write_data<Forms>(stream, *shdr, data);
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

void write_image(ElfImage* image, FILE* stream, const char* name) {
    genelf_by_class(ElfWordSize * 8, [&](auto forms) { write_image_as<decltype(forms)>(image, stream, name); });
}

int genelf_writesection(FILE* stream, Elf64_Shdr* shdr, const void* data, uint64_t* position, elfbits bits) {
    if (shdr == nullptr) return 0;
    return genelf_by_class(bits, [&](auto forms) { return write_section<decltype(forms)>(stream, shdr, data, position); });
}

int genelf_writeheader(FILE* stream, const Elf64_Ehdr* ehdr, elfbits bits) {
    genelf_by_class(bits, [&](auto forms) { write_header<decltype(forms)>(stream, *ehdr); });
    return 1;
}

void genelf_writeprogheaders(FILE* stream, const Elf64_Phdr* phdrs, uint64_t count, elfbits bits) {
    genelf_by_class(bits, [&](auto forms) {
        genelf_write_records<typename decltype(forms)::Phdr>(stream, phdrs, count);
    });
}

int genelf_writesectheaders(FILE* stream, const Elf64_Shdr* shdrs, uint64_t count, elfbits bits) {
    genelf_by_class(bits, [&](auto forms) {
        genelf_write_records<typename decltype(forms)::Shdr>(stream, shdrs, count);
    });
    return 1;
}

int elf_writesymbol(FILE* stream, const Elf32_Sym* array, uint64_t count) {
    genelf_write_records<Elf32_Sym>(stream, array, count);
    return 1;
}

int elf64_writesymbol(FILE* stream, const Elf64_Sym* array, uint64_t count) {
    genelf_write_records<Elf64_Sym>(stream, array, count);
    return 1;
}
