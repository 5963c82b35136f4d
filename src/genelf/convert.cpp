// The class conversions between ELF32 records and their 64-bit forms, as
// routines over whole arrays.  The field-by-field work is generated from
// the record descriptions (codec.h).
#include "genelf/codec.h"

namespace {

template <class Dst, class Src, class Convert>
Dst* convert_array(Dst* dst, const Src* src, uint64_t count, Convert convert) {
    if (count == 0 && dst == nullptr) return nullptr;
    if (dst == nullptr) dst = static_cast<Dst*>(genelf_alloc_array(count, sizeof(Dst)));
    for (uint64_t i = 0; i < count; ++i) convert(src[i], &dst[i]);
    return dst;
}

template <class Dst, class Src>
Dst* widen_array(Dst* dst, const Src* src, uint64_t count) {
    return convert_array(dst, src, count, [](const Src& s, Dst* d) { genelf_widen(s, d); });
}

template <class Dst, class Src>
Dst* narrow_array(Dst* dst, const Src* src, uint64_t count) {
    return convert_array(dst, src, count, [](const Src& s, Dst* d) { genelf_narrow(s, d); });
}

}  // namespace

Elf64_Ehdr* genelf_ehdr32to64(Elf64_Ehdr* dst, const Elf32_Ehdr* src) {
    if (dst == nullptr) dst = static_cast<Elf64_Ehdr*>(genelf_alloc(sizeof(Elf64_Ehdr)));
    genelf_widen(*src, dst);
    return dst;
}

// Checked in full, in field order, before anything is obtained.
Elf32_Ehdr* genelf_ehdr64to32(Elf32_Ehdr* dst, const Elf64_Ehdr* src) {
    Elf32_Ehdr h;
    genelf_narrow(*src, &h);
    if (dst == nullptr) dst = static_cast<Elf32_Ehdr*>(genelf_alloc(sizeof(Elf32_Ehdr)));
    *dst = h;
    return dst;
}

Elf64_Phdr* genelf_phdr32to64(Elf64_Phdr* dst, const Elf32_Phdr* src, uint64_t count) {
    return widen_array(dst, src, count);
}

Elf32_Phdr* genelf_phdr64to32(Elf32_Phdr* dst, const Elf64_Phdr* src, uint64_t count) {
    return narrow_array(dst, src, count);
}

Elf64_Shdr* genelf_shdr32to64(Elf64_Shdr* dst, const Elf32_Shdr* src, uint64_t count) {
    return widen_array(dst, src, count);
}

Elf32_Shdr* genelf_shdr64to32(Elf32_Shdr* dst, const Elf64_Shdr* src, uint64_t count) {
    return narrow_array(dst, src, count);
}

Elf64_Sym* genelf_sym32to64(Elf64_Sym* dst, const Elf32_Sym* src, uint64_t count) {
    return widen_array(dst, src, count);
}

Elf32_Sym* genelf_sym64to32(Elf32_Sym* dst, const Elf64_Sym* src, uint64_t count) {
    return narrow_array(dst, src, count);
}
