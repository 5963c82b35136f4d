// Copying the loaded image and reducing its symbol table to the kept names.
//
// The reduced string table holds one copy of each kept symbol's name, in
// symbol order, the first at offset 0; names are never shared, so when many
// kept symbols point at one stored name the new table is larger than the old
// one, and its buffer grows to hold the kept names.
//
// The copy shares the tables that the loader left in the input file (the
// symbols and their names) instead of duplicating them: nothing writes to
// them, and the reduction replaces both with new tables of the kept entries,
// so no one can observe the difference; a large input is then read once,
// by the reduction, instead of being copied twice.
#include <cstring>

#include "genelf/validate.h"
#include "genelf/symtable.h"
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

[[noreturn]] void refuse_link(int64_t index, uint32_t link, uint32_t shnum) {
    genelf_errorf("symbol table section %I64d: sh_link %u is not a valid section index (e_shnum is %u)", index,
                  link, shnum);
}

// The growing string table of the kept names.
struct NewStrings {
    uint8_t* bytes;
    uint64_t capacity;
    uint64_t used = 0;

    uint32_t add(const char* name, size_t length) {
        uint64_t need = used + length + 1;
        if (need > capacity) {
            uint64_t grown = capacity < 256 ? 256 : capacity;
            while (grown < need) grown *= 2;
            bytes = static_cast<uint8_t*>(ReallocHook(bytes, static_cast<int64_t>(grown)));
            std::memset(bytes + capacity, 0, grown - capacity);
            capacity = grown;
        }
        auto offset = static_cast<uint32_t>(used);
        std::memcpy(bytes + used, name, length);
        bytes[used + length] = 0;
        used = need;
        return offset;
    }
};

// The growing array of kept symbols.  It never needs more entries than the
// walk can deliver, but it is sized by what is kept.
struct KeptSymbols {
    Elf64_Sym* entries = nullptr;
    uint64_t count = 0, capacity = 0;

    void add(const Elf64_Sym& sym) {
        if (count == capacity) {
            capacity = capacity < 64 ? 64 : 2 * capacity;
            entries = static_cast<Elf64_Sym*>(ReallocHook(entries, static_cast<int64_t>(capacity * sizeof(Elf64_Sym))));
        }
        entries[count++] = sym;
    }
};

}  // namespace

void copy_image(const ElfImage* source, ElfImage* target) {
    target->ehdr = source->ehdr;
    target->phdrs = copy_array(source->phdrs, source->ehdr.e_phnum);
    target->shdrs = copy_array(source->shdrs, source->ehdr.e_shnum);
    target->nsyms = source->nsyms;
    if (source->syms_file.stream != nullptr)
        target->syms_file = source->syms_file;
    else
        target->syms = copy_array(source->syms, source->nsyms);

    uint64_t names_size = 0;
    if (source->ehdr.e_shnum != 0 && source->ehdr.e_shstrndx < source->ehdr.e_shnum)
        names_size = source->shdrs[source->ehdr.e_shstrndx].sh_size;
    target->shstrtab = copy_bytes(source->shstrtab, source->shstrtab_size, names_size);
    target->shstrtab_size = target->shstrtab != nullptr ? names_size : 0;

    int64_t symtab = find_symtab(source);
    if (symtab >= 0) {
        uint32_t link = source->shdrs[symtab].sh_link;
        if (link >= source->ehdr.e_shnum) refuse_link(symtab, link, source->ehdr.e_shnum);
        StrtabSize = static_cast<int32_t>(static_cast<uint32_t>(source->shdrs[link].sh_size));
    }
    // StrtabSize is a signed 32-bit value: a table of 2 GiB or more reads as
    // negative here and is copied as empty rather than as a huge request.
    uint64_t strtab_size = StrtabSize > 0 ? static_cast<uint64_t>(StrtabSize) : 0;
    if (strtab_size == 0) return;
    target->strtab_size = strtab_size;
    if (source->strtab_file.stream != nullptr) {
        target->strtab_file = source->strtab_file;
        if (target->strtab_file.bytes > strtab_size) target->strtab_file.bytes = strtab_size;
    } else {
        target->strtab = copy_bytes(source->strtab, source->strtab_size, strtab_size);
    }
}

void reduce_symbols(ElfImage* image) {
    int64_t symtab = find_symtab(image);
    if (symtab >= 0) {
        Elf64_Shdr& s = image->shdrs[symtab];
        if (s.sh_link >= image->ehdr.e_shnum) refuse_link(symtab, s.sh_link, image->ehdr.e_shnum);

        // Both new tables grow with what is kept rather than being sized for
        // the whole input up front: a keep list of one name on a
        // million-symbol input then reserves kilobytes, not a hundred
        // megabytes of address space (which `ulimit -v` counts).
        KeptSymbols syms;
        NewStrings strings{nullptr, 0};
        ElfSymbolWalk walk(*image);
        ElfNameTable names(*image);
        uint32_t count = 0;
        Elf64_Sym sym;
        for (uint32_t i = 0; walk.next(&sym); ++i) {
            size_t length;
            const char* name = names.name_at(sym.st_name, &length);
            if (name == nullptr)
                genelf_errorf("symbol %u: st_name 0x%x is outside the symbol string table (%I64u bytes)", i,
                              sym.st_name, image->strtab_size);
            if (!is_kept_symbol(name, length)) continue;
            sym.st_name = strings.add(name, length);
            syms.add(sym);
            ++count;
        }

        FreeHook(image->syms);
        image->syms = syms.entries;
        image->syms_file = ElfFileTable{};
        image->nsyms = count;
        s.sh_size = uint64_t{count} * sizeof(Elf64_Sym);
        s.sh_entsize = sizeof(Elf64_Sym);

        FreeHook(image->strtab);
        image->strtab = strings.bytes;
        image->strtab_file = ElfFileTable{};
        image->strtab_size = strings.used;
        // The new table stands for a buffer of at least the input table's
        // size, zeros past the names, as a second ".strtab" may be written
        // from it.
        const uint64_t input_size = StrtabSize > 0 ? static_cast<uint64_t>(StrtabSize) : 0;
        image->strtab_zeros = input_size > strings.used ? input_size - strings.used : 0;
        image->shdrs[s.sh_link].sh_size = strings.used;
    }
    for (int64_t p = int64_t{image->ehdr.e_phnum} - 1; p >= 0; --p) image->phdrs[p].p_filesz = 0;
}
