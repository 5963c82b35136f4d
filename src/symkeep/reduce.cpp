// Copying the loaded image and reducing its symbol table to the kept names.
//
// The reduced string table holds one copy of each kept symbol's name, in
// symbol order, the first at offset 0; names are never shared, so when many
// kept symbols point at one stored name the new table is larger than the old
// one, and its buffer is sized for the kept names rather than for the old
// table.
#include <cstring>

#include "genelf/records.h"
#include "shared/genmem.h"
#include "symkeep/symkeep.h"

int32_t StrtabSize = 0;

namespace {

// The section named ".symtab" with the highest index, or -1.
int64_t find_symtab(const ElfImage* image) {
    for (int64_t i = int64_t{image->ehdr.e_shnum} - 1; i >= 0; --i) {
        const char* name = genelf_name_at(image->shstrtab, image->shstrtab_size, image->shdrs[i].sh_name);
        if (name != nullptr && std::strcmp(name, ".symtab") == 0) return i;
    }
    return -1;
}

template <typename T>
T* copy_array(const T* source, uint64_t count) {
    if (count == 0) return nullptr;
    T* target = static_cast<T*>(AllocHook(count, sizeof(T)));
    if (source != nullptr) std::memcpy(target, source, count * sizeof(T));
    return target;
}

// Copies `size` bytes when the source holds that many; what it lacks stays
// zero (the allocation hook zero-fills).
uint8_t* copy_bytes(const uint8_t* source, uint64_t source_size, uint64_t size) {
    if (size == 0) return nullptr;
    auto* target = static_cast<uint8_t*>(AllocHook(size, 1));
    uint64_t n = source != nullptr ? (source_size < size ? source_size : size) : 0;
    if (n != 0) std::memcpy(target, source, n);
    return target;
}

const char* symbol_name(const ElfImage* image, uint32_t index) {
    uint32_t offset = image->syms[index].st_name;
    const char* name = genelf_name_at(image->strtab, image->strtab_size, offset);
    if (name == nullptr)
        genelf_errorf("symbol %u: st_name 0x%x is outside the symbol string table (%I64u bytes)", index, offset,
                      image->strtab_size);
    return name;
}

}  // namespace

void copy_image(const ElfImage* source, ElfImage* target) {
    target->ehdr = source->ehdr;
    target->phdrs = copy_array(source->phdrs, source->ehdr.e_phnum);
    target->shdrs = copy_array(source->shdrs, source->ehdr.e_shnum);
    target->nsyms = source->nsyms;
    target->syms = copy_array(source->syms, source->nsyms);

    uint64_t names_size = 0;
    if (source->ehdr.e_shnum != 0 && source->ehdr.e_shstrndx < source->ehdr.e_shnum)
        names_size = source->shdrs[source->ehdr.e_shstrndx].sh_size;
    target->shstrtab = copy_bytes(source->shstrtab, source->shstrtab_size, names_size);
    target->shstrtab_size = target->shstrtab != nullptr ? names_size : 0;

    int64_t symtab = find_symtab(source);
    if (symtab >= 0) {
        uint32_t link = source->shdrs[symtab].sh_link;
        if (link >= source->ehdr.e_shnum)
            genelf_errorf("symbol table section %I64d: sh_link %u is not a valid section index (e_shnum is %u)",
                          symtab, link, source->ehdr.e_shnum);
        StrtabSize = static_cast<int32_t>(static_cast<uint32_t>(source->shdrs[link].sh_size));
    }
    // StrtabSize is a signed 32-bit value: a table of 2 GiB or more reads as
    // negative here and is copied as empty rather than as a huge request.
    uint64_t strtab_size = StrtabSize > 0 ? static_cast<uint64_t>(StrtabSize) : 0;
    target->strtab = copy_bytes(source->strtab, source->strtab_size, strtab_size);
    target->strtab_size = target->strtab != nullptr ? strtab_size : 0;
}

void reduce_symbols(ElfImage* image) {
    int64_t symtab = find_symtab(image);
    if (symtab >= 0) {
        Elf64_Shdr& s = image->shdrs[symtab];
        if (s.sh_link >= image->ehdr.e_shnum)
            genelf_errorf("symbol table section %I64d: sh_link %u is not a valid section index (e_shnum is %u)",
                          symtab, s.sh_link, image->ehdr.e_shnum);

        // First pass: which symbols stay, and how many name bytes they need.
        uint64_t kept = 0, name_bytes = 0;
        for (uint32_t i = 0; i < image->nsyms; ++i) {
            const char* name = symbol_name(image, i);
            if (is_kept_symbol(name)) {
                ++kept;
                name_bytes += std::strlen(name) + 1;
            }
        }
        uint64_t capacity = name_bytes > uint64_t(StrtabSize > 0 ? StrtabSize : 0) ? name_bytes : StrtabSize;
        auto* syms = static_cast<Elf64_Sym*>(AllocHook(image->nsyms, sizeof(Elf64_Sym)));
        auto* strings = static_cast<uint8_t*>(AllocHook(capacity, 1));

        uint32_t count = 0;
        uint64_t offset = 0;
        for (uint32_t i = 0; i < image->nsyms; ++i) {
            const char* name = symbol_name(image, i);
            if (!is_kept_symbol(name)) continue;
            size_t length = std::strlen(name) + 1;
            syms[count] = image->syms[i];
            std::memcpy(strings + offset, name, length);
            syms[count].st_name = static_cast<uint32_t>(offset);
            ++count;
            offset += length;
        }

        FreeHook(image->syms);
        image->syms = syms;
        image->nsyms = count;
        s.sh_size = uint64_t{count} * sizeof(Elf64_Sym);
        s.sh_entsize = sizeof(Elf64_Sym);

        FreeHook(image->strtab);
        image->strtab = strings;
        image->strtab_size = capacity;
        image->shdrs[s.sh_link].sh_size = offset;
    }
    for (int64_t p = int64_t{image->ehdr.e_phnum} - 1; p >= 0; --p) image->phdrs[p].p_filesz = 0;
}
