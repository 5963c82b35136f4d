// Checks on values that the file supplies and that the library would
// otherwise use as indices or sizes unchecked.  A file that fails one is
// refused with a fatal message naming the field and the value (status 1):
// no read or write may leave its buffer because of what a file says.
#include <cstring>

#include "genelf/genelf.h"
#include "genelf/validate.h"

void genelf_check_shstrndx(uint32_t shstrndx, uint32_t shnum) {
    if (shstrndx >= shnum)
        genelf_errorf("e_shstrndx %u is not a valid section index (e_shnum is %u)", shstrndx, shnum);
}

size_t genelf_checked_size(uint64_t size) {
    if (size > SIZE_MAX) genelf_overflow();
    return static_cast<size_t>(size);
}

const char* genelf_name_at(const uint8_t* table, uint64_t size, uint64_t offset) {
    if (table == nullptr || offset >= size) return nullptr;
    const void* nul = std::memchr(table + offset, 0, static_cast<size_t>(size - offset));
    return nul != nullptr ? reinterpret_cast<const char*>(table + offset) : nullptr;
}

void genelf_check_section_names(const Elf64_Shdr* shdrs, uint32_t count, const uint8_t* names, uint64_t size) {
    for (uint32_t i = 0; i < count; ++i)
        if (genelf_name_at(names, size, shdrs[i].sh_name) == nullptr)
            genelf_errorf("section %u: sh_name 0x%x is outside the section-name table (%I64u bytes)", i,
                          shdrs[i].sh_name, size);
}
