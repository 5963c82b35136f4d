// The ELF file library: one in-memory model for ELF files of either class
// and byte order, the field codec, the readers, the loader and the writer.
//
// Every record is held in its 64-bit form in host byte order.  Records are
// decoded from and encoded to their file bytes in the process-wide
// ByteOrder, which the last file-header read set; the writer therefore
// writes in the input's byte order.  Errors end the program through genelf_error (status 1).
#pragma once

#include <cstdint>
#include <cstdio>

#include "genelf/elf_types.h"

// A table that the loader left in the input file rather than reading it
// into memory.  The tool reads a symbol table once, front to back, and keeps
// a handful of its entries; holding a hundred megabytes of symbols and names
// in fresh memory would cost far more (page faults) than reading them
// through a small window, which is what ElfSymbolWalk and ElfNameTable do.
struct ElfFileTable {
    FILE* stream;      // the input; nullptr when the table is not deferred
    uint64_t offset;   // absolute offset of the table in the file
    uint64_t bytes;    // strings: bytes taken from the file (the rest of the table reads as zeros)
    uint64_t entsize;  // symbols: bytes per entry in the file
    int32_t bits;      // symbols: the record layout (elfbits)
};

// One ELF file in memory.  Counts of phdrs and shdrs are ehdr.e_phnum and
// ehdr.e_shnum; the sizes of shstrtab and strtab are the sh_size of the
// sections they came from.
struct ElfImage {
    Elf64_Ehdr ehdr;
    Elf64_Phdr* phdrs;
    Elf64_Shdr* shdrs;
    uint8_t* shstrtab;
    Elf64_Sym* syms;
    uint32_t nsyms;
    uint8_t* strtab;
    // Byte counts of the two owned tables.  The headers describe them too,
    // but a malformed file can make a header disagree with what was read
    // (duplicate section names, a symbol table without entries), and every
    // name lookup and section write is bounded by these instead.
    uint64_t shstrtab_size;
    uint64_t strtab_size;
    // Zero bytes that follow strtab's strtab_size bytes, as far as a section
    // written from it can ask: the reduced table stands for a buffer that
    // holds as many bytes as the input's table, and a second section named
    // ".strtab" may take that many.
    uint64_t strtab_zeros;
    // When set, `syms` / `strtab` are absent and the table is read from the
    // input on demand (nsyms entries; strtab_size bytes).
    ElfFileTable syms_file;
    ElfFileTable strtab_file;
};

// A file's class as a bit count: 32, 64, or -1 for any other class byte.
using elfbits = int32_t;

// 0 unset, 1 big-endian, 2 little-endian (the library's own numbers, not
// EI_DATA values).
enum : int { BYTEORDER_UNSET = 0, BYTEORDER_BIG = 1, BYTEORDER_LITTLE = 2 };
extern int ByteOrder;

// Address size of the loaded input, 4 or 8; set by load_executable.
extern int32_t ElfWordSize;

// ---- field codec (codec.cpp) ----
int genelf_getbyte(FILE* stream);
uint16_t genelf_read16(FILE* stream);
uint32_t genelf_read32(FILE* stream);
uint64_t genelf_read64(FILE* stream);
void genelf_write16(FILE* stream, uint16_t value);
void genelf_write32(FILE* stream, uint32_t value);
void genelf_write64(FILE* stream, uint64_t value);

// ---- library services (services.cpp) ----
void* genelf_alloc(size_t size);
void* genelf_read_block(FILE* stream, void* buffer, size_t count);
[[noreturn]] void genelf_error(const char* message, const char* argument);
// genelf_error with a formatted message (the one-argument error routine
// cannot carry numbers).
[[noreturn]] void genelf_errorf(const char* format, ...);
[[noreturn]] void genelf_overflow();
[[noreturn]] void genelf_bad_elfbits();
bool genelf_is_elf(FILE* stream);
elfbits genelf_elfbits(FILE* stream, int64_t offset);

// ---- class conversions (convert.cpp) ----
Elf64_Ehdr* genelf_ehdr32to64(Elf64_Ehdr* dst, const Elf32_Ehdr* src);
Elf32_Ehdr* genelf_ehdr64to32(Elf32_Ehdr* dst, const Elf64_Ehdr* src);
Elf64_Phdr* genelf_phdr32to64(Elf64_Phdr* dst, const Elf32_Phdr* src, uint64_t count);
Elf32_Phdr* genelf_phdr64to32(Elf32_Phdr* dst, const Elf64_Phdr* src, uint64_t count);
Elf64_Shdr* genelf_shdr32to64(Elf64_Shdr* dst, const Elf32_Shdr* src, uint64_t count);
Elf32_Shdr* genelf_shdr64to32(Elf32_Shdr* dst, const Elf64_Shdr* src, uint64_t count);
Elf64_Sym* genelf_sym32to64(Elf64_Sym* dst, const Elf32_Sym* src, uint64_t count);
Elf32_Sym* genelf_sym64to32(Elf32_Sym* dst, const Elf64_Sym* src, uint64_t count);

// ---- header readers (readhdr.cpp) ----
Elf32_Ehdr* elf_readheader(FILE* stream, Elf32_Ehdr* dst);
Elf64_Ehdr* elf64_readheader(FILE* stream, Elf64_Ehdr* dst);
Elf64_Ehdr* genelf_readheader(FILE* stream, Elf64_Ehdr* dst, elfbits bits);
ElfXHeader* genelf_readXheader(FILE* stream, ElfXHeader* dst, elfbits bits);
Elf64_Phdr* genelf_readprogheaders(FILE* stream, Elf64_Phdr* array, int count, uint64_t offset,
                                   int entsize, elfbits bits);
Elf32_Phdr* elf_readprogheader(FILE* stream, Elf32_Phdr* array, int count, uint32_t offset, int entsize);
Elf64_Phdr* elf64_readprogheader(FILE* stream, Elf64_Phdr* array, int count, int64_t offset, int entsize);
Elf64_Shdr* genelf_readsecheaders(FILE* stream, Elf64_Shdr* array, uint32_t count, int64_t offset,
                                  int entsize, elfbits bits);
Elf32_Shdr* elf_readsecheader(FILE* stream, Elf32_Shdr* array, uint32_t count, int64_t offset, int entsize);
Elf64_Shdr* elf64_readsecheader(FILE* stream, Elf64_Shdr* array, uint32_t count, int64_t offset, int entsize);
// Also refuses a section whose sh_name is outside the names.
uint32_t genelf_read_section_headers(FILE* stream, Elf64_Shdr** sections, uint8_t** names);
// genelf_readprogheaders in two steps: the checks and the positioning at
// their turn, the reading of `count` entries later (or never, for a file
// refused in between).
void genelf_locate_progheaders(FILE* stream, int count, uint64_t offset, int entsize, elfbits bits,
                               ElfFileTable* table);
void genelf_read_progheader_table(const ElfFileTable& table, uint64_t count, Elf64_Phdr* array);

// ---- symbol readers (symtable.cpp, over the walk of symtable.h) ----
uint64_t genelf_read_symtab(FILE* stream, Elf64_Sym** syms, uint8_t** strings);
Elf32_Sym* elf_readsymbol(FILE* stream, Elf32_Sym* array, int64_t count, int64_t offset, int64_t entsize);
Elf64_Sym* elf64_readsymbol(FILE* stream, Elf64_Sym* array, int64_t count, int64_t offset, int64_t entsize);

// ---- loader (load.cpp) ----
int genelf_readfile(Elf64_Ehdr* ehdr, Elf64_Phdr** phdrs, Elf64_Shdr** shdrs, Elf64_Sym** syms,
                    uint8_t** strtab, uint8_t** shstrtab, uint32_t* nsyms, FILE* stream, const char* name);
int load_executable(ElfImage* image, FILE* stream, const char* name);

// ---- writer (write.cpp) ----
// `name` is the output's file name, which positioning failures name.
void write_image(ElfImage* image, FILE* stream, const char* name);
int genelf_writesection(FILE* stream, Elf64_Shdr* shdr, const void* data, uint64_t* position, elfbits bits);
int genelf_writebytes(FILE* stream, const void* data, uint64_t size);
int genelf_writeheader(FILE* stream, const Elf64_Ehdr* ehdr, elfbits bits);
void genelf_writeprogheaders(FILE* stream, const Elf64_Phdr* phdrs, uint64_t count, elfbits bits);
int genelf_writesectheaders(FILE* stream, const Elf64_Shdr* shdrs, uint64_t count, elfbits bits);
int elf_writesymbol(FILE* stream, const Elf32_Sym* array, uint64_t count);
int elf64_writesymbol(FILE* stream, const Elf64_Sym* array, uint64_t count);
