// The symbol table: finding it, and reading its entries and names
// (symtable.cpp).
//
// There is one symbol reader, ElfSymbolWalk: it hands out the entries in
// file order, decoded from a reused buffer, and refuses an SHN_XINDEX entry
// when it reaches it (not before: see symtable.cpp).  The loader records
// where the table and its names lie and leaves them in the file
// (genelf_defer_symtab); the reduction walks them once.  genelf_read_symtab,
// elf_readsymbol and elf64_readsymbol, which fill arrays, drive the same
// walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "genelf/codec.h"

// Where a file's symbol table and its string table lie.
struct ElfSymtabPlace {
    elfbits bits;
    uint32_t shnum;
    int index;             // the symbol table section; -1 when there is none
    uint64_t sym_offset;   // absolute
    uint64_t count;        // entries
    uint64_t entsize;      // bytes per entry in the file
    uint32_t link;         // sh_link of the symbol table
    uint64_t str_offset;   // absolute; valid when link < shnum
    uint64_t str_size;
};

// Chooses the symbol table among section headers already read, with their
// names checked (the first ".symtab", else the first ".dynsym"), for an ELF
// file that begins at `base`.  Returns false (no message) when there is
// none, or its entry size is smaller than the record.
bool genelf_find_symtab(const Elf64_Shdr* shdrs, uint32_t shnum, const uint8_t* names, elfbits bits, int64_t base,
                        ElfSymtabPlace* place);

// The symbol table's sh_link must name a section (refused with a message
// otherwise).
void genelf_check_symtab_link(const ElfSymtabPlace& place);

// Loads the image's symbol table the deferred way, from the section headers
// the image holds: its place is checked and recorded, and the entries are
// checked as the walk reaches them.
void genelf_defer_symtab(FILE* stream, ElfImage* image);

// Walks symbols in order, as 64-bit forms: an image's (from memory, or for a
// deferred table from the file), or `count` entries of a table in the file.
class ElfSymbolWalk {
public:
    explicit ElfSymbolWalk(const ElfImage& image);
    ElfSymbolWalk(const ElfFileTable& table, uint64_t count);
    ElfSymbolWalk(const ElfSymbolWalk&) = delete;
    ElfSymbolWalk& operator=(const ElfSymbolWalk&) = delete;

    // The next symbol, or false after the last.
    bool next(Elf64_Sym* sym);

private:
    const Elf64_Sym* memory_;  // the symbols, when they are in memory
    elfbits bits_;
    bool swap_ = false;
    uint64_t count_;
    uint64_t index_ = 0;
    ElfTableReader table_;
};

// Names of an image's symbol string table, from memory or through a window
// over the file that moves forward as the names are read in order (a table
// read far out of order is read whole, once).
class ElfNameTable {
public:
    explicit ElfNameTable(const ElfImage& image);
    ~ElfNameTable();
    ElfNameTable(const ElfNameTable&) = delete;
    ElfNameTable& operator=(const ElfNameTable&) = delete;

    // The NUL-terminated name at `offset` and its length, or nullptr when it
    // does not lie, terminated, inside the table.  Valid until the next call.
    const char* name_at(uint64_t offset, size_t* length);

private:
    const char* from_file(uint64_t offset, size_t* length);
    void read_bytes(uint8_t* into, uint64_t offset, uint64_t count);

    const uint8_t* memory_;
    uint64_t size_;           // logical size of the table
    ElfFileTable file_;
    uint8_t* window_ = nullptr;
    uint64_t window_start_ = 0, window_end_ = 0;
    uint64_t refills_ = 0, max_refills_ = 0;
    uint8_t* whole_ = nullptr;  // the table read whole, after too many refills
    uint8_t* long_name_ = nullptr;
};
