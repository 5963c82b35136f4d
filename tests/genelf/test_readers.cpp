// Header, section and symbol readers and the loader, on files described to
// the test-data maker: values in every class and byte order, the symbol
// table choice, entry sizes, and every message and quiet failure.
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "data/elfmaker.h"
#include "genelf/genelf.h"
#include "genelf/symtable.h"
#include "shared/geninit.h"
#include "shared/genmem.h"
#include "support/child.h"

namespace em = elfmaker;

namespace {

// A loaded image with its symbols and names read out (the loader leaves
// them in the file).
struct Loaded {
    int result = -1;
    ElfImage image = {};
    std::vector<Elf64_Sym> syms;
    std::vector<std::string> names;
};

Loaded load(const em::Desc& d) {
    Loaded l;
    FILE* fp = stream_of(em::make_elf(d));
    l.result = load_executable(&l.image, fp, "prog");
    if (l.result == 1) {
        ElfSymbolWalk walk(l.image);
        ElfNameTable names(l.image);
        Elf64_Sym s;
        while (walk.next(&s)) {
            size_t length;
            const char* name = names.name_at(s.st_name, &length);
            l.syms.push_back(s);
            l.names.push_back(name != nullptr ? std::string(name, length) : "<outside>");
        }
    }
    std::fclose(fp);
    return l;
}

// Loads in a child and reports what a user would see.  The symbol entries
// are checked as they are read, so the child reads them all, as the tool's
// reduction does.
Outcome load_in_child(const em::Desc& d) {
    std::string bytes = em::make_elf(d);
    return run_in_child([bytes] {
        gen_init("/opt/tools/symkeep", 0, 0);
        errno = 0;
        FILE* fp = stream_of(bytes);
        ElfImage img = {};
        int result = load_executable(&img, fp, "prog");
        ElfSymbolWalk walk(img);
        for (Elf64_Sym s; result == 1 && walk.next(&s);) {
        }
        std::printf("result %d, %u symbols", result, img.nsyms);
    });
}

struct Kind {
    int bits;
    bool big;
};
const Kind kKinds[] = {{32, false}, {32, true}, {64, false}, {64, true}};

TEST(Loader, SameValuesInEveryClassAndByteOrder) {
    for (const Kind& k : kKinds) {
        em::Desc d = em::sample_exec(k.bits, k.big);
        Loaded l = load(d);
        ASSERT_EQ(l.result, 1) << k.bits << k.big;
        const ElfImage& img = l.image;
        EXPECT_EQ(ByteOrder, k.big ? BYTEORDER_BIG : BYTEORDER_LITTLE);
        EXPECT_EQ(ElfWordSize, k.bits / 8);
        EXPECT_EQ(img.ehdr.e_ident[EI_CLASS], k.bits == 32 ? ELFCLASS32 : ELFCLASS64);
        EXPECT_EQ(img.ehdr.e_type, ET_EXEC);
        EXPECT_EQ(img.ehdr.e_entry, 0x401000u);
        ASSERT_EQ(img.ehdr.e_phnum, 2);
        EXPECT_EQ(img.phdrs[1].p_vaddr, 0x402000u);
        EXPECT_EQ(img.phdrs[1].p_memsz, 0x48u);
        EXPECT_EQ(img.phdrs[1].p_flags, 6u);
        ASSERT_EQ(img.ehdr.e_shnum, 7);
        EXPECT_EQ(img.shdrs[1].sh_offset, 0x1000u);
        EXPECT_EQ(img.shdrs[3].sh_type, SHT_NOBITS);
        EXPECT_STREQ(reinterpret_cast<const char*>(img.shstrtab + img.shdrs[4].sh_name), ".symtab");
        ASSERT_EQ(img.nsyms, 9u);
        EXPECT_EQ(l.names[4], "main");
        EXPECT_EQ(l.syms[4].st_value, 0x401000u);
        EXPECT_EQ(l.syms[4].st_size, 16u);
        EXPECT_EQ(l.syms[6].st_other, 2);
        EXPECT_EQ(l.syms[7].st_shndx, SHN_ABS);
        EXPECT_EQ(l.syms[8].st_shndx, SHN_COMMON);
        EXPECT_EQ(img.strtab_size, img.shdrs[5].sh_size);
    }
}

// A symbol table cut short by the end of the file: the missing bytes of its
// last entry read as 0xFF, through the loader and the array reader alike.
TEST(Loader, EntryCutShortReadsAs0xFF) {
    em::Desc d = em::sample_exec(64, true);
    d.sections[4].offset = 0x4000;  // the table last, its last entry cut after st_shndx
    d.truncate = 0x4000 + 8 * 24 + 8;
    d.sections[5].offset = 0x3000;
    d.sections[6].offset = 0x3800;
    d.shoff = 0x3c00;
    d.symbols[8].shndx = 0x1234;
    Loaded l = load(d);
    ASSERT_EQ(l.syms.size(), 9u);
    FILE* fp = stream_of(em::make_elf(d));
    Elf64_Sym* syms = nullptr;
    uint8_t* strings = nullptr;
    ASSERT_EQ(genelf_read_symtab(fp, &syms, &strings), 9u);
    for (const Elf64_Sym& s : {l.syms[8], syms[8]}) {
        EXPECT_EQ(s.st_shndx, 0x1234);
        EXPECT_EQ(s.st_value, 0xFFFFFFFFFFFFFFFFull);
        EXPECT_EQ(s.st_size, 0xFFFFFFFFFFFFFFFFull);
    }
    EXPECT_STREQ(reinterpret_cast<const char*>(strings + syms[4].st_name), "main");
    FreeHook(syms);
    FreeHook(strings);
    std::fclose(fp);
}

TEST(Loader, InvalidDataByteReadsLittleEndian) {
    for (uint8_t data : {uint8_t{0}, uint8_t{7}}) {
        em::Desc d = em::sample_exec(64, false);
        d.ei_data = data;
        Loaded l = load(d);
        EXPECT_EQ(l.result, 1);
        EXPECT_EQ(ByteOrder, BYTEORDER_LITTLE);
        EXPECT_EQ(l.image.ehdr.e_ident[EI_DATA], data);
    }
}

TEST(Loader, EntrySizesLargerThanTheRecordAreSkipped) {
    for (const Kind& k : kKinds) {
        em::Desc d = em::sample_exec(k.bits, k.big);
        d.phentsize = k.bits == 32 ? 40 : 64;
        d.shentsize = k.bits == 32 ? 48 : 72;
        d.sections[4].entsize = k.bits == 32 ? 24 : 32;
        Loaded l = load(d);
        ASSERT_EQ(l.result, 1);
        EXPECT_EQ(l.image.phdrs[1].p_vaddr, 0x402000u);
        EXPECT_EQ(l.image.shdrs[6].sh_type, SHT_STRTAB);
        ASSERT_EQ(l.image.nsyms, 9u);
        EXPECT_EQ(l.names[8], "shared_buf");
    }
}

TEST(Loader, EntrySizeZeroMeansTheRecordSize) {
    em::Desc d = em::sample_exec(32, true);
    d.phentsize = 0;
    d.shentsize = 0;
    d.sections[4].entsize = 0;
    Loaded l = load(d);
    ASSERT_EQ(l.result, 1);
    EXPECT_EQ(l.image.nsyms, 9u);
    EXPECT_EQ(l.image.phdrs[0].p_offset, 0x1000u);
}

TEST(Loader, SymbolTableChosenByName) {
    // Only .dynsym: its symbols are loaded.
    em::Desc d = em::sample_exec(64, false);
    d.sections[4].name = ".dynsym";
    d.sections[4].type = SHT_DYNSYM;
    Loaded l = load(d);
    ASSERT_EQ(l.result, 1);
    EXPECT_EQ(l.image.nsyms, 9u);

    // Neither name: no symbols, no failure.
    d.sections[4].name = ".notsyms";
    l = load(d);
    ASSERT_EQ(l.result, 1);
    EXPECT_EQ(l.image.nsyms, 0u);
    EXPECT_TRUE(l.syms.empty());

    // Two tables named .symtab: the lower index wins; its sh_size of 50
    // bytes holds two whole 24-byte entries.
    d = em::sample_exec(64, false);
    em::Section first = d.sections[4];
    first.size = 50;
    d.sections.push_back(first);  // index 7, same contents, full size
    std::swap(d.sections[4], d.sections[7]);
    d.sections[7].size.reset();
    l = load(d);
    ASSERT_EQ(l.result, 1);
    EXPECT_EQ(l.image.nsyms, 2u);
}

TEST(Loader, NoSectionHeaderTable) {
    em::Desc d = em::sample_exec(64, true);
    d.no_section_table = true;
    Loaded l = load(d);
    ASSERT_EQ(l.result, 1);
    EXPECT_EQ(l.image.ehdr.e_shnum, 0);
    EXPECT_EQ(l.image.shdrs, nullptr);
    EXPECT_EQ(l.image.shstrtab, nullptr);
    EXPECT_EQ(l.image.nsyms, 0u);
}

// Every fatal message of the readers, with the file shape that causes it.
TEST(Loader, FatalMessages) {
    struct Case {
        const char* what;
        void (*shape)(em::Desc&);
        int bits;
        std::string err;
    } cases[] = {
        {"too many sections (ELF32)", [](em::Desc& d) { d.shnum = 0; }, 32,
         "symkeep: fatal: elf_readheader: Too many ELF sections\n"},
        {"too many sections (ELF64)", [](em::Desc& d) { d.shnum = 0; }, 64,
         "symkeep: fatal: elf64_readheader: Too many ELF sections\n"},
        {"short phentsize (ELF32)", [](em::Desc& d) { d.phentsize = 31; }, 32,
         "symkeep: fatal: elf_readprogheader(): phentsize\n"},
        {"short phentsize (ELF64)", [](em::Desc& d) { d.phentsize = 55; }, 64,
         "symkeep: fatal: elf64_readprogheader(): phentsize\n"},
        {"section names at index 0", [](em::Desc& d) { d.shstrndx = 0; }, 64,
         "symkeep: fatal: ELF section string table is empty\n"},
        {"SHN_XINDEX symbol (ELF32)", [](em::Desc& d) { d.symbols[5].shndx = 0xffff; }, 32,
         "symkeep: fatal: elf_readsymbol: symbol requires SYMTAB_SHNDX section\n"},
        {"SHN_XINDEX symbol (ELF64)", [](em::Desc& d) { d.symbols[5].shndx = 0xffff; }, 64,
         "symkeep: fatal: elf64_readsymbol: symbol requires SYMTAB_SHNDX section\n"},
        {"unknown class", [](em::Desc& d) { d.ei_class = 3; }, 64, "symkeep: fatal: Unexpected elfbits\n"},
        {"ELF32 program headers at 2 GiB", [](em::Desc& d) {
             // Only the header field: no table is written out there.
             d.phdrs.clear();
             d.phnum = 1;
             d.phoff = 0x80000000u;
         }, 32,
         "symkeep: fatal: seek failed to -2147483648 in file: " + std::string(std::strerror(EINVAL)) + "\n"},
        {"section names cut short", [](em::Desc& d) { d.sections[6].size = 0x100000; }, 64,
         "symkeep: fatal: read failed, unexpected EOF\n"},
        {"symbol table runs past the end (0xFF fill)",
         [](em::Desc& d) { d.sections[4].size = 0x10000; }, 64,
         "symkeep: fatal: elf64_readsymbol: symbol requires SYMTAB_SHNDX section\n"},
        // Shapes the readers cannot use safely, refused with their own words.
        {"e_shstrndx beyond the table", [](em::Desc& d) { d.shstrndx = 7; }, 64,
         "symkeep: fatal: e_shstrndx 7 is not a valid section index (e_shnum is 7)\n"},
        {"sh_name outside the names", [](em::Desc& d) { d.sections[2].name_offset = 0x4000; }, 32,
         "symkeep: fatal: section 2: sh_name 0x4000 is outside the section-name table (44 bytes)\n"},
        {"symbol table linked to no section", [](em::Desc& d) { d.sections[4].link = 99; }, 64,
         "symkeep: fatal: symbol table section 4: sh_link 99 is not a valid section index (e_shnum is 7)\n"},
        {"no section table but a count", [](em::Desc& d) { d.shoff = 0; }, 64,
         "symkeep: fatal: e_shoff is 0 but e_shnum is 7: the file has no section header table to read\n"},
        {"a symbol count of 2^32", [](em::Desc& d) { d.sections[4].size = 0x100000000ull * 24; }, 64,
         "symkeep: fatal: symbol table section 4: 4294967296 entries, more than the 4294967295 this tool can "
         "hold\n"},
        // NOBITS: the maker places no data at offsets the tables cannot have.
        {"symbol table at an offset the stream cannot reach",
         [](em::Desc& d) {
             d.sections[4].type = SHT_NOBITS;
             d.sections[4].offset = 0xaa00000000001370ull;
         },
         64, "symkeep: fatal: seek failed to 0xaa00000000001370 in file: " + std::string(std::strerror(EINVAL)) + "\n"},
        {"string table at an offset the stream cannot reach",
         [](em::Desc& d) {
             d.sections[5].type = SHT_NOBITS;
             d.sections[5].offset = 0xbb00000000000000ull;
         },
         64, "symkeep: fatal: seek failed to 0xbb00000000000000 in file: " + std::string(std::strerror(EINVAL)) + "\n"},
    };
    for (const Case& c : cases) {
        em::Desc d = em::sample_exec(c.bits, false);
        c.shape(d);
        Outcome r = load_in_child(d);
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
    }
}

// Loads that end without a message of the reader's own.
TEST(Loader, QuietResults) {
    struct Case {
        const char* what;
        void (*shape)(em::Desc&);
        int bits;
        std::string out, err;
    } cases[] = {
        {"section header entry size below the record", [](em::Desc& d) { d.shentsize = 20; }, 64, "result 0, 0 symbols",
         ""},
        {"symbol entry size below the record", [](em::Desc& d) { d.sections[4].entsize = 12; }, 32,
         "result 1, 0 symbols", ""},
        {"empty linked string table", [](em::Desc& d) { d.sections[5].size = 0; }, 64, "result 1, 0 symbols", ""},
        {"empty linked string table past the end of the file",
         [](em::Desc& d) {
             d.sections[5].type = SHT_NOBITS;  // no data is placed for it
             d.sections[5].size = 0;
             d.sections[5].offset = 0x100000;
         },
         32, "result 1, 0 symbols", ""},
        // The type is known before any symbol is read.
        {"not an executable, with an SHN_XINDEX symbol",
         [](em::Desc& d) {
             d.type = em::ET_DYN;
             d.symbols[5].shndx = 0xffff;
         },
         64, "result 0, 9 symbols",
         "ELF file prog is not a valid executable program with e_type ET_EXEC (2), e_type is 3.\n"},
    };
    for (const Case& c : cases) {
        em::Desc d = em::sample_exec(c.bits, c.bits == 32);
        c.shape(d);
        Outcome r = load_in_child(d);
        EXPECT_EQ(r.status, 0) << c.what;
        EXPECT_EQ(r.out, c.out) << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
    }
}

// The program header table is the loader's own allocation: exhausted memory
// there is the runtime's report and status 3.
TEST(Loader, ProgramHeadersComeFromTheAllocationHook) {
    std::string bytes = em::make_elf(em::sample_exec(64, false));
    Outcome r = run_in_child([bytes] {
        gen_init("/opt/tools/symkeep", 0, 0);
        AllocHook = [](uint64_t count, uint64_t size) {
            if (count == 2 && size == sizeof(Elf64_Phdr)) gen_out_of_memory(count * size);
            return gen_calloc(count, size);
        };
        ElfImage img = {};
        load_executable(&img, stream_of(bytes), "prog");
    });
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "symkeep: fatal: Out of memory (0x0000000000000070 bytes requested)\n");
}

TEST(Readers, DirectEntryPoints) {
    em::Desc d = em::sample_exec(64, true);
    std::string bytes = em::make_elf(d);

    // genelf_readheader answers none for an unknown class, without reading.
    FILE* fp = stream_of(bytes);
    Elf64_Ehdr h;
    EXPECT_EQ(genelf_readheader(fp, &h, 16), nullptr);
    EXPECT_EQ(std::ftell(fp), 0);

    ElfXHeader x;
    EXPECT_EQ(genelf_readXheader(fp, &x, 64), &x);
    EXPECT_EQ(x.e_shnum, 7u);
    EXPECT_EQ(x.e_shstrndx, 6u);

    // No program headers asked for: none, nothing read.
    EXPECT_EQ(genelf_readprogheaders(fp, nullptr, 0, 0, 56, 64), nullptr);
    EXPECT_EQ(genelf_readsecheaders(fp, nullptr, 0, 0, 64, 64), nullptr);
    EXPECT_EQ(elf64_readsecheader(fp, nullptr, 3, -1, 20), nullptr);
    EXPECT_EQ(genelf_read_section_headers(nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(genelf_read_symtab(fp, nullptr, nullptr), 0u);
    std::fclose(fp);

    struct Case {
        const char* what;
        void (*body)(FILE*);
        std::string err;
    } cases[] = {
        {"bad magic at a header read",
         [](FILE* f) { std::fseek(f, 1, SEEK_SET); Elf64_Ehdr e; genelf_readheader(f, &e, 64); },
         "symkeep: fatal: bad elf magic number\n"},
        {"unexpected elfbits (X header)", [](FILE* f) { ElfXHeader e; genelf_readXheader(f, &e, 48); },
         "symkeep: fatal: Unexpected elfbits\n"},
        {"unexpected elfbits (program headers)", [](FILE* f) { genelf_readprogheaders(f, nullptr, 1, 64, 56, 7); },
         "symkeep: fatal: Unexpected elfbits\n"},
        {"unexpected elfbits (section headers)", [](FILE* f) { genelf_readsecheaders(f, nullptr, 1, 64, 64, 7); },
         "symkeep: fatal: Unexpected elfbits\n"},
        {"ELF32 program header offset beyond 32 bits",
         [](FILE* f) { ByteOrder = BYTEORDER_BIG; genelf_readprogheaders(f, nullptr, 1, 0x100000000ull, 32, 32); },
         "symkeep: fatal: ELF file overflow\n"},
    };
    for (const Case& c : cases) {
        Outcome r = run_in_child([&] {
            gen_init("/opt/tools/symkeep", 0, 0);
            errno = 0;
            c.body(stream_of(bytes));
        });
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
    }
}

}  // namespace
