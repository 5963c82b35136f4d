// ELF record forms and constants, as the ELF standard defines them.
//
// Each record form is described once, below, by a list of its fields in
// file order: the field's type in the file, its name and its offset in the
// file.  Everything else about a record is generated from that one list:
// the struct itself, a check of every field's offset, the byte-order
// decoder and encoder and the 32/64-bit conversions (codec.h).  A field
// added, moved or retyped in a list therefore changes all of them at once.
//
// The structs are the in-memory forms only: file bytes are never cast to
// them, so host byte order and alignment never leak into a file.  Their
// layouts nevertheless equal the file's, which the checks below prove, so
// a record's size in the file is sizeof its struct.  We define them
// ourselves rather than include the C library's <elf.h> because the product
// depends on nothing beyond the language's standard library, and Windows has
// no such header.
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

// ---- the record descriptions: F(type in the file, name, offset in the file) ----
//
// Types: ident (16 raw bytes), u8 (one raw byte), u16, u32, u64 (unsigned,
// in the file's byte order), s32, s64 (signed), and u16x: a u16 that the
// widened file header ElfXHeader holds in 32 bits.

#define GENELF_ELF32_EHDR(F)                                                         \
    F(ident, e_ident, 0)       /* magic, class, byte order, version, ABI */          \
    F(u16, e_type, 16)         /* ET_* */                                            \
    F(u16, e_machine, 18)                                                            \
    F(u32, e_version, 20)                                                            \
    F(u32, e_entry, 24)        /* entry point address */                             \
    F(u32, e_phoff, 28)        /* program header table offset */                     \
    F(u32, e_shoff, 32)        /* section header table offset */                     \
    F(u32, e_flags, 36)                                                              \
    F(u16, e_ehsize, 40)                                                             \
    F(u16, e_phentsize, 42)    /* bytes per program header entry */                  \
    F(u16, e_phnum, 44)                                                              \
    F(u16, e_shentsize, 46)    /* bytes per section header entry */                  \
    F(u16x, e_shnum, 48)                                                             \
    F(u16x, e_shstrndx, 50)    /* index of the section-name string table */

#define GENELF_ELF64_EHDR(F)                                                         \
    F(ident, e_ident, 0)                                                             \
    F(u16, e_type, 16)                                                               \
    F(u16, e_machine, 18)                                                            \
    F(u32, e_version, 20)                                                            \
    F(u64, e_entry, 24)                                                              \
    F(u64, e_phoff, 32)                                                              \
    F(u64, e_shoff, 40)                                                              \
    F(u32, e_flags, 48)                                                              \
    F(u16, e_ehsize, 52)                                                             \
    F(u16, e_phentsize, 54)                                                          \
    F(u16, e_phnum, 56)                                                              \
    F(u16, e_shentsize, 58)                                                          \
    F(u16x, e_shnum, 60)                                                             \
    F(u16x, e_shstrndx, 62)

#define GENELF_ELF32_PHDR(F)                                                         \
    F(u32, p_type, 0)          /* PT_* */                                            \
    F(u32, p_offset, 4)        /* file offset of the segment */                      \
    F(u32, p_vaddr, 8)                                                               \
    F(u32, p_paddr, 12)                                                              \
    F(u32, p_filesz, 16)       /* bytes in the file */                               \
    F(u32, p_memsz, 20)        /* bytes in memory */                                 \
    F(u32, p_flags, 24)        /* after p_memsz here, after p_type in ELF64 */       \
    F(u32, p_align, 28)

#define GENELF_ELF64_PHDR(F)                                                         \
    F(u32, p_type, 0)                                                                \
    F(u32, p_flags, 4)                                                               \
    F(u64, p_offset, 8)                                                              \
    F(u64, p_vaddr, 16)                                                              \
    F(u64, p_paddr, 24)                                                              \
    F(u64, p_filesz, 32)                                                             \
    F(u64, p_memsz, 40)                                                              \
    F(u64, p_align, 48)

#define GENELF_ELF32_SHDR(F)                                                         \
    F(u32, sh_name, 0)         /* offset into the section-name string table */       \
    F(u32, sh_type, 4)         /* SHT_* */                                           \
    F(u32, sh_flags, 8)                                                              \
    F(u32, sh_addr, 12)                                                              \
    F(u32, sh_offset, 16)      /* file offset of the section's data */               \
    F(u32, sh_size, 20)                                                              \
    F(u32, sh_link, 24)        /* for a symbol table: its string table */            \
    F(u32, sh_info, 28)                                                              \
    F(u32, sh_addralign, 32)                                                         \
    F(u32, sh_entsize, 36)     /* bytes per entry of a table, or 0 */

#define GENELF_ELF64_SHDR(F)                                                         \
    F(u32, sh_name, 0)                                                               \
    F(u32, sh_type, 4)                                                               \
    F(u64, sh_flags, 8)                                                              \
    F(u64, sh_addr, 16)                                                              \
    F(u64, sh_offset, 24)                                                            \
    F(u64, sh_size, 32)                                                              \
    F(u32, sh_link, 40)                                                              \
    F(u32, sh_info, 44)                                                              \
    F(u64, sh_addralign, 48)                                                         \
    F(u64, sh_entsize, 56)

#define GENELF_ELF32_SYM(F)                                                          \
    F(u32, st_name, 0)         /* offset into the linked string table */             \
    F(u32, st_value, 4)                                                              \
    F(u32, st_size, 8)                                                               \
    F(u8, st_info, 12)         /* binding << 4 | type */                             \
    F(u8, st_other, 13)        /* visibility */                                      \
    F(u16, st_shndx, 14)       /* section index, or SHN_* */

#define GENELF_ELF64_SYM(F)                                                          \
    F(u32, st_name, 0)                                                               \
    F(u8, st_info, 4)                                                                \
    F(u8, st_other, 5)                                                               \
    F(u16, st_shndx, 6)                                                              \
    F(u64, st_value, 8)                                                              \
    F(u64, st_size, 16)

// Relocation records are only written (for SHT_REL / SHT_RELA sections).
#define GENELF_ELF32_REL(F) F(u32, r_offset, 0) F(u32, r_info, 4)
#define GENELF_ELF64_REL(F) F(u64, r_offset, 0) F(u64, r_info, 8)
#define GENELF_ELF32_RELA(F) F(u32, r_offset, 0) F(u32, r_info, 4) F(s32, r_addend, 8)
#define GENELF_ELF64_RELA(F) F(u64, r_offset, 0) F(u64, r_info, 8) F(s64, r_addend, 16)

// ---- what the descriptions generate here: the structs and their checks ----

using ElfIdent = uint8_t[EI_NIDENT];

#define GENELF_TYPE_ident ElfIdent
#define GENELF_TYPE_u8 uint8_t
#define GENELF_TYPE_u16 uint16_t
#define GENELF_TYPE_u16x uint16_t
#define GENELF_TYPE_u32 uint32_t
#define GENELF_TYPE_u64 uint64_t
#define GENELF_TYPE_s32 int32_t
#define GENELF_TYPE_s64 int64_t
#define GENELF_MEMBER(type, name, offset) GENELF_TYPE_##type name;

// One field of a record: where it lies in the file and in the struct.
struct ElfFieldLayout {
    size_t offset;         // in the file, as the description says
    size_t width;          // bytes
    size_t struct_offset;  // offsetof in the struct
};

template <class Rec>
struct ElfLayout;

#define GENELF_FIELD_LAYOUT(type, name, offset) ElfFieldLayout{offset, sizeof(R::name), offsetof(R, name)},

// The fields lie one after the other from offset 0, each where the
// description puts it, and fill the struct exactly: the struct's layout is
// the file's.
template <class Rec>
constexpr bool genelf_layout_is_the_files() {
    size_t end = 0;
    for (const ElfFieldLayout& f : ElfLayout<Rec>::fields) {
        if (f.offset != end || f.struct_offset != f.offset) return false;
        end += f.width;
    }
    return end == sizeof(Rec);
}

#define GENELF_RECORD(Rec, LIST, file_size)                                          \
    struct Rec {                                                                     \
        LIST(GENELF_MEMBER)                                                          \
    };                                                                               \
    template <>                                                                      \
    struct ElfLayout<Rec> {                                                          \
        using R = Rec;                                                               \
        static constexpr ElfFieldLayout fields[] = {LIST(GENELF_FIELD_LAYOUT)};      \
    };                                                                               \
    static_assert(sizeof(Rec) == (file_size), #Rec " has the size of its file record"); \
    static_assert(genelf_layout_is_the_files<Rec>(), #Rec " fields lie at their file offsets")

GENELF_RECORD(Elf32_Ehdr, GENELF_ELF32_EHDR, 52);
GENELF_RECORD(Elf64_Ehdr, GENELF_ELF64_EHDR, 64);
GENELF_RECORD(Elf32_Phdr, GENELF_ELF32_PHDR, 32);
GENELF_RECORD(Elf64_Phdr, GENELF_ELF64_PHDR, 56);
GENELF_RECORD(Elf32_Shdr, GENELF_ELF32_SHDR, 40);
GENELF_RECORD(Elf64_Shdr, GENELF_ELF64_SHDR, 64);
GENELF_RECORD(Elf32_Sym, GENELF_ELF32_SYM, 16);
GENELF_RECORD(Elf64_Sym, GENELF_ELF64_SYM, 24);
GENELF_RECORD(Elf32_Rel, GENELF_ELF32_REL, 8);
GENELF_RECORD(Elf64_Rel, GENELF_ELF64_REL, 16);
GENELF_RECORD(Elf32_Rela, GENELF_ELF32_RELA, 12);
GENELF_RECORD(Elf64_Rela, GENELF_ELF64_RELA, 24);

// The 64-bit file header with e_shnum and e_shstrndx widened to 32 bits;
// the section and symbol readers work from it.
#define GENELF_XTYPE_ident ElfIdent
#define GENELF_XTYPE_u16 uint16_t
#define GENELF_XTYPE_u16x uint32_t
#define GENELF_XTYPE_u32 uint32_t
#define GENELF_XTYPE_u64 uint64_t
#define GENELF_XMEMBER(type, name, offset) GENELF_XTYPE_##type name;
struct ElfXHeader {
    GENELF_ELF64_EHDR(GENELF_XMEMBER)
};
