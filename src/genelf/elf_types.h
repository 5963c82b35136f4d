// ELF record forms and constants, as the ELF standard defines them.
//
// These structs are the in-memory forms only: file bytes are never cast to
// them.  Records are read and written field by field through the byte-order
// codec (codec.cpp), so host byte order and struct padding never leak into a
// file.  We define them ourselves rather than include the C library's
// <elf.h> because the product depends on nothing beyond the language's
// standard library, and Windows has no such header.
#pragma once

#include <cstddef>
#include <cstdint>

enum : int {
    EI_MAG0 = 0, EI_MAG1 = 1, EI_MAG2 = 2, EI_MAG3 = 3,
    EI_CLASS = 4, EI_DATA = 5, EI_VERSION = 6, EI_NIDENT = 16,
};
enum : uint8_t {
    ELFMAG0 = 0x7f, ELFMAG1 = 'E', ELFMAG2 = 'L', ELFMAG3 = 'F',
    ELFCLASSNONE = 0, ELFCLASS32 = 1, ELFCLASS64 = 2,
    ELFDATANONE = 0, ELFDATA2LSB = 1, ELFDATA2MSB = 2,
};
enum : uint16_t { ET_NONE = 0, ET_REL = 1, ET_EXEC = 2, ET_DYN = 3, ET_CORE = 4 };
enum : uint16_t {
    SHN_UNDEF = 0, SHN_LORESERVE = 0xff00, SHN_ABS = 0xfff1, SHN_COMMON = 0xfff2, SHN_XINDEX = 0xffff,
};
enum : uint32_t {
    SHT_NULL = 0, SHT_PROGBITS = 1, SHT_SYMTAB = 2, SHT_STRTAB = 3, SHT_RELA = 4, SHT_HASH = 5,
    SHT_DYNAMIC = 6, SHT_NOTE = 7, SHT_NOBITS = 8, SHT_REL = 9, SHT_SHLIB = 10, SHT_DYNSYM = 11,
    SHT_INIT_ARRAY = 14, SHT_FINI_ARRAY = 15, SHT_PREINIT_ARRAY = 16, SHT_GROUP = 17,
    SHT_SYMTAB_SHNDX = 18,
};

struct Elf32_Ehdr {
    uint8_t e_ident[EI_NIDENT];
    uint16_t e_type;       // ET_*
    uint16_t e_machine;
    uint32_t e_version;
    uint32_t e_entry;      // entry point address
    uint32_t e_phoff;      // program header table offset
    uint32_t e_shoff;      // section header table offset
    uint32_t e_flags;
    uint16_t e_ehsize;
    uint16_t e_phentsize;
    uint16_t e_phnum;
    uint16_t e_shentsize;
    uint16_t e_shnum;
    uint16_t e_shstrndx;   // index of the section-name string table
};

struct Elf64_Ehdr {
    uint8_t e_ident[EI_NIDENT];
    uint16_t e_type;
    uint16_t e_machine;
    uint32_t e_version;
    uint64_t e_entry;
    uint64_t e_phoff;
    uint64_t e_shoff;
    uint32_t e_flags;
    uint16_t e_ehsize;
    uint16_t e_phentsize;
    uint16_t e_phnum;
    uint16_t e_shentsize;
    uint16_t e_shnum;
    uint16_t e_shstrndx;
};

struct Elf32_Phdr {
    uint32_t p_type;
    uint32_t p_offset;
    uint32_t p_vaddr;
    uint32_t p_paddr;
    uint32_t p_filesz;
    uint32_t p_memsz;
    uint32_t p_flags;      // after p_memsz in ELF32, after p_type in ELF64
    uint32_t p_align;
};

struct Elf64_Phdr {
    uint32_t p_type;
    uint32_t p_flags;
    uint64_t p_offset;
    uint64_t p_vaddr;
    uint64_t p_paddr;
    uint64_t p_filesz;
    uint64_t p_memsz;
    uint64_t p_align;
};

struct Elf32_Shdr {
    uint32_t sh_name;      // offset into the section-name string table
    uint32_t sh_type;
    uint32_t sh_flags;
    uint32_t sh_addr;
    uint32_t sh_offset;
    uint32_t sh_size;
    uint32_t sh_link;
    uint32_t sh_info;
    uint32_t sh_addralign;
    uint32_t sh_entsize;
};

struct Elf64_Shdr {
    uint32_t sh_name;
    uint32_t sh_type;
    uint64_t sh_flags;
    uint64_t sh_addr;
    uint64_t sh_offset;
    uint64_t sh_size;
    uint32_t sh_link;
    uint32_t sh_info;
    uint64_t sh_addralign;
    uint64_t sh_entsize;
};

struct Elf32_Sym {
    uint32_t st_name;      // offset into the linked string table
    uint32_t st_value;
    uint32_t st_size;
    uint8_t st_info;       // binding << 4 | type
    uint8_t st_other;
    uint16_t st_shndx;
};

struct Elf64_Sym {
    uint32_t st_name;
    uint8_t st_info;
    uint8_t st_other;
    uint16_t st_shndx;
    uint64_t st_value;
    uint64_t st_size;
};

// Relocation records, written (never read) for SHT_REL / SHT_RELA sections.
struct Elf32_Rel { uint32_t r_offset; uint32_t r_info; };
struct Elf64_Rel { uint64_t r_offset; uint64_t r_info; };
struct Elf32_Rela { uint32_t r_offset; uint32_t r_info; int32_t r_addend; };
struct Elf64_Rela { uint64_t r_offset; uint64_t r_info; int64_t r_addend; };

// The in-memory 64-bit forms are the standard's, so their sizes match the
// on-disk ELF64 records; the codec relies on the in-memory symbol size (24)
// being what the reduction writes into sh_entsize.
static_assert(sizeof(Elf64_Ehdr) == 64, "Elf64_Ehdr");
static_assert(sizeof(Elf64_Phdr) == 56, "Elf64_Phdr");
static_assert(sizeof(Elf64_Shdr) == 64, "Elf64_Shdr");
static_assert(sizeof(Elf64_Sym) == 24, "Elf64_Sym");
static_assert(sizeof(Elf32_Ehdr) == 52, "Elf32_Ehdr");
static_assert(sizeof(Elf32_Phdr) == 32, "Elf32_Phdr");
static_assert(sizeof(Elf32_Shdr) == 40, "Elf32_Shdr");
static_assert(sizeof(Elf32_Sym) == 16, "Elf32_Sym");
static_assert(offsetof(Elf64_Sym, st_value) == 8, "Elf64_Sym layout");
static_assert(offsetof(Elf64_Shdr, sh_link) == 40, "Elf64_Shdr layout");
