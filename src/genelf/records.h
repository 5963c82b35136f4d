// On-disk field lists of the ELF records, one table per record and class.
//
// Each table lists a record's fields in file order with their offset and
// width in the in-memory struct; the same table drives the reader and the
// writer of that record, so the two cannot drift apart (the elfutils
// approach).  e_ident is not in the header tables: it is raw bytes and is
// read and written on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "genelf/elf_types.h"

struct ElfField {
    uint16_t offset;  // in the in-memory struct
    uint8_t width;    // 1 (raw byte), 2, 4 or 8 bytes, in the file and in memory
};

template <size_t N>
struct ElfRecord {
    ElfField fields[N];
    size_t file_size;  // bytes the fields take in the file
};

#define GENELF_FIELD(T, m) ElfField{static_cast<uint16_t>(offsetof(T, m)), static_cast<uint8_t>(sizeof(T::m))}

inline constexpr ElfRecord<13> kElf32EhdrTail = {{
    GENELF_FIELD(Elf32_Ehdr, e_type), GENELF_FIELD(Elf32_Ehdr, e_machine), GENELF_FIELD(Elf32_Ehdr, e_version),
    GENELF_FIELD(Elf32_Ehdr, e_entry), GENELF_FIELD(Elf32_Ehdr, e_phoff), GENELF_FIELD(Elf32_Ehdr, e_shoff),
    GENELF_FIELD(Elf32_Ehdr, e_flags), GENELF_FIELD(Elf32_Ehdr, e_ehsize), GENELF_FIELD(Elf32_Ehdr, e_phentsize),
    GENELF_FIELD(Elf32_Ehdr, e_phnum), GENELF_FIELD(Elf32_Ehdr, e_shentsize), GENELF_FIELD(Elf32_Ehdr, e_shnum),
    GENELF_FIELD(Elf32_Ehdr, e_shstrndx)}, 36};

inline constexpr ElfRecord<13> kElf64EhdrTail = {{
    GENELF_FIELD(Elf64_Ehdr, e_type), GENELF_FIELD(Elf64_Ehdr, e_machine), GENELF_FIELD(Elf64_Ehdr, e_version),
    GENELF_FIELD(Elf64_Ehdr, e_entry), GENELF_FIELD(Elf64_Ehdr, e_phoff), GENELF_FIELD(Elf64_Ehdr, e_shoff),
    GENELF_FIELD(Elf64_Ehdr, e_flags), GENELF_FIELD(Elf64_Ehdr, e_ehsize), GENELF_FIELD(Elf64_Ehdr, e_phentsize),
    GENELF_FIELD(Elf64_Ehdr, e_phnum), GENELF_FIELD(Elf64_Ehdr, e_shentsize), GENELF_FIELD(Elf64_Ehdr, e_shnum),
    GENELF_FIELD(Elf64_Ehdr, e_shstrndx)}, 48};

inline constexpr ElfRecord<8> kElf32Phdr = {{
    GENELF_FIELD(Elf32_Phdr, p_type), GENELF_FIELD(Elf32_Phdr, p_offset), GENELF_FIELD(Elf32_Phdr, p_vaddr),
    GENELF_FIELD(Elf32_Phdr, p_paddr), GENELF_FIELD(Elf32_Phdr, p_filesz), GENELF_FIELD(Elf32_Phdr, p_memsz),
    GENELF_FIELD(Elf32_Phdr, p_flags), GENELF_FIELD(Elf32_Phdr, p_align)}, 32};

inline constexpr ElfRecord<8> kElf64Phdr = {{
    GENELF_FIELD(Elf64_Phdr, p_type), GENELF_FIELD(Elf64_Phdr, p_flags), GENELF_FIELD(Elf64_Phdr, p_offset),
    GENELF_FIELD(Elf64_Phdr, p_vaddr), GENELF_FIELD(Elf64_Phdr, p_paddr), GENELF_FIELD(Elf64_Phdr, p_filesz),
    GENELF_FIELD(Elf64_Phdr, p_memsz), GENELF_FIELD(Elf64_Phdr, p_align)}, 56};

inline constexpr ElfRecord<10> kElf32Shdr = {{
    GENELF_FIELD(Elf32_Shdr, sh_name), GENELF_FIELD(Elf32_Shdr, sh_type), GENELF_FIELD(Elf32_Shdr, sh_flags),
    GENELF_FIELD(Elf32_Shdr, sh_addr), GENELF_FIELD(Elf32_Shdr, sh_offset), GENELF_FIELD(Elf32_Shdr, sh_size),
    GENELF_FIELD(Elf32_Shdr, sh_link), GENELF_FIELD(Elf32_Shdr, sh_info), GENELF_FIELD(Elf32_Shdr, sh_addralign),
    GENELF_FIELD(Elf32_Shdr, sh_entsize)}, 40};

inline constexpr ElfRecord<10> kElf64Shdr = {{
    GENELF_FIELD(Elf64_Shdr, sh_name), GENELF_FIELD(Elf64_Shdr, sh_type), GENELF_FIELD(Elf64_Shdr, sh_flags),
    GENELF_FIELD(Elf64_Shdr, sh_addr), GENELF_FIELD(Elf64_Shdr, sh_offset), GENELF_FIELD(Elf64_Shdr, sh_size),
    GENELF_FIELD(Elf64_Shdr, sh_link), GENELF_FIELD(Elf64_Shdr, sh_info), GENELF_FIELD(Elf64_Shdr, sh_addralign),
    GENELF_FIELD(Elf64_Shdr, sh_entsize)}, 64};

inline constexpr ElfRecord<6> kElf32Sym = {{
    GENELF_FIELD(Elf32_Sym, st_name), GENELF_FIELD(Elf32_Sym, st_value), GENELF_FIELD(Elf32_Sym, st_size),
    GENELF_FIELD(Elf32_Sym, st_info), GENELF_FIELD(Elf32_Sym, st_other), GENELF_FIELD(Elf32_Sym, st_shndx)}, 16};

inline constexpr ElfRecord<6> kElf64Sym = {{
    GENELF_FIELD(Elf64_Sym, st_name), GENELF_FIELD(Elf64_Sym, st_info), GENELF_FIELD(Elf64_Sym, st_other),
    GENELF_FIELD(Elf64_Sym, st_shndx), GENELF_FIELD(Elf64_Sym, st_value), GENELF_FIELD(Elf64_Sym, st_size)}, 24};

inline constexpr ElfRecord<2> kElf32Rel = {{GENELF_FIELD(Elf32_Rel, r_offset), GENELF_FIELD(Elf32_Rel, r_info)}, 8};
inline constexpr ElfRecord<2> kElf64Rel = {{GENELF_FIELD(Elf64_Rel, r_offset), GENELF_FIELD(Elf64_Rel, r_info)}, 16};
inline constexpr ElfRecord<3> kElf32Rela = {
    {GENELF_FIELD(Elf32_Rela, r_offset), GENELF_FIELD(Elf32_Rela, r_info), GENELF_FIELD(Elf32_Rela, r_addend)}, 12};
inline constexpr ElfRecord<3> kElf64Rela = {
    {GENELF_FIELD(Elf64_Rela, r_offset), GENELF_FIELD(Elf64_Rela, r_info), GENELF_FIELD(Elf64_Rela, r_addend)}, 24};

#undef GENELF_FIELD

// Reads / writes one record's fields in ByteOrder.
void genelf_read_fields(FILE* stream, void* record, const ElfField* fields, size_t count);
void genelf_write_fields(FILE* stream, const void* record, const ElfField* fields, size_t count);

template <size_t N>
void genelf_read_record(FILE* stream, void* record, const ElfRecord<N>& r) {
    genelf_read_fields(stream, record, r.fields, N);
}
template <size_t N>
void genelf_write_record(FILE* stream, const void* record, const ElfRecord<N>& r) {
    genelf_write_fields(stream, record, r.fields, N);
}

// Writes `n` records laid out `stride` bytes apart.
void genelf_write_fields_array(FILE* stream, const void* records, size_t stride, uint64_t n, const ElfField* fields,
                               size_t count);
template <typename Rec, size_t N>
void genelf_write_records(FILE* stream, const Rec* records, uint64_t n, const ElfRecord<N>& r) {
    genelf_write_fields_array(stream, records, sizeof(Rec), n, r.fields, N);
}

// Skips `count` bytes with genelf_getbyte (entries larger than the record).
void genelf_skip(FILE* stream, uint64_t count);

// genelf_error with a formatted message (the library's one-argument error
// routine cannot carry numbers).
[[noreturn]] void genelf_errorf(const char* format, ...);

// Allocates count records of `size` bytes through genelf_alloc, refusing a
// product that does not fit in size_t instead of wrapping.
void* genelf_alloc_array(uint64_t count, size_t size);

// ---- validation of values the file supplies (validate.cpp) ----
// Each refuses the file with a fatal message naming the field and value.

// e_shstrndx must index the section header table.
void genelf_check_shstrndx(uint32_t shstrndx, uint32_t shnum);
// A table size taken from the file must be addressable here.
size_t genelf_checked_size(uint64_t size);
// The NUL-terminated text at `offset` of a table of `size` bytes, or nullptr
// when the offset is outside the table or the text runs past its end.
const char* genelf_name_at(const uint8_t* table, uint64_t size, uint64_t offset);
// Every section's sh_name must name a text inside the section-name table.
void genelf_check_section_names(const Elf64_Shdr* shdrs, uint32_t count, const uint8_t* names, uint64_t size);
