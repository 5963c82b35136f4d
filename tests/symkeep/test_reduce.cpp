// The keep-list set, and the reduction and the writer's layout on files made
// by the test-data maker, run in-process the way the tool's driver runs them
// (load, copy, reduce, write).  Offsets are pinned as checked once by hand.
#include <cerrno>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "data/elfmaker.h"
#include "genelf/genelf.h"
#include "shared/geninit.h"
#include "support/harness.h"
#include "symkeep/symkeep.h"

namespace em = elfmaker;

namespace {

// The keep list of a fresh run: exactly these names.
void keep_only(const std::vector<const char*>& names) {
    KeepList.~KeepNames();
    new (&KeepList) KeepNames();
    for (const char* n : names) KeepList.append(n);
}

struct Reduced {
    Outcome outcome;
    em::Parsed in, out;
};

Reduced reduce(const em::Desc& d, const std::vector<const char*>& keep) {
    Reduced r;
    std::string error, bytes;
    const std::string input = em::make_elf(d);
    EXPECT_TRUE(em::parse_elf(input, r.in, error)) << error;
    keep_only(keep);
    StrtabSize = 0;
    r.outcome = trap([&] {
        gen_init("/opt/tools/symkeep", 0, 0);
        errno = 0;
        FILE* in = stream_of(input);
        FILE* out = std::tmpfile();
        ElfImage loaded = {}, working = {};
        if (load_executable(&loaded, in, "in.elf") != 1) return;
        copy_image(&loaded, &working);
        reduce_symbols(&working);
        write_image(&working, out, "out.elf");
        std::rewind(out);
        for (int c; (c = std::fgetc(out)) != EOF;) bytes.push_back(static_cast<char>(c));
        std::fclose(in), std::fclose(out);
    });
    EXPECT_TRUE(r.outcome.status != -1 || em::parse_elf(bytes, r.out, error)) << error;
    return r;
}

// The kept symbols of an output as name@value/shndx, and its names table.
std::string kept(const em::Parsed& p) {
    std::string text, error, strings = p.section_data(*p.find_section(".strtab", true));
    std::vector<em::Sym> syms;
    EXPECT_TRUE(em::read_symbols(p, *p.find_section(".symtab", true), syms, error)) << error;
    for (const em::Sym& s : syms) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "@%llx/%llx ", (unsigned long long)s.value, (unsigned long long)s.shndx);
        text += em::string_at(strings, s.name).value_or("<outside>") + buf;
    }
    for (char& c : strings) c = c == '\0' ? '.' : c;
    return text + "| " + strings;
}

// Section offsets, program header offsets, e_shoff and the file's end.
std::string layout(const em::Parsed& p) {
    std::string text = "sh";
    char buf[32];
    for (const em::Shdr& s : p.shdrs) std::snprintf(buf, sizeof buf, " %llx", (unsigned long long)s.offset), text += buf;
    text += " | ph";
    for (const em::Phdr& h : p.phdrs) std::snprintf(buf, sizeof buf, " %llx", (unsigned long long)h.offset), text += buf;
    std::snprintf(buf, sizeof buf, " | shoff %llx | end %zx", (unsigned long long)p.ehdr.shoff, p.bytes.size());
    return text + buf;
}

TEST(KeepNames, ExactByteStrings) {
    std::vector<std::string> names;
    for (int i = 0; i < 300; ++i) names.push_back("_ZN7symkeep4name" + std::string(i % 40, 'x') + std::to_string(i));
    names.push_back(std::string(300, 'L'));
    names.push_back("");
    KeepNames set;
    for (const std::string& n : names) set.append(n.c_str());
    set.append(names[0].c_str());  // again: no change
    for (const std::string& n : names) EXPECT_TRUE(set.contains(n.c_str(), n.size())) << n;
    for (const std::string& n : names) {
        std::string near = n + "y", cut = n.substr(0, n.size() / 2), flipped = n;
        if (!flipped.empty()) flipped[flipped.size() / 2 + 3 < n.size() ? flipped.size() / 2 + 3 : 0] ^= 1;
        for (const std::string& miss : {near, cut, flipped})
            EXPECT_TRUE(miss.empty() || !set.contains(miss.c_str(), miss.size())) << miss;
    }
    EXPECT_FALSE(set.contains(std::string(299, 'L').c_str(), 299));
    EXPECT_FALSE(KeepNames().contains("", 0));
    keep_only({"main", "", "main"});
    EXPECT_EQ(std::vector<int>({is_kept_symbol("main"), is_kept_symbol("Main"), is_kept_symbol("mai"),
                                is_kept_symbol("main "), is_kept_symbol(""), is_kept_symbol(nullptr)}),
              std::vector<int>({1, 0, 0, 0, 1, 0}));
}

// sample_exec's symbols: null, section, prog.c (ABS), local count, main,
// global count, exit, limit (ABS), shared_buf (COMMON).
TEST(Reduce, KeptSymbolsInInputOrder) {
    std::string copies, names;
    for (int i = 0; i < 100; ++i) copies += "count@402000/2 ", names += "count.";
    const std::string hundred = copies + "| " + names;
    struct Row {
        const char* name;
        std::vector<const char*> keep;
        std::string want;
        void (*shape)(em::Desc&) = nullptr;
    } rows[] = {
        {"none", {}, "| "},
        {"main", {"main"}, "main@401000/1 | main."},
        {"absent name", {"no_such_symbol"}, "| "},
        {"empty name", {""}, "@0/0 @401000/1 | .."},
        {"local and global", {"count"}, "count@402000/2 count@402004/2 | count.count."},
        {"same name twice", {"main", "main"}, "main@401000/1 | main."},
        {"list order ignored", {"exit", "main"}, "main@401000/1 exit@401010/1 | main.exit."},
        {"prefix is no match", {"mai", "Main", "main "}, "| "},
        {"reserved indices", {"shared_buf", "limit", "prog.c"},
         "prog.c@0/fff1 limit@1234/fff1 shared_buf@8/fff2 | prog.c.limit.shared_buf."},
        {"one stored name, a hundred kept copies", {"count"}, hundred,
         [](em::Desc& d) {
             d.symbols.resize(1);
             for (int i = 0; i < 100; ++i) d.symbols.push_back({"count", 0x402000, 4, 0x01, 0, 2, {}});
         }},
    };
    for (const Row& r : rows)
        for (int bits : {32, 64})
            for (bool big : {false, true}) {
                em::Desc d = em::sample_exec(bits, big);
                if (r.shape) r.shape(d);
                Reduced run = reduce(d, r.keep);
                ASSERT_EQ(run.outcome.err, "") << r.name;
                EXPECT_EQ(kept(run.out), r.want) << r.name << bits << big;
                const em::Shdr& in = run.in.shdrs[*run.in.find_section(".symtab", true)];
                const em::Shdr& out = run.out.shdrs[*run.out.find_section(".symtab", true)];
                EXPECT_EQ(std::vector<uint64_t>({out.link, out.info, out.type}),
                          std::vector<uint64_t>({in.link, in.info, in.type})) << r.name;
                for (const em::Phdr& p : run.out.phdrs) EXPECT_EQ(p.filesz, 0u) << r.name;
            }
}

em::Desc worked_example(int bits, bool big) {
    em::Desc d;
    d.bits = bits, d.big_endian = big;
    em::Section symtab = em::symtab_section(), names = em::shstrtab_section();
    symtab.addralign = 4;
    names.data = std::string(5, '\0');  // 39 bytes of names, padded to 0x2c
    d.sections = {em::null_section(), em::progbits(".text", 0x8000, std::string(16, '\x01')),
                  em::progbits(".data", 0x9000, std::string(8, '\x02'), em::SHF_ALLOC | em::SHF_WRITE), symtab,
                  em::strtab_section(), names};
    const uint64_t text = em::ehdr_size(bits) + 2 * em::phdr_size(bits);
    d.phdrs = {em::load_segment(0x8000, text, 16, 16), em::load_segment(0x9000, text + 16, 8, 8)};
    d.symbols = {{"", 0, 0, 0, 0, 0, {}}, {"main", 0x8000, 16, 0x12, 0, 1, {}}, {"exit", 0x8008, 8, 0x12, 0, 1, {}}};
    return d;
}

TEST(Write, PinnedLayouts) {
    struct Row {
        const char* name;
        int bits;
        em::Desc (*make)(int bits, bool big);
        std::vector<const char*> keep;
        std::string want;
    } rows[] = {
        {"worked example (ELF32)", 32, worked_example, {"main"}, "sh 74 74 74 74 84 89 | ph 74 74 | shoff b5 | end 1a5"},
        {"worked example (ELF64)", 64, worked_example, {"main"}, "sh b0 b0 b0 b0 c8 cd | ph b0 b0 | shoff f9 | end 279"},
        {"sample (ELF32)", 32, em::sample_exec, {"main"},
         "sh 1000 1000 1000 1000 1000 1010 1015 | ph 1000 1000 | shoff 1041 | end 1159"},
        {"sample (ELF64)", 64, em::sample_exec, {"main"},
         "sh 1000 1000 1000 1000 1000 1018 101d | ph 1000 1000 | shoff 1049 | end 1209"},
        {"nothing kept: empty tables at offset 0", 64, em::sample_exec, {},
         "sh 1000 1000 1000 1000 0 0 1000 | ph 1000 1000 | shoff 102c | end 11ec"},
        {"a program header at address 0 matches section 0", 64,
         [](int bits, bool big) {
             em::Desc d = em::sample_exec(bits, big);
             em::Phdr stack{em::PT_GNU_STACK, 6, 0x40, 0, 0, 0, 0, 16};
             d.phdrs = {em::load_segment(0x401000, 0x800, 0x20, 0x20), stack,
                        em::load_segment(0x402000, 0x2000, 8, 0x48)};
             return d;
         },
         {"main"}, "sh 1000 1000 1000 1000 1000 1018 101d | ph 800 1000 1000 | shoff 1049 | end 1209"},
        {"no section table: the headers alone", 64,
         [](int bits, bool big) {
             em::Desc d = em::sample_exec(bits, big);
             d.no_section_table = true;
             return d;
         },
         {"main"}, "sh | ph 1000 2000 | shoff 0 | end b0"},
        {"symbols aligned to 2 MiB", 64,
         [](int bits, bool big) {
             em::Desc d = em::sample_exec(bits, big);
             d.sections[4].addralign = 0x200000;
             return d;
         },
         {"main"}, "sh 1000 1000 1000 1000 200000 200018 20001d | ph 1000 1000 | shoff 200049 | end 200209"},
        {"only .dynsym: no data of its own", 32,
         [](int bits, bool big) {
             em::Desc d = em::sample_exec(bits, big);
             d.sections[4].name = ".dynsym", d.sections[4].type = em::SHT_DYNSYM;
             return d;
         },
         {"main"}, "sh 1000 1000 1000 1000 1000 1000 1029 | ph 1000 1000 | shoff 1055 | end 116d"},
        {"a second .strtab is written again", 32,
         [](int bits, bool big) {
             em::Desc d = em::sample_exec(bits, big);
             d.sections.push_back(em::strtab_section());
             return d;
         },
         {"main"}, "sh 1000 1000 1000 1000 1000 1010 1015 1041 | ph 1000 1000 | shoff 106a | end 11aa"},
    };
    for (const Row& r : rows)
        for (bool big : {false, true}) {
            Reduced run = reduce(r.make(r.bits, big), r.keep);
            ASSERT_EQ(run.outcome.err, "") << r.name;
            EXPECT_EQ(layout(run.out), r.want) << r.name << big;
            EXPECT_EQ(run.out.bytes.substr(0, 16), run.in.bytes.substr(0, 16)) << r.name;
        }
}

TEST(Reduce, Refusals) {
    struct Row {
        const char* name;
        void (*shape)(em::Desc&);
        std::string err;
    } rows[] = {
        {"st_name outside the names", [](em::Desc& d) { d.symbols[3].name_offset = 0x500; },
         "symkeep: fatal: symbol 3: st_name 0x500 is outside the symbol string table (41 bytes)\n"},
        {"a name without its NUL", [](em::Desc& d) { d.sections[5].size = 40; },
         "symkeep: fatal: symbol 8: st_name 0x1e is outside the symbol string table (40 bytes)\n"},
        // Only the highest is reduced; the other then asks for more than the image holds.
        {"two .symtab", [](em::Desc& d) { d.sections.push_back(d.sections[4]); },
         "symkeep: fatal: write_image: section 4 (.symtab) needs 0xd8 bytes of data but the image holds 0x18\n"},
        // A typeless ".strtab" of 2 GiB moves the next section's data out of reach.
        {"section data beyond 2 GiB", [](em::Desc& d) {
             d.sections.push_back(em::strtab_section()), d.sections.back().size = 0x80000000, d.sections.back().type = 0;
             d.sections.push_back(em::progbits(".comment", 0, "x", 0));
         }, "symkeep: fatal: write_image: section data at output offset 0x80001052 is beyond the 2 GiB this writer can "
            "position to\n"},
        {"the highest .symtab linked to no section", [](em::Desc& d) {
             d.sections.push_back(d.sections[4]), d.sections.back().link = 8;
         }, "symkeep: fatal: symbol table section 7: sh_link 8 is not a valid section index (e_shnum is 8)\n"},
    };
    for (const Row& r : rows) {
        em::Desc d = em::sample_exec(64, false);
        r.shape(d);
        Reduced run = reduce(d, {"main"});
        EXPECT_EQ(run.outcome.status, 1) << r.name;
        EXPECT_EQ(run.outcome.err, r.err) << r.name;
    }
}

}  // namespace
