// End-to-end tests of the ELF pipeline on files made by our own maker, in
// every class and byte order: the output is compared byte for byte with the
// file the oracle computes from the input, and the layout rules are pinned
// with hand-computed offsets so that the oracle itself is checked too.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "data/elfmaker.h"
#include "data/elforacle.h"
#include "e2e/pipeline_support.h"

using namespace elfmaker;
using pipeline::compare_bytes;
using pipeline::run_symkeep;
using pipeline::ToolRun;

namespace {

struct Form {
    int bits;
    bool big_endian;
    const char* name;
};
const Form kForms[] = {{32, false, "Elf32LE"}, {32, true, "Elf32BE"}, {64, false, "Elf64LE"}, {64, true, "Elf64BE"}};

std::string form_name(const ::testing::TestParamInfo<Form>& info) { return info.param.name; }
void PrintTo(const Form& f, std::ostream* os) { *os << f.name; }

// Runs the tool and checks a clean run whose output equals the oracle's.
Parsed reduce_and_compare(const std::string& input, const std::vector<std::string>& keep) {
    TempDir dir;
    ToolRun run = run_symkeep(dir, input, keep);
    EXPECT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_EQ(run.result.err, "");
    EXPECT_EQ(run.result.out, "");
    Expectation want = expected_output(input, keep);
    EXPECT_TRUE(want.ok) << want.reason;
    EXPECT_EQ(compare_bytes(want.bytes, run.output), "");
    Parsed out;
    std::string err;
    EXPECT_TRUE(parse_elf(run.output, out, err)) << err;
    return out;
}

struct SymtabView {
    Shdr symtab, strtab;
    std::vector<Sym> syms;
    std::vector<std::string> names;
    std::string strings;
};

SymtabView symtab_of(const Parsed& p) {
    SymtabView v;
    std::optional<size_t> s = p.find_section(".symtab"), t = p.find_section(".strtab");
    EXPECT_TRUE(s && t);
    if (!s || !t) return v;
    v.symtab = p.shdrs[*s];
    v.strtab = p.shdrs[*t];
    v.strings = p.section_data(*t);
    std::string err;
    EXPECT_TRUE(read_symbols(p, *s, v.syms, err)) << err;
    for (const Sym& y : v.syms) v.names.push_back(string_at(v.strings, y.name).value_or("<bad st_name>"));
    return v;
}

class Pipeline : public ::testing::TestWithParam<Form> {
protected:
    int bits() const { return GetParam().bits; }
    bool big() const { return GetParam().big_endian; }
    size_t ehsz() const { return ehdr_size(bits()); }
    size_t phsz() const { return phdr_size(bits()); }
    size_t shsz() const { return shdr_size(bits()); }
    size_t symsz() const { return sym_size(bits()); }
};

INSTANTIATE_TEST_SUITE_P(AllForms, Pipeline, ::testing::ValuesIn(kForms), form_name);

// Sections [0] null, [1] .text at file offset 0x1000, [2] .bss, [3] .symtab
// (alignment 8), [4] .strtab, [5] .shstrtab; two program headers.
TEST_P(Pipeline, LayoutStartsAtFirstSectionData) {
    Desc d;
    d.bits = bits();
    d.big_endian = big();
    Section text = progbits(".text", 0x401000, std::string(0x20, '\xc3'), SHF_ALLOC | SHF_EXECINSTR);
    text.offset = 0x1000;
    Section symtab = symtab_section();
    symtab.addralign = 8;
    d.sections = {null_section(), text, nobits(".bss", 0x402000, 0x100), symtab, strtab_section(), shstrtab_section()};
    d.phdrs = {load_segment(0x401000, 0x1000, 0x20, 0x20), load_segment(0x402000, 0x1020, 0, 0x100)};
    d.symbols = {{"", 0, 0, 0, 0, 0, {}},
                 {"", 0x401000, 0, st_info(STB_LOCAL, STT_SECTION), 0, 1, {}},
                 {"main", 0x401000, 0x10, st_info(STB_GLOBAL, STT_FUNC), 0, 1, {}},
                 {"exit", 0x401010, 0x10, st_info(STB_GLOBAL, STT_FUNC), 0, 1, {}}};
    const std::string input = make_elf(d);
    Parsed in;
    std::string err;
    ASSERT_TRUE(parse_elf(input, in, err)) << err;

    Parsed out = reduce_and_compare(input, {"main"});
    ASSERT_EQ(out.shdrs.size(), 6u);
    const uint64_t names_size = in.shdrs[5].size;
    for (size_t i = 0; i <= 2; ++i) EXPECT_EQ(out.shdrs[i].offset, 0x1000u) << "section " << i;
    EXPECT_EQ(out.shdrs[3].offset, 0x1000u);
    EXPECT_EQ(out.shdrs[3].size, symsz());
    EXPECT_EQ(out.shdrs[3].entsize, symsz());
    EXPECT_EQ(out.shdrs[4].offset, 0x1000u + symsz());
    EXPECT_EQ(out.shdrs[4].size, 5u);
    EXPECT_EQ(out.shdrs[5].offset, 0x1000u + symsz() + 5);
    EXPECT_EQ(out.ehdr.shoff, 0x1000u + symsz() + 5 + names_size);  // not rounded up
    EXPECT_EQ(out.bytes.size(), out.ehdr.shoff + 6 * shsz());
    ASSERT_EQ(out.phdrs.size(), 2u);
    EXPECT_EQ(out.phdrs[0].offset, 0x1000u);
    EXPECT_EQ(out.phdrs[1].offset, 0x1000u);  // matched by .bss's address
    for (size_t j = 0; j < 2; ++j) {
        Phdr want = in.phdrs[j];
        want.offset = out.phdrs[j].offset;
        want.filesz = 0;
        EXPECT_TRUE(out.phdrs[j] == want) << "program header " << j;
    }
    // Nothing is written between the program header table and D.
    EXPECT_EQ(out.bytes.substr(ehsz() + 2 * phsz(), 0x1000 - ehsz() - 2 * phsz()),
              std::string(0x1000 - ehsz() - 2 * phsz(), '\0'));
    SymtabView v = symtab_of(out);
    ASSERT_EQ(v.syms.size(), 1u);
    EXPECT_EQ(v.strings, std::string("main\0", 5));
    Sym want{0, st_info(STB_GLOBAL, STT_FUNC), 0, 1, 0x401000, 0x10};
    EXPECT_TRUE(v.syms[0] == want);
    EXPECT_EQ(out.section_data(5), in.section_data(5));
}

// Program headers at 52 (ELF32), sections [0] null, [1] .text right after
// them at 0x8000, [2] .data at 0x9000, [3] .symtab (alignment 4), [4] .strtab,
// [5] .shstrtab of 0x2c bytes; one symbol kept.
TEST_P(Pipeline, LayoutOfCompactFile) {
    Desc d;
    d.bits = bits();
    d.big_endian = big();
    Section symtab = symtab_section();
    symtab.addralign = 4;
    Section names = shstrtab_section();
    names.data = std::string(5, '\0');  // 39 bytes of names, padded to 0x2c
    d.sections = {null_section(), progbits(".text", 0x8000, std::string(16, '\x01')),
                  progbits(".data", 0x9000, std::string(8, '\x02'), SHF_ALLOC | SHF_WRITE), symtab, strtab_section(),
                  names};
    const uint64_t text_off = ehsz() + 2 * phsz();
    d.phdrs = {load_segment(0x8000, text_off, 16, 16), load_segment(0x9000, text_off + 16, 8, 8)};
    d.symbols = {{"", 0, 0, 0, 0, 0, {}},
                 {"main", 0x8000, 16, st_info(STB_GLOBAL, STT_FUNC), 0, 1, {}},
                 {"exit", 0x8008, 8, st_info(STB_GLOBAL, STT_FUNC), 0, 1, {}}};
    const std::string input = make_elf(d);
    Parsed in;
    std::string err;
    ASSERT_TRUE(parse_elf(input, in, err)) << err;
    ASSERT_EQ(in.ehdr.phoff, ehsz());
    ASSERT_EQ(in.shdrs[1].offset, text_off);
    ASSERT_EQ(in.shdrs[5].size, 0x2cu);

    struct Offsets {
        uint64_t d, symtab, strtab, shstrtab, shoff, end;
    };
    const Offsets want = bits() == 32 ? Offsets{0x74, 0x74, 0x84, 0x89, 0xb5, 0x1a5}
                                      : Offsets{0xb0, 0xb0, 0xc8, 0xcd, 0xf9, 0x279};
    Parsed out = reduce_and_compare(input, {"main"});
    ASSERT_EQ(out.shdrs.size(), 6u);
    for (size_t i = 0; i <= 2; ++i) EXPECT_EQ(out.shdrs[i].offset, want.d) << "section " << i;
    EXPECT_EQ(out.phdrs[0].offset, want.d);
    EXPECT_EQ(out.phdrs[1].offset, want.d);
    EXPECT_EQ(out.shdrs[3].offset, want.symtab);
    EXPECT_EQ(out.shdrs[3].size, symsz());
    EXPECT_EQ(out.shdrs[3].entsize, symsz());
    EXPECT_EQ(out.shdrs[4].offset, want.strtab);
    EXPECT_EQ(out.shdrs[4].size, 5u);
    EXPECT_EQ(out.shdrs[5].offset, want.shstrtab);
    EXPECT_EQ(out.shdrs[5].size, 0x2cu);
    EXPECT_EQ(out.ehdr.shoff, want.shoff);
    EXPECT_EQ(out.bytes.size(), want.end);
    for (size_t i = 0; i < 6; ++i) {
        Shdr keep = in.shdrs[i];
        keep.offset = out.shdrs[i].offset;
        keep.size = out.shdrs[i].size;
        keep.entsize = out.shdrs[i].entsize;
        EXPECT_TRUE(out.shdrs[i] == keep) << "section " << i << " changed beyond offset and size";
    }
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.ehdr.ident), 16), input.substr(0, 16));
}

// A symbol table aligned to 2 MiB: the gap before it is left as a hole, so
// the bytes read back (zeros) and the offsets must still be the oracle's.
TEST_P(Pipeline, WideAlignmentGapReadsAsZeros) {
    Desc d = sample_exec(bits(), big());
    for (Section& s : d.sections)
        if (s.name == ".symtab") s.addralign = 0x200000;
    const std::string input = make_elf(d);
    Parsed out = reduce_and_compare(input, {"main"});
    std::optional<size_t> symtab = out.find_section(".symtab");
    ASSERT_TRUE(symtab);
    EXPECT_EQ(out.shdrs[*symtab].offset % 0x200000, 0u);
    EXPECT_GE(out.shdrs[*symtab].offset, 0x200000u);
}

struct KeepCase {
    const char* label;
    std::vector<std::string> keep;
    std::vector<std::string> names;  // kept, in output order
};

// sample_exec's table: null, section, "prog.c", local count, main, global
// count, exit, limit (SHN_ABS), shared_buf (SHN_COMMON).
TEST_P(Pipeline, KeepListsSelectSymbolsInInputOrder) {
    const Desc d = sample_exec(bits(), big());
    const std::string input = make_elf(d);
    Parsed in;
    std::string err;
    ASSERT_TRUE(parse_elf(input, in, err)) << err;
    const SymtabView before = symtab_of(in);
    const std::vector<KeepCase> cases = {
        {"none", {}, {}},
        {"main", {"main"}, {"main"}},
        {"absent name", {"no_such_symbol"}, {}},
        {"empty name", {""}, {"", ""}},
        {"local and global", {"count"}, {"count", "count"}},
        {"same name twice", {"main", "main"}, {"main"}},
        {"list order ignored", {"exit", "main"}, {"main", "exit"}},
        {"prefix is no match", {"mai", "Main", "main "}, {}},
        {"reserved indices", {"shared_buf", "limit", "prog.c"}, {"prog.c", "limit", "shared_buf"}},
    };
    for (const KeepCase& c : cases) {
        SCOPED_TRACE(c.label);
        Parsed out = reduce_and_compare(input, c.keep);
        SymtabView v = symtab_of(out);
        EXPECT_EQ(v.names, c.names);
        std::string strings;
        for (const std::string& n : c.names) strings += n + '\0';
        EXPECT_EQ(v.strings, strings);
        EXPECT_EQ(v.strtab.size, strings.size());
        EXPECT_EQ(v.symtab.size, c.names.size() * symsz());
        EXPECT_EQ(v.symtab.entsize, symsz());
        EXPECT_EQ(v.symtab.info, before.symtab.info);
        EXPECT_EQ(v.symtab.link, before.symtab.link);
        if (c.names.empty()) {
            EXPECT_EQ(v.symtab.offset, 0u);
            EXPECT_EQ(v.strtab.offset, 0u);
        }
        // Every field but st_name is the input's.
        size_t from = 0;
        for (size_t k = 0; k < v.syms.size(); ++k) {
            while (from < before.syms.size() && before.names[from] != v.names[k]) ++from;
            ASSERT_LT(from, before.syms.size());
            Sym want = before.syms[from++];
            want.name = v.syms[k].name;
            EXPECT_TRUE(v.syms[k] == want) << "kept symbol " << k;
        }
        if (!c.names.empty()) {
            EXPECT_EQ(v.syms[0].name, 0u);
        }
        for (const Phdr& p : out.phdrs) EXPECT_EQ(p.filesz, 0u);
    }
}

// A hundred symbols sharing one stored name: each kept symbol gets its own
// copy, so the kept tables grow well past their first allocations.
TEST_P(Pipeline, ManySymbolsSharingOneStoredName) {
    constexpr size_t kCount = 100;
    Desc d = sample_exec(bits(), big());
    d.symbols.resize(1);
    for (size_t i = 0; i < kCount; ++i)
        d.symbols.push_back({"count", 0x402000u + 4u * i, 4, st_info(STB_LOCAL, STT_OBJECT), 0, 2, {}});
    d.symbols.push_back({"main", 0x401000, 16, st_info(STB_GLOBAL, STT_FUNC), 0, 1, {}});
    const std::string input = make_elf(d);
    Parsed in;
    std::string err;
    ASSERT_TRUE(parse_elf(input, in, err)) << err;
    ASSERT_EQ(in.section_data(*in.find_section(".strtab")), std::string("\0count\0main\0", 12));

    Parsed out = reduce_and_compare(input, {"count"});
    SymtabView v = symtab_of(out);
    ASSERT_EQ(v.syms.size(), kCount);
    EXPECT_EQ(v.strtab.size, 6 * kCount);
    std::string strings;
    for (size_t i = 0; i < kCount; ++i) strings += std::string("count\0", 6);
    EXPECT_EQ(v.strings, strings);
    for (size_t i = 0; i < kCount; ++i) {
        EXPECT_EQ(v.syms[i].name, 6 * i);
        EXPECT_EQ(v.syms[i].value, 0x402000u + 4u * i);
    }
}

TEST_P(Pipeline, OnlyDynsymLeavesSymbolsAlone) {
    Desc d;
    d.bits = bits();
    d.big_endian = big();
    Section text = progbits(".text", 0x401000, std::string(16, '\x90'));
    text.offset = 0x1000;
    Section dynsym = symtab_section(".dynsym", SHT_DYNSYM);
    d.sections = {null_section(), text, dynsym, strtab_section(".dynstr"), shstrtab_section()};
    d.phdrs = {load_segment(0x401000, 0x1000, 16, 16)};
    d.symbols = {{"", 0, 0, 0, 0, 0, {}}, {"main", 0x401000, 16, st_info(STB_GLOBAL, STT_FUNC), 0, 1, {}}};
    const std::string input = make_elf(d);
    Parsed in;
    std::string err;
    ASSERT_TRUE(parse_elf(input, in, err)) << err;

    Parsed out = reduce_and_compare(input, {"main"});
    ASSERT_EQ(out.shdrs.size(), 5u);
    for (size_t i : {2, 3}) {
        EXPECT_EQ(out.shdrs[i].size, in.shdrs[i].size) << "section " << i;
        EXPECT_EQ(out.shdrs[i].entsize, in.shdrs[i].entsize) << "section " << i;
        EXPECT_EQ(out.shdrs[i].offset, 0x1000u) << "section " << i << " has no data of its own";
    }
    EXPECT_EQ(out.shdrs[4].offset, 0x1000u);
    EXPECT_EQ(out.phdrs[0].filesz, 0u);
}

TEST_P(Pipeline, NoProgramHeaders) {
    Desc d = sample_exec(bits(), big());
    d.phdrs.clear();
    const std::string input = make_elf(d);
    Parsed out = reduce_and_compare(input, {"main"});
    EXPECT_EQ(out.ehdr.phnum, 0u);
    EXPECT_EQ(out.ehdr.phoff, 0u);
    EXPECT_EQ(symtab_of(out).names, std::vector<std::string>{"main"});
}

TEST_P(Pipeline, NoSectionsKeepsOnlyTheHeaders) {
    Desc d;
    d.bits = bits();
    d.big_endian = big();
    d.no_section_table = true;
    d.phdrs = {load_segment(0x400000, 0, 0x200, 0x200), load_segment(0x401000, 0x1000, 0x10, 0x10)};
    std::string input = make_elf(d);
    input.resize(0x1010, '\x55');  // segment contents the output must not carry
    Parsed in;
    std::string err;
    ASSERT_TRUE(parse_elf(input, in, err)) << err;
    ASSERT_EQ(in.ehdr.shnum, 0u);
    ASSERT_EQ(in.ehdr.shoff, 0u);

    Parsed out = reduce_and_compare(input, {"main"});
    EXPECT_EQ(out.bytes.size(), ehsz() + 2 * phsz());
    EXPECT_EQ(out.ehdr.shoff, 0u);
    EXPECT_EQ(out.ehdr.shnum, 0u);
    for (size_t j = 0; j < 2; ++j) {
        Phdr want = in.phdrs[j];
        want.filesz = 0;
        EXPECT_TRUE(out.phdrs[j] == want) << "program header " << j;
    }
}

// Section 0 has address 0, so a program header with p_vaddr 0 matches it
// and the search for later sections starts from that header.
TEST_P(Pipeline, ZeroAddressProgramHeaderMatchesSectionZero) {
    Desc d = sample_exec(bits(), big());
    Phdr stack;
    stack.type = PT_GNU_STACK;
    stack.flags = 6;
    stack.align = 16;
    stack.offset = 0x40;
    d.phdrs = {load_segment(0x401000, 0x800, 0x20, 0x20), stack, load_segment(0x402000, 0x2000, 8, 0x48)};
    const std::string input = make_elf(d);
    Parsed out = reduce_and_compare(input, {"main"});
    ASSERT_EQ(out.phdrs.size(), 3u);
    EXPECT_EQ(out.phdrs[0].offset, 0x800u) << "searched before the matched header: left as it was";
    EXPECT_EQ(out.phdrs[1].offset, 0x1000u);
    EXPECT_EQ(out.phdrs[2].offset, 0x1000u);
}

TEST_P(Pipeline, WideValuesSurviveUnchanged) {
    Desc d = sample_exec(bits(), big());
    const uint64_t value = bits() == 64 ? 0x123456789abcdef0u : 0x9abcdef0u;
    const uint64_t size = bits() == 64 ? 0xfedcba9876543210u : 0xfedcba98u;
    d.symbols.push_back({"wide", value, size, st_info(STB_WEAK, STT_OBJECT), 3, 0xfeff, {}});
    Parsed out = reduce_and_compare(make_elf(d), {"wide"});
    SymtabView v = symtab_of(out);
    ASSERT_EQ(v.syms.size(), 1u);
    EXPECT_EQ(v.syms[0].value, value);
    EXPECT_EQ(v.syms[0].size, size);
    EXPECT_EQ(v.syms[0].other, 3u);
    EXPECT_EQ(v.syms[0].shndx, 0xfeffu);
}

// --- Refused inputs ----------------------------------------------------------------

TEST(PipelineRefusals, NotAnElfFile) {
    const std::vector<std::pair<const char*, std::string>> inputs = {
        {"empty", ""}, {"text", "hello, world\n"}, {"short magic", "\x7f" "EL"}, {"other magic", "\x7f" "ELG0000000000000"}};
    for (const auto& [label, bytes] : inputs) {
        SCOPED_TRACE(label);
        TempDir dir;
        ToolRun run = run_symkeep(dir, bytes, {"main"});
        EXPECT_EQ(run.result.status, 1);
        EXPECT_EQ(run.result.err, "File in.elf is not a valid ELF file.\n");
        EXPECT_EQ(run.result.out, "");
        EXPECT_TRUE(run.output_exists) << "the output is created before the input is read";
        EXPECT_EQ(run.output, "");
    }
}

TEST_P(Pipeline, RefusesEveryTypeButExec) {
    for (unsigned type : {0u, 1u, 3u, 4u, 0xff00u, 0xffffu}) {
        SCOPED_TRACE(type);
        Desc d = sample_exec(bits(), big());
        d.type = static_cast<uint16_t>(type);
        TempDir dir;
        ToolRun run = run_symkeep(dir, make_elf(d), {"main"}, "a.o");
        EXPECT_EQ(run.result.status, 1);
        EXPECT_EQ(run.result.err, "ELF file a.o is not a valid executable program with e_type ET_EXEC (2), e_type is " +
                                      std::to_string(type) + ".\n");
        EXPECT_EQ(run.result.out, "");
        EXPECT_EQ(run.output, "");
    }
}

// The maker's own files must be readable by binutils, or the tests above
// would be checking the tool against a private dialect of ELF.
TEST_P(Pipeline, MakerOutputIsAcceptedByReadelf) {
    const std::string readelf = pipeline::find_tool("readelf");
    if (readelf.empty()) GTEST_SKIP() << "readelf is not installed";
    TempDir dir;
    write_file(dir.file("in.elf"), make_elf(sample_exec(bits(), big())));
    Outcome r = run_program({readelf, "-h", "-l", "-S", "-s", "-W", dir.file("in.elf")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("Symbol table '.symtab' contains 9 entries"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" shared_buf"), std::string::npos);
    EXPECT_NE(r.out.find(big() ? "big endian" : "little endian"), std::string::npos);
}

}  // namespace
