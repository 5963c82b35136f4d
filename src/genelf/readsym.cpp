// Finding, reading and writing the symbol table.
//
// The table is chosen by name, not by type: the first ".symtab", else the
// first ".dynsym".  The section headers and names are read a second time
// here, privately, so this reader works on any stream positioned at the
// start of an ELF file.
#include <cstring>

#include "genelf/genelf.h"
#include "genelf/records.h"
#include "genelf/symtable.h"
#include "platform/platform.h"
#include "shared/genexit.h"
#include "shared/genio.h"
#include "shared/genmem.h"

namespace {

constexpr int64_t kCurrentPosition = -1;

template <typename Sym, size_t N>
Sym* read_symbols(FILE* stream, Sym* array, int64_t count, int64_t offset, int64_t entsize,
                  const ElfRecord<N>& rec, const char* xindex_message) {
    if (offset != kCurrentPosition) gen_safe_fseek64(nullptr, stream, offset, SEEK_SET);
    bool obtained = false;
    if (array == nullptr && count != 0) {
        array = static_cast<Sym*>(genelf_alloc_array(static_cast<uint64_t>(count), sizeof(Sym)));
        obtained = true;
    }
    if (entsize == 0) entsize = static_cast<int64_t>(rec.file_size);
    if (entsize < static_cast<int64_t>(rec.file_size)) {
        if (obtained) FreeHook(array);
        return nullptr;
    }
    if (array == nullptr) return nullptr;
    uint64_t extra = static_cast<uint64_t>(entsize) - rec.file_size;
    for (int64_t i = 0; i < count; ++i) {
        genelf_read_record(stream, &array[i], rec);
        genelf_skip(stream, extra);
        if (array[i].st_shndx == SHN_XINDEX) gen_fatal_exit(1, xindex_message);
    }
    return array;
}

int find_section(const Elf64_Shdr* shdrs, uint32_t count, const uint8_t* names, const char* wanted) {
    for (uint32_t i = 0; i < count; ++i)
        if (std::strcmp(reinterpret_cast<const char*>(names + shdrs[i].sh_name), wanted) == 0)
            return static_cast<int>(i);
    return -1;
}

}  // namespace

Elf32_Sym* elf_readsymbol(FILE* stream, Elf32_Sym* array, int64_t count, int64_t offset, int64_t entsize) {
    return read_symbols(stream, array, count, offset, entsize, kElf32Sym,
                        "elf_readsymbol: symbol requires SYMTAB_SHNDX section");
}

Elf64_Sym* elf64_readsymbol(FILE* stream, Elf64_Sym* array, int64_t count, int64_t offset, int64_t entsize) {
    return read_symbols(stream, array, count, offset, entsize, kElf64Sym,
                        "elf64_readsymbol: symbol requires SYMTAB_SHNDX section");
}

int elf_writesymbol(FILE* stream, const Elf32_Sym* array, uint64_t count) {
    genelf_write_records(stream, array, count, kElf32Sym);
    return 1;
}

int elf64_writesymbol(FILE* stream, const Elf64_Sym* array, uint64_t count) {
    genelf_write_records(stream, array, count, kElf64Sym);
    return 1;
}

bool genelf_locate_symtab(FILE* stream, ElfSymtabPlace* place) {
    *place = ElfSymtabPlace{};
    place->index = -1;
    place->base = plat_ftell64(stream);
    place->bits = genelf_elfbits(stream, place->base);
    const int64_t record_size = place->bits == 32 ? 16 : 24;

    ElfXHeader h;
    genelf_readXheader(stream, &h, place->bits);
    place->shnum = h.e_shnum;
    Elf64_Shdr* shdrs = genelf_readsecheaders(stream, nullptr, h.e_shnum,
                                              place->base + static_cast<int64_t>(h.e_shoff), h.e_shentsize,
                                              place->bits);
    if (shdrs == nullptr) return false;

    genelf_check_shstrndx(h.e_shstrndx, h.e_shnum);
    const Elf64_Shdr& names_hdr = shdrs[h.e_shstrndx];
    if (names_hdr.sh_size == 0) genelf_error("ELF section string table is empty", nullptr);
    gen_safe_fseek64(nullptr, stream, place->base + static_cast<int64_t>(names_hdr.sh_offset), SEEK_SET);
    uint64_t names_size = names_hdr.sh_size;
    auto* names = static_cast<uint8_t*>(genelf_read_block(stream, nullptr, genelf_checked_size(names_size)));
    genelf_check_section_names(shdrs, h.e_shnum, names, names_size);

    int index = find_section(shdrs, h.e_shnum, names, ".symtab");
    if (index < 0) index = find_section(shdrs, h.e_shnum, names, ".dynsym");
    bool usable = false;
    if (index >= 0) {
        const Elf64_Shdr& s = shdrs[index];
        int64_t entsize = static_cast<int64_t>(s.sh_entsize);
        if (entsize == 0 || entsize >= record_size) {
            if (entsize == 0) entsize = record_size;
            usable = true;
            place->index = index;
            place->entsize = static_cast<uint64_t>(entsize);
            place->count = s.sh_size / place->entsize;
            place->sym_offset = static_cast<uint64_t>(place->base) + s.sh_offset;
            place->link = s.sh_link;
            if (s.sh_link < h.e_shnum) {
                place->str_offset = static_cast<uint64_t>(place->base) + shdrs[s.sh_link].sh_offset;
                place->str_size = shdrs[s.sh_link].sh_size;
            }
            if (place->bits == 32 && (place->sym_offset > 0xFFFFFFFFu || place->entsize > 0xFFFFFFFFu))
                genelf_overflow();
        }
    }
    FreeHook(shdrs);
    FreeHook(names);
    return usable;
}

void genelf_check_symtab_link(const ElfSymtabPlace& place) {
    if (place.link >= place.shnum)
        genelf_errorf("symbol table section %d: sh_link %u is not a valid section index (e_shnum is %u)",
                      place.index, place.link, place.shnum);
}

uint64_t genelf_read_symtab(FILE* stream, Elf64_Sym** syms, uint8_t** strings) {
    if (stream == nullptr || syms == nullptr || strings == nullptr) return 0;
    ElfSymtabPlace place;
    if (!genelf_locate_symtab(stream, &place)) {
        *syms = nullptr;
        *strings = nullptr;
        return 0;
    }
    uint64_t count = place.count;
    Elf64_Sym* symbols;
    if (place.bits == 32) {
        Elf32_Sym* s32 = elf_readsymbol(stream, nullptr, static_cast<int64_t>(count),
                                        static_cast<int64_t>(place.sym_offset), static_cast<int64_t>(place.entsize));
        symbols = genelf_sym32to64(nullptr, s32, s32 != nullptr ? count : 0);
        FreeHook(s32);
    } else {
        symbols = elf64_readsymbol(stream, nullptr, static_cast<int64_t>(count),
                                   static_cast<int64_t>(place.sym_offset), static_cast<int64_t>(place.entsize));
    }
    genelf_check_symtab_link(place);
    gen_safe_fseek64(nullptr, stream, static_cast<int64_t>(place.str_offset), SEEK_SET);
    auto* strtab = static_cast<uint8_t*>(genelf_read_block(stream, nullptr, genelf_checked_size(place.str_size)));
    if (symbols == nullptr || strtab == nullptr) {
        count = 0;
        FreeHook(symbols);
        FreeHook(strtab);
        symbols = nullptr;
        strtab = nullptr;
    }
    *syms = symbols;
    *strings = strtab;
    return count;
}
