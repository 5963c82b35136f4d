// Test-data maker for ELF files, written apart from src/genelf so that the
// two check each other.  A test describes a file (class, byte order,
// headers, sections, symbols; any raw header field overridden for malformed
// shapes) and the maker encodes it through one field table for both classes
// and byte orders.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace elfmaker {

enum : uint16_t { ET_NONE = 0, ET_REL = 1, ET_EXEC = 2, ET_DYN = 3 };
enum : uint16_t { EM_386 = 3, EM_MIPS = 8, EM_PPC = 20, EM_ARM = 40, EM_X86_64 = 62, EM_AARCH64 = 183 };
enum : uint16_t { SHN_UNDEF = 0, SHN_ABS = 0xfff1, SHN_COMMON = 0xfff2, SHN_XINDEX = 0xffff };
enum : uint32_t { SHT_NULL = 0, SHT_PROGBITS = 1, SHT_SYMTAB = 2, SHT_STRTAB = 3, SHT_RELA = 4, SHT_HASH = 5,
                  SHT_DYNAMIC = 6, SHT_NOTE = 7, SHT_NOBITS = 8, SHT_REL = 9, SHT_DYNSYM = 11 };
enum : uint32_t { PT_NULL = 0, PT_LOAD = 1, PT_NOTE = 4, PT_PHDR = 6, PT_GNU_STACK = 0x6474e551 };
enum : uint64_t { SHF_WRITE = 1, SHF_ALLOC = 2, SHF_EXECINSTR = 4 };
enum : uint8_t { STB_LOCAL = 0, STB_GLOBAL = 1, STB_WEAK = 2 };
enum : uint8_t { STT_NOTYPE = 0, STT_OBJECT = 1, STT_FUNC = 2, STT_SECTION = 3, STT_FILE = 4 };

constexpr uint8_t st_info(uint8_t bind, uint8_t type) { return static_cast<uint8_t>((bind << 4) | (type & 0xf)); }

// Records with every field widened to 64 bits, whatever the file's class.
struct Ehdr {
    uint8_t ident[16] = {};
    uint64_t type = 0, machine = 0, version = 0, entry = 0, phoff = 0, shoff = 0, flags = 0;
    uint64_t ehsize = 0, phentsize = 0, phnum = 0, shentsize = 0, shnum = 0, shstrndx = 0;
};
struct Phdr {
    uint64_t type = 0, flags = 0, offset = 0, vaddr = 0, paddr = 0, filesz = 0, memsz = 0, align = 0;
};
struct Shdr {
    uint64_t name = 0, type = 0, flags = 0, addr = 0, offset = 0, size = 0, link = 0, info = 0, addralign = 0,
             entsize = 0;
};
struct Sym {
    uint64_t name = 0, info = 0, other = 0, shndx = 0, value = 0, size = 0;
};

// On-disk record sizes of a class (32 or 64).
size_t ehdr_size(int bits), phdr_size(int bits), shdr_size(int bits), sym_size(int bits);

// Encoding into a byte buffer that grows zero-filled as needed.
class Encoder {
public:
    Encoder(int bits, bool big_endian) : bits_(bits), big_(big_endian) {}
    void put(uint64_t off, uint64_t value, int width);  // width in bytes: 1, 2, 4, 8
    void put_bytes(uint64_t off, const std::string& bytes);
    void ehdr(const Ehdr& e);  // at offset 0
    void phdr(uint64_t off, const Phdr& p);
    void shdr(uint64_t off, const Shdr& s);
    void sym(uint64_t off, const Sym& s);
    std::string& bytes() { return buf_; }

private:
    int bits_;
    bool big_;
    std::string buf_;
};

enum class Content { Raw, Symbols, SymbolNames, SectionNames };  // the last three: generated, then `data`

struct Section {
    std::string name;
    uint32_t type = SHT_PROGBITS;
    uint64_t flags = 0, addr = 0, addralign = 1;
    std::optional<uint64_t> entsize;     // default: the symbol size for Symbols, else 0
    std::optional<uint32_t> link, info;  // default for Symbols: the names section, first global
    Content content = Content::Raw;
    std::string data;
    std::optional<uint64_t> size;         // sh_size when it is not the data length
    std::optional<uint64_t> offset;       // explicit sh_offset (data is placed there)
    std::optional<uint32_t> name_offset;  // raw sh_name
};

struct Symbol {
    std::string name;
    uint64_t value = 0, size = 0;
    uint8_t info = 0, other = 0;
    uint16_t shndx = 0;
    std::optional<uint32_t> name_offset;  // raw st_name
};

struct Desc {
    int bits = 64;
    bool big_endian = false;
    uint16_t type = ET_EXEC, machine = EM_X86_64;
    uint64_t entry = 0;
    uint32_t flags = 0;
    std::vector<Phdr> phdrs;        // written as given (p_offset included)
    std::vector<Section> sections;  // the whole table, index 0 included
    std::vector<Symbol> symbols;    // contents of every Content::Symbols section; equal names stored once
    bool no_section_table = false;  // e_shoff 0 and e_shnum 0, no table written
    // Raw overrides of the file header.
    std::optional<uint8_t> ei_class, ei_data;
    std::optional<uint64_t> phoff, shoff;
    std::optional<uint16_t> phentsize, phnum, shentsize, shnum, shstrndx;
    std::optional<size_t> truncate;  // cut the file to this many bytes
};

Section null_section();
Section symtab_section(const std::string& name = ".symtab", uint32_t type = SHT_SYMTAB);
Section strtab_section(const std::string& name = ".strtab");
Section shstrtab_section(const std::string& name = ".shstrtab");
Section progbits(const std::string& name, uint64_t addr, const std::string& data, uint64_t flags = SHF_ALLOC);
Section nobits(const std::string& name, uint64_t addr, uint64_t size);
Phdr load_segment(uint64_t vaddr, uint64_t offset, uint64_t filesz, uint64_t memsz);

// A small executable: [0] null, [1] .text at 0x1000, [2] .data at 0x2000,
// [3] .bss, [4] .symtab, [5] .strtab, [6] .shstrtab (44 bytes), two
// PT_LOAD; symbols null, a section symbol, FILE prog.c, local count, main,
// global count, exit, limit (SHN_ABS), shared_buf (SHN_COMMON).
Desc sample_exec(int bits, bool big_endian);

std::string make_elf(const Desc& desc);

}  // namespace elfmaker
