// Finding the symbol table, and walking symbols and names whether an image
// holds them in memory or left them in the input file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "genelf/genelf.h"

// Where a file's symbol table and its string table lie.
struct ElfSymtabPlace {
    elfbits bits;
    int64_t base;          // where the ELF file begins in the stream
    uint32_t shnum;
    int index;             // the symbol table section; -1 when there is none
    uint64_t sym_offset;   // absolute
    uint64_t count;        // entries (0 also for an entry size below the record)
    uint64_t entsize;      // bytes per entry in the file
    uint32_t link;         // sh_link of the symbol table
    uint64_t str_offset;   // absolute; valid when link < shnum
    uint64_t str_size;
};

// Steps shared by the eager and the deferred symbol readers: reads the
// header, section headers and names at the stream's position, chooses the
// table by name and checks what must be checked before its entries are
// read.  Returns false (no message) when there is no table to read.
bool genelf_locate_symtab(FILE* stream, ElfSymtabPlace* place);

// The checks that follow reading the entries: a valid sh_link (refused with
// a message otherwise).
void genelf_check_symtab_link(const ElfSymtabPlace& place);

// Loads the image's symbol table the deferred way: nothing but its place is
// read; the entries are checked as the walk reaches them.  Failures that the
// eager reader would have reported only after reading every entry first scan
// the entries, so the first message is the same one.
void genelf_defer_symtab(FILE* stream, ElfImage* image);

// Reads every deferred entry once to stop on what the eager reader would
// have stopped on (an SHN_XINDEX entry).  Used before a refusal that the
// eager reader would only have reached afterwards.
void genelf_scan_deferred_symbols(const ElfImage& image);

// Walks an image's symbols in order: decoded records from memory or, for a
// deferred table, from the file through a reused buffer (bytes past the end
// of the file read as 0xFF, as the codec reads them).
class ElfSymbolWalk {
public:
    explicit ElfSymbolWalk(const ElfImage& image);
    ~ElfSymbolWalk();
    ElfSymbolWalk(const ElfSymbolWalk&) = delete;
    ElfSymbolWalk& operator=(const ElfSymbolWalk&) = delete;

    // The next symbol, or false after the last.
    bool next(Elf64_Sym* sym);

private:
    void refill();

    const ElfImage& image_;
    uint64_t index_ = 0;
    uint8_t* buffer_ = nullptr;
    uint64_t buffered_first_ = 0;  // index of the first entry in buffer_
    uint64_t buffered_count_ = 0;
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
