// The ELF library: the field codec in both byte orders, its services and
// class conversions, and the readers and loader on files described to the
// test-data maker, with every fatal message and quiet failure as a row.
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "data/elfmaker.h"
#include "genelf/genelf.h"
#include "genelf/symtable.h"
#include "shared/geninit.h"
#include "shared/genmem.h"
#include "support/harness.h"

namespace em = elfmaker;
using em::Desc;

namespace {

std::string contents(FILE* fp) {
    std::rewind(fp);
    std::string out;
    for (int c; (c = std::fgetc(fp)) != EOF;) out.push_back(static_cast<char>(c));
    std::fclose(fp);
    return out;
}

// What a user sees of `body` run as the tool, with no error number pending.
Outcome as_tool(const std::function<void()>& body) {
    return trap([&] {
        gen_init("/opt/tools/symkeep", 0, 0);
        errno = 0;
        body();
    });
}

TEST(Codec, FieldsInBothOrders) {
    const std::string big("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e", 14);
    const std::string little("\x02\x01\x06\x05\x04\x03\x0e\x0d\x0c\x0b\x0a\x09\x08\x07", 14);
    for (int order : {BYTEORDER_BIG, BYTEORDER_LITTLE}) {
        ByteOrder = order;
        FILE* fp = stream_of(order == BYTEORDER_BIG ? big : little);
        EXPECT_EQ(genelf_read16(fp), 0x0102u);
        EXPECT_EQ(genelf_read32(fp), 0x03040506u);
        EXPECT_EQ(genelf_read64(fp), 0x0708090a0b0c0d0eu);
        std::fclose(fp);
        fp = std::tmpfile();
        genelf_write16(fp, 0x0102);
        genelf_write32(fp, 0x03040506);
        genelf_write64(fp, 0x0708090a0b0c0d0eull);
        EXPECT_EQ(contents(fp), order == BYTEORDER_BIG ? big : little);
    }
    // Bytes past the end of the file read as 0xFF, in either order.
    FILE* fp = stream_of(std::string("\x12\x34\x56", 3));
    EXPECT_EQ(genelf_read32(fp), 0xFF563412u);
    ByteOrder = BYTEORDER_BIG;
    EXPECT_EQ(genelf_read16(fp), 0xFFFFu);
    EXPECT_EQ(genelf_read64(fp), 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(genelf_getbyte(fp), EOF);
    std::fclose(fp);
    // The 64-bit writer has no unset-order check: it writes little-endian.
    ByteOrder = BYTEORDER_UNSET;
    fp = std::tmpfile();
    genelf_write64(fp, 0x0102030405060708ull);
    EXPECT_EQ(contents(fp), std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8));
}

// Direct calls and what a user would see of each.
TEST(Library, FatalAnswers) {
    TempDir tmp;
    const std::string written = tmp.file("written");
    const std::string sample = em::make_elf(em::sample_exec(64, true));
#ifdef _WIN32
    const std::string unreadable = "symkeep: fatal: read failed\n";  // the C runtime gives no reason
#else
    const std::string unreadable = std::string("symkeep: fatal: read failed: ") + std::strerror(EBADF) + "\n";
#endif
    const std::string unset = "symkeep: fatal: internal, endian not set\n", bits = "symkeep: fatal: Unexpected elfbits\n";
    struct Row {
        const char* name;
        std::function<void()> body;
        std::string err;
        int status = 1;
    } rows[] = {
        {"read16, order unset", [] { ByteOrder = BYTEORDER_UNSET, genelf_read16(stream_of("ab")); }, unset},
        {"write16, order unset", [] { ByteOrder = BYTEORDER_UNSET, genelf_write16(std::tmpfile(), 1); }, unset},
        {"block cut short", [] { genelf_read_block(stream_of("xy"), nullptr, 16); },
         "symkeep: fatal: read failed, unexpected EOF\n"},
        {"block from a stream opened for writing",
         [&] {
             char four[4];
             FILE* out = std::fopen(written.c_str(), "w");
             errno = 0;
             genelf_read_block(out, four, sizeof four);
         },
         unreadable},
        {"bad magic at a header read",
         [&] { FILE* f = stream_of(sample); std::fseek(f, 1, SEEK_SET), genelf_readheader(f, nullptr, 64); },
         "symkeep: fatal: bad elf magic number\n"},
        {"unexpected elfbits (X header)", [&] { genelf_readXheader(stream_of(sample), nullptr, 48); }, bits},
        {"ELF32 program header offset beyond 32 bits",
         [&] {
             ByteOrder = BYTEORDER_BIG;
             genelf_readprogheaders(stream_of(sample), nullptr, 1, 0x100000000ull, 32, 32);
         },
         "symkeep: fatal: ELF file overflow\n"},
        // The program header table is the loader's own allocation: the runtime's report.
        {"no memory for the program headers",
         [&] {
             AllocHook = [](uint64_t count, uint64_t size) {
                 if (count == 2 && size == sizeof(Elf64_Phdr)) gen_out_of_memory(count * size);
                 return gen_calloc(count, size);
             };
             ElfImage img = {};
             load_executable(&img, stream_of(sample), "prog");
         },
         "symkeep: fatal: Out of memory (0x0000000000000070 bytes requested)\n", 3},
    };
    for (const Row& r : rows) {
        Outcome o = as_tool(r.body);
        EXPECT_EQ(o.status, r.status) << r.name;
        EXPECT_EQ(o.err, r.err) << r.name;
    }
    Outcome o = as_tool([] { genelf_alloc(static_cast<size_t>(-1) / 2); });
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err.rfind("symkeep: fatal: out of memory allocating 9223372036854775807 bytes", 0), 0u) << o.err;
}

TEST(Library, MagicAndClass) {
    struct Row {
        std::string ident;
        bool elf;
        elfbits bits;
    } rows[] = {
        {std::string("\x7f" "ELF\x01\x01\x01\0\0\0\0\0\0\0\0\0", 16), true, 32},
        {std::string("\x7f" "ELF\x02\x02\x01\0\0\0\0\0\0\0\0\0", 16), true, 64},
        {std::string("\x7f" "ELF\x00\x01\x01\0\0\0\0\0\0\0\0\0", 16), true, -1},
        {std::string("\x7f" "ELF\x03\x01\x01\0\0\0\0\0\0\0\0\0", 16), true, -1},
        {std::string("\x7f" "ELG\x02\x01\x01\0\0\0\0\0\0\0\0\0", 16), false, 64},
    };
    for (const Row& r : rows) {
        FILE* fp = stream_of("pad" + r.ident);
        std::fseek(fp, 3, SEEK_SET);
        EXPECT_EQ(genelf_is_elf(fp), r.elf) << r.ident;
        EXPECT_EQ(genelf_elfbits(fp, 3), r.bits) << r.ident;
        EXPECT_EQ(std::ftell(fp), 3);  // both put the position back
        std::fclose(fp);
    }
}

// ELF32 header fields that hold 2^32 are "ELF file overflow" (2^32 - 1 passes); symbols keep their low bits.
TEST(Conversions, Narrowing) {
    Elf64_Ehdr e = {};
    Elf64_Phdr p = {};
    Elf64_Shdr s = {};
    Elf64_Sym y = {};
    Elf32_Ehdr e32;
    Elf32_Phdr p32;
    Elf32_Shdr s32;
    Elf32_Sym y32;
    const std::pair<uint64_t*, std::function<void()>> rows[] = {{&e.e_shoff, [&] { genelf_ehdr64to32(&e32, &e); }},
        {&p.p_align, [&] { genelf_phdr64to32(&p32, &p, 1); }}, {&s.sh_entsize, [&] { genelf_shdr64to32(&s32, &s, 1); }},
        {&y.st_value, [&] { genelf_sym64to32(&y32, &y, 1), std::printf("%x", y32.st_value); }}};
    for (const auto& row : rows)
        for (uint64_t v : {0xFFFFFFFFull, 0x123456789ull}) {
            *row.first = v;
            const bool fits = v >> 32 == 0 || row.first == &y.st_value;
            EXPECT_EQ(as_tool(row.second).err, fits ? "" : "symkeep: fatal: ELF file overflow\n") << std::hex << v;
        }
    EXPECT_EQ(as_tool(rows[3].second).out, "23456789");
}

// A loaded image with its symbols and names read out (the loader leaves
// them in the file).
struct Loaded {
    int result = -1;
    ElfImage image = {};
    std::vector<Elf64_Sym> syms;
    std::vector<std::string> names;
};

Loaded load(const Desc& d) {
    Loaded l;
    FILE* fp = stream_of(em::make_elf(d));
    l.result = load_executable(&l.image, fp, "prog");
    ElfSymbolWalk walk(l.image);
    ElfNameTable names(l.image);
    size_t length;
    for (Elf64_Sym s; l.result == 1 && walk.next(&s);) {
        const char* name = names.name_at(s.st_name, &length);
        l.syms.push_back(s);
        l.names.push_back(name != nullptr ? std::string(name, length) : "<outside>");
    }
    std::fclose(fp);
    return l;
}

// What a user sees of a load, with every symbol entry read (and so
// checked) as the tool's reduction reads them.
Outcome load_as_tool(const Desc& d) {
    return as_tool([&] {
        FILE* fp = stream_of(em::make_elf(d));
        ElfImage img = {};
        int result = load_executable(&img, fp, "prog");
        ElfSymbolWalk walk(img);
        for (Elf64_Sym s; result == 1 && walk.next(&s);) {
        }
        std::printf("result %d, %u symbols", result, img.nsyms);
        std::fclose(fp);
    });
}

// A symbol table cut short by the end of the file: the missing bytes of its
// last entry read as 0xFF, through the loader and the array reader alike.
TEST(Loader, EntryCutShortReadsAs0xFF) {
    Desc d = em::sample_exec(64, true);
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
    FreeHook(syms), FreeHook(strings), std::fclose(fp);
    fp = stream_of(em::make_elf(em::sample_exec(32, false)));  // and a whole ELF32 table
    EXPECT_EQ(genelf_read_symtab(fp, &syms, &strings), 9u);
    EXPECT_EQ(syms[8].st_shndx, SHN_COMMON);
    FreeHook(syms), FreeHook(strings), std::fclose(fp);
}

// Names are read through a window of the table; a longer one is read on to its NUL.
TEST(Loader, NameLongerThanTheReadWindow) {
    Desc d = em::sample_exec(64, false);
    d.symbols[8].name = std::string(300000, 'n');
    EXPECT_EQ(load(d).names[8], d.symbols[8].name);
}

// Shapes the loader accepts, in both byte orders: what it makes of each.
TEST(Loader, AcceptedShapes) {
    struct Row {
        const char* name;
        void (*shape)(Desc&);
        uint32_t nsyms;
        std::string last;  // the last symbol's name
    } rows[] = {
        {"sample", [](Desc&) {}, 9, "shared_buf"},
        {"EI_DATA 0 or 7 reads little-endian", [](Desc& d) { d.ei_data = d.bits == 32 ? 7 : 0; }, 9, "shared_buf"},
        {"entries larger than the records", [](Desc& d) {
             d.phentsize = em::phdr_size(d.bits) + 8, d.shentsize = em::shdr_size(d.bits) + 8;
             d.sections[4].entsize = em::sym_size(d.bits) + 8;
         }, 9, "shared_buf"},
        {"entry sizes 0 mean the records", [](Desc& d) { d.phentsize = 0, d.shentsize = 0, d.sections[4].entsize = 0; },
         9, "shared_buf"},
        {"only .dynsym", [](Desc& d) { d.sections[4].name = ".dynsym", d.sections[4].type = SHT_DYNSYM; }, 9, "shared_buf"},
        {"neither .symtab nor .dynsym", [](Desc& d) { d.sections[4].name = ".notsyms"; }, 0, ""},
        {"two .symtab: the lower index, two entries and a part of it",
         [](Desc& d) { d.sections.push_back(d.sections[4]), d.sections[4].size = 2 * em::sym_size(d.bits) + 2; }, 2, ""},
        {"no section header table", [](Desc& d) { d.no_section_table = true; }, 0, ""},
    };
    for (const Row& r : rows)
        for (int form = 0; form < 4; ++form) {  // ELF32 LE, ELF32 BE, ELF64 LE, ELF64 BE
            const bool big = form % 2;
            Desc d = em::sample_exec(form < 2 ? 32 : 64, big);
            r.shape(d);
            if (d.ei_data && big) continue;  // a big-endian file read as little-endian is another shape
            Loaded l = load(d);
            const ElfImage& img = l.image;
            ASSERT_EQ(l.result, 1) << r.name;
            EXPECT_EQ(ByteOrder, big ? BYTEORDER_BIG : BYTEORDER_LITTLE) << r.name;
            EXPECT_EQ(ElfWordSize, d.bits / 8) << r.name;
            EXPECT_EQ(std::vector<uint64_t>({img.ehdr.e_ident[EI_CLASS], img.ehdr.e_type, img.ehdr.e_entry,
                                             img.ehdr.e_phnum, img.phdrs[1].p_vaddr, img.phdrs[1].p_memsz,
                                             img.phdrs[1].p_flags, img.ehdr.e_shnum, img.nsyms}),
                      std::vector<uint64_t>({d.bits == 32 ? 1u : 2u, ET_EXEC, 0x401000, 2, 0x402000, 0x48, 6,
                                             d.no_section_table ? 0 : d.sections.size(), r.nsyms})) << r.name;
            EXPECT_EQ(l.names.empty() ? "" : l.names.back(), r.last) << r.name;
            EXPECT_EQ(img.shstrtab == nullptr, d.no_section_table) << r.name;
            if (d.no_section_table || r.nsyms != 9) continue;
            EXPECT_EQ(std::vector<uint64_t>({img.shdrs[1].sh_offset, img.shdrs[3].sh_type, img.shdrs[6].sh_type,
                                             l.syms[4].st_value, l.syms[4].st_size, l.syms[4].st_info,
                                             l.syms[6].st_other, l.syms[7].st_shndx, l.syms[8].st_shndx,
                                             img.strtab_size}),
                      std::vector<uint64_t>({0x1000, SHT_NOBITS, SHT_STRTAB, 0x401000, 16, 0x12, 2, SHN_ABS,
                                             SHN_COMMON, img.shdrs[5].sh_size})) << r.name;
            EXPECT_STREQ(reinterpret_cast<const char*>(img.shstrtab + img.shdrs[4].sh_name),
                         d.sections[4].name.c_str());
            EXPECT_EQ(l.names, std::vector<std::string>({"", "", "prog.c", "count", "main", "count", "exit",
                                                         "limit", "shared_buf"})) << r.name;
        }
}

// Every message and quiet failure of the loader, with the file shape that
// causes it: fatal ones end the program with status 1; the quiet ones (out
// given) return.
TEST(Loader, Answers) {
    const std::string einval = std::strerror(EINVAL), f = "symkeep: fatal: ";
    struct Row {
        const char* name;
        void (*shape)(Desc&);
        int bits;
        std::string err;
        std::string out = "";
    } rows[] = {
        {"too many sections (ELF32)", [](Desc& d) { d.shnum = 0; }, 32, f + "elf_readheader: Too many ELF sections\n"},
        {"too many sections (ELF64)", [](Desc& d) { d.shnum = 0; }, 64,
         f + "elf64_readheader: Too many ELF sections\n"},
        {"short phentsize (ELF32)", [](Desc& d) { d.phentsize = 31; }, 32, f + "elf_readprogheader(): phentsize\n"},
        {"short phentsize (ELF64)", [](Desc& d) { d.phentsize = 55; }, 64, f + "elf64_readprogheader(): phentsize\n"},
        {"section names at index 0", [](Desc& d) { d.shstrndx = 0; }, 64, f + "ELF section string table is empty\n"},
        {"SHN_XINDEX symbol (ELF32)", [](Desc& d) { d.symbols[5].shndx = 0xffff; }, 32,
         f + "elf_readsymbol: symbol requires SYMTAB_SHNDX section\n"},
        {"SHN_XINDEX symbol (ELF64)", [](Desc& d) { d.symbols[5].shndx = 0xffff; }, 64,
         f + "elf64_readsymbol: symbol requires SYMTAB_SHNDX section\n"},
        {"unknown class", [](Desc& d) { d.ei_class = 3; }, 64, f + "Unexpected elfbits\n"},
        // Only the header field: no table is written out there.
        {"ELF32 program headers at 2 GiB", [](Desc& d) { d.phdrs.clear(), d.phnum = 1, d.phoff = 0x80000000u; },
         32, f + "seek failed to -2147483648 in file: " + einval + "\n"},
        {"section names cut short", [](Desc& d) { d.sections[6].size = 0x100000; }, 64,
         f + "read failed, unexpected EOF\n"},
        {"symbol names cut short", [](Desc& d) { d.sections[5].size = 0x100000; }, 64,
         f + "read failed, unexpected EOF\n"},
        {"symbol table runs past the end (0xFF fill)", [](Desc& d) { d.sections[4].size = 0x10000; }, 64,
         f + "elf64_readsymbol: symbol requires SYMTAB_SHNDX section\n"},
        // Shapes the readers cannot use safely, refused with their own words.
        {"e_shstrndx beyond the table", [](Desc& d) { d.shstrndx = 7; }, 64,
         f + "e_shstrndx 7 is not a valid section index (e_shnum is 7)\n"},
        {"sh_name outside the names", [](Desc& d) { d.sections[2].name_offset = 0x4000; }, 32,
         f + "section 2: sh_name 0x4000 is outside the section-name table (44 bytes)\n"},
        {"symbol table linked to no section", [](Desc& d) { d.sections[4].link = 99; }, 64,
         f + "symbol table section 4: sh_link 99 is not a valid section index (e_shnum is 7)\n"},
        {"no section table but a count", [](Desc& d) { d.shoff = 0; }, 64,
         f + "e_shoff is 0 but e_shnum is 7: the file has no section header table to read\n"},
        {"a symbol count of 2^32", [](Desc& d) { d.sections[4].size = 0x100000000ull * 24; }, 64,
         f + "symbol table section 4: 4294967296 entries, more than the 4294967295 this tool can hold\n"},
        // NOBITS: the maker places no data at offsets the tables cannot have.
        {"symbol table at an offset the stream cannot reach",
         [](Desc& d) { d.sections[4].type = SHT_NOBITS, d.sections[4].offset = 0xaa00000000001370ull; }, 64,
         f + "seek failed to 0xaa00000000001370 in file: " + einval + "\n"},
        {"string table at an offset the stream cannot reach",
         [](Desc& d) { d.sections[5].type = SHT_NOBITS, d.sections[5].offset = 0xbb00000000000000ull; }, 64,
         f + "seek failed to 0xbb00000000000000 in file: " + einval + "\n"},
        // Loads that end without a message of the reader's own.
        {"section header entry size below the record", [](Desc& d) { d.shentsize = 20; }, 64, "",
         "result 0, 0 symbols"},
        {"symbol entry size below the record", [](Desc& d) { d.sections[4].entsize = 12; }, 32, "",
         "result 1, 0 symbols"},
        {"empty linked string table", [](Desc& d) { d.sections[5].size = 0; }, 64, "", "result 1, 0 symbols"},
        {"empty linked string table past the end of the file",
         [](Desc& d) { d.sections[5].type = SHT_NOBITS, d.sections[5].size = 0, d.sections[5].offset = 0x100000; },
         32, "", "result 1, 0 symbols"},
        // The type is known before any symbol is read.
        {"not an executable, with an SHN_XINDEX symbol",
         [](Desc& d) { d.type = em::ET_DYN, d.symbols[5].shndx = 0xffff; }, 64,
         "ELF file prog is not a valid executable program with e_type ET_EXEC (2), e_type is 3.\n",
         "result 0, 9 symbols"},
    };
    for (const Row& r : rows)
        for (bool big : {false, true}) {
            Desc d = em::sample_exec(r.bits, big);
            r.shape(d);
            Outcome o = load_as_tool(d);
            EXPECT_EQ(o.status, r.out.empty() ? 1 : -1) << r.name;
            EXPECT_EQ(o.err, r.err) << r.name;
            EXPECT_EQ(o.out, r.out) << r.name;
        }
}

TEST(Readers, DirectEntryPoints) {
    const std::string bytes = em::make_elf(em::sample_exec(64, true));
    FILE* fp = stream_of(bytes);
    Elf64_Ehdr h;
    EXPECT_EQ(genelf_readheader(fp, &h, 16), nullptr);  // an unknown class: none, nothing read
    EXPECT_EQ(std::ftell(fp), 0);
    ElfXHeader x;
    EXPECT_EQ(genelf_readXheader(fp, &x, 64), &x);
    EXPECT_EQ(x.e_shnum, 7u);
    EXPECT_EQ(x.e_shstrndx, 6u);
    EXPECT_EQ(genelf_readprogheaders(fp, nullptr, 0, 0, 56, 64), nullptr);
    EXPECT_EQ(genelf_readsecheaders(fp, nullptr, 0, 0, 64, 64), nullptr);
    EXPECT_EQ(elf64_readsecheader(fp, nullptr, 3, -1, 20), nullptr);
    EXPECT_EQ(genelf_read_section_headers(nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(genelf_read_symtab(fp, nullptr, nullptr), 0u);
    EXPECT_EQ(genelf_alloc(0), nullptr);
    EXPECT_EQ(genelf_read_block(fp, nullptr, 0), nullptr);
    EXPECT_EQ(genelf_writesection(fp, nullptr, nullptr, nullptr, 64), 0);
    Elf64_Phdr* phdrs = genelf_readprogheaders(fp, nullptr, 2, 64, 56, 64);
    EXPECT_EQ(phdrs[1].p_vaddr, 0x402000u);
    std::fseek(fp, 64 + 56, SEEK_SET);  // an offset of -1 reads where the stream stands
    EXPECT_EQ(elf64_readprogheader(fp, phdrs, 1, -1, 56)->p_vaddr, 0x402000u);
    Elf64_Ehdr e;
    Elf64_Shdr* shdrs;
    Elf64_Sym* syms;
    uint8_t *strings, *names;
    uint32_t nsyms = 0;
    std::rewind(fp);
    EXPECT_EQ(genelf_readfile(&e, &phdrs, &shdrs, &syms, &strings, &names, &nsyms, fp, "prog"), 1);
    EXPECT_EQ(std::vector<uint64_t>({nsyms, syms[4].st_value, shdrs[1].sh_offset, phdrs[1].p_memsz}),
              std::vector<uint64_t>({9, 0x401000, 0x1000, 0x48}));
    Elf64_Sym* read = elf64_readsymbol(fp, nullptr, 9, static_cast<int64_t>(shdrs[4].sh_offset), 0);
    EXPECT_EQ(read[6].st_value, 0x401010u);
    std::fclose(fp);
}

}  // namespace
