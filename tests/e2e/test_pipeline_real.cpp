// End-to-end tests on real executables: the small program in
// tests/data/progs is compiled by the host compiler and by each installed
// cross compiler (both classes, both byte orders), the tool reduces each
// with a set of keep lists, and the result is compared byte for byte with
// the oracle and read back with readelf, eu-readelf and llvm-readelf, which
// must show exactly the kept symbols with the input's attributes and the
// input's section and program headers apart from offsets and p_filesz.
//
// Executables are cached in the build tree under e2e-progs/, keyed by the
// compiler, its flags and the sources, so each is built once, not once per
// test process.  A compiler that is not installed makes its tests skip.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "data/elfmaker.h"
#include "data/elforacle.h"
#include "e2e/pipeline_support.h"

using namespace elfmaker;
using pipeline::compare_bytes;
using pipeline::find_tool;
using pipeline::run_symkeep;
using pipeline::ToolRun;

namespace {

struct Target {
    const char* id;
    const char* compiler;
    std::vector<std::string> flags;
    int bits;
    bool big_endian;
};

const std::vector<Target>& targets() {
    static const std::vector<Target> t = {
        {"x86_64", "gcc", {"-no-pie", "-fno-pie"}, 64, false},
        {"i686", "i686-linux-gnu-gcc", {"-no-pie", "-fno-pie"}, 32, false},
        {"aarch64", "aarch64-linux-gnu-gcc", {"-no-pie", "-fno-pie"}, 64, false},
        {"armhf", "arm-linux-gnueabihf-gcc", {"-no-pie", "-fno-pie"}, 32, false},
        {"mips", "mips-linux-gnu-gcc", {"-no-pie", "-fno-pie"}, 32, true},
        {"powerpc", "powerpc-linux-gnu-gcc", {"-no-pie", "-fno-pie"}, 32, true},
        {"s390x", "s390x-linux-gnu-gcc", {"-no-pie", "-fno-pie"}, 64, true},
    };
    return t;
}

const std::string kProgDir = std::string(SYMKEEP_SOURCE_DIR) + "/tests/data/progs";
const std::string kCacheDir = std::string(SYMKEEP_BINARY_DIR) + "/e2e-progs";

struct Built {
    std::string path;  // empty when not built
    std::string why;   // reason for a skip
};

// Compiles `sources` with `flags` into the cache, unless an executable made
// from the same compiler, flags and sources is already there.
Built build_cached(const std::string& id, const std::string& compiler, const std::vector<std::string>& flags,
                   const std::vector<std::string>& sources) {
    static std::map<std::string, Built> done;
    auto it = done.find(id);
    if (it != done.end()) return it->second;
    Built b;
#ifdef _WIN32
    // No compilers under wine: the programs the Linux build's run made (make
    // test-windows points SYMKEEP_PROGS_FROM at its cache).
    const char* from = std::getenv("SYMKEEP_PROGS_FROM");
    const std::string prebuilt = std::string(from != nullptr ? from : "") + "/" + id;
    if (from == nullptr || !file_exists(prebuilt)) {
        b.why = "no " + id + " from a Linux run: run make test first and set SYMKEEP_PROGS_FROM";
        return done[id] = b;
    }
    (void)compiler, (void)flags, (void)sources;
    return done[id] = Built{prebuilt, ""};
#endif
    const std::string cc = find_tool(compiler);
    if (cc.empty()) {
        b.why = compiler + " is not installed";
        return done[id] = b;
    }
    std::string key = cc;
    for (const std::string& f : flags) key += " " + f;
    for (const std::string& s : sources) key += "\n" + s + "\n" + read_file(kProgDir + "/" + s);
    key += read_file(kProgDir + "/prog.h");
    const std::string stamp = std::to_string(std::hash<std::string>{}(key));
    const std::string exe = kCacheDir + "/" + id, key_file = exe + ".key";
    mkdir(kCacheDir.c_str(), 0777);
    if (file_exists(exe) && read_file(key_file) == stamp) return done[id] = Built{exe, ""};

    const std::string tmp = exe + ".tmp" + std::to_string(getpid());
    std::vector<std::string> argv = {cc, "-O1", "-o", tmp};
    argv.insert(argv.end(), flags.begin(), flags.end());
    for (const std::string& s : sources) argv.push_back(kProgDir + "/" + s);
    Outcome r = run_program(argv);
    if (r.status != 0) {
        b.why = compiler + " cannot build the test program: " + r.err;
        return done[id] = b;
    }
    // Rename into place so that concurrent test processes never see half a file.
    std::rename(tmp.c_str(), exe.c_str());
    write_file(key_file + ".tmp" + std::to_string(getpid()), stamp);
    std::rename((key_file + ".tmp" + std::to_string(getpid())).c_str(), key_file.c_str());
    return done[id] = Built{exe, ""};
}

// A static executable where the sysroot has a static C library, else a
// dynamic one; both are ET_EXEC.
Built build_target(const Target& t) {
    std::vector<std::string> flags = t.flags;
    flags.push_back("-static");
    const std::vector<std::string> sources = {"main.c", "counter.c", "util.c"};
    Built b = build_cached(t.id, t.compiler, flags, sources);
    if (b.path.empty() && b.why.find("not installed") == std::string::npos)
        b = build_cached(std::string(t.id) + "-dynamic", t.compiler, t.flags, sources);
    return b;
}

// --- Reading the readers' listings ----------------------------------------------------

std::string squeeze(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == ' ' || c == '\t') {
            if (!out.empty() && out.back() != ' ') out += ' ';
        } else {
            out += c;
        }
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> v;
    std::stringstream ss(text);
    std::string line;
    while (std::getline(ss, line)) v.push_back(line);
    return v;
}

// Rows of the listing of ".symtab", without their index column.
std::vector<std::string> symbol_rows(const std::string& listing) {
    static const std::regex row(R"(^\s*\d+:\s(.*)$)");
    std::vector<std::string> rows;
    bool in_table = false;
    for (const std::string& line : lines_of(listing)) {
        if (line.find("Symbol table") != std::string::npos) {
            in_table = line.find("'.symtab'") != std::string::npos;
            continue;
        }
        std::smatch m;
        if (!in_table || !std::regex_match(line, m, row)) continue;
        std::string r = squeeze(m[1]);
        // readelf names section symbols after their section, but only for
        // some files: the name column of those rows is not the symbol's.
        if (r.find(" SECTION ") != std::string::npos) {
            std::stringstream cols(r);
            std::string col, kept;
            for (int i = 0; i < 6 && cols >> col; ++i) kept += (i ? " " : "") + col;
            r = kept;
        }
        rows.push_back(r);
    }
    return rows;
}

struct SectionRow {
    std::string name_type, addr, off, size, es, rest;
};

std::vector<SectionRow> section_rows(const std::string& listing) {
    static const std::regex row(
        R"(^\s*\[\s*\d+\]\s(.*?)\s+([0-9a-f]{8,16})\s+([0-9a-f]{6,})\s+([0-9a-f]{6,})\s+([0-9a-f]{2,})\s(.*)$)");
    std::vector<SectionRow> rows;
    for (const std::string& line : lines_of(listing)) {
        std::smatch m;
        if (std::regex_match(line, m, row))
            rows.push_back({squeeze(m[1]), m[2], m[3], m[4], m[5], squeeze(m[6])});
    }
    return rows;
}

struct SegmentRow {
    std::string type, off, vaddr, paddr, filesz, memsz, rest;
};

std::vector<SegmentRow> segment_rows(const std::string& listing) {
    static const std::regex row(
        R"(^\s+(\S+)\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(.*)$)");
    std::vector<SegmentRow> rows;
    for (const std::string& line : lines_of(listing)) {
        std::smatch m;
        if (std::regex_match(line, m, row)) rows.push_back({m[1], m[2], m[3], m[4], m[5], m[6], squeeze(m[7])});
    }
    return rows;
}

uint64_t hex(const std::string& s) { return std::stoull(s, nullptr, 16); }

struct Reader {
    const char* name;
    std::vector<std::string> args;
    bool sections;  // its -S layout is the binutils one
};

const std::vector<Reader>& readers() {
    static const std::vector<Reader> r = {
        {"readelf", {"-h", "-l", "-S", "-s", "-W"}, true},
        {"llvm-readelf", {"-h", "-l", "-S", "-s", "-W"}, true},
        {"eu-readelf", {"-h", "-S", "-l", "--symbols=.symtab"}, false},
    };
    return r;
}

Outcome run_reader(const std::string& tool, const Reader& r, const std::string& file) {
    std::vector<std::string> argv = {tool};
    argv.insert(argv.end(), r.args.begin(), r.args.end());
    argv.push_back(file);
    return run_program(argv, {"LC_ALL=C"});
}

// What a reader shows of the output must be what it shows of the input, with
// only the kept symbols, and with offsets and file sizes as the tool set them.
void check_with_reader(const std::string& tool, const Reader& r, const std::string& in_path,
                       const Outcome& in_listing, const std::string& out_path, const Expectation& want,
                       const Parsed& out) {
    SCOPED_TRACE(r.name);
    Outcome o = run_reader(tool, r, out_path);
    ASSERT_EQ(o.status, 0) << o.err;
    // Sections keep sizes that now reach past the end of the file, and an
    // empty string table is unusual: readers warn about both, but must not
    // report errors.
    for (const std::string& line : lines_of(o.err))
        EXPECT_NE(line.find("arning"), std::string::npos) << "not a warning: " << line;

    const std::vector<std::string> in_syms = symbol_rows(in_listing.out), out_syms = symbol_rows(o.out);
    std::vector<std::string> expected_syms;
    for (size_t i : want.kept_index) {
        ASSERT_LT(i, in_syms.size());
        expected_syms.push_back(in_syms[i]);
    }
    EXPECT_EQ(out_syms, expected_syms);

    const std::vector<SegmentRow> in_ph = segment_rows(in_listing.out), out_ph = segment_rows(o.out);
    ASSERT_EQ(in_ph.size(), out.phdrs.size()) << "could not read the program headers of " << in_path;
    ASSERT_EQ(out_ph.size(), in_ph.size());
    for (size_t j = 0; j < out_ph.size(); ++j) {
        SCOPED_TRACE("program header " + std::to_string(j));
        EXPECT_EQ(out_ph[j].type, in_ph[j].type);
        EXPECT_EQ(out_ph[j].vaddr, in_ph[j].vaddr);
        EXPECT_EQ(out_ph[j].paddr, in_ph[j].paddr);
        EXPECT_EQ(out_ph[j].memsz, in_ph[j].memsz);
        EXPECT_EQ(out_ph[j].rest, in_ph[j].rest);  // flags and alignment
        EXPECT_EQ(hex(out_ph[j].filesz), 0u);
        EXPECT_EQ(hex(out_ph[j].off), out.phdrs[j].offset);
    }
    if (!r.sections) return;
    const std::vector<SectionRow> in_sh = section_rows(in_listing.out), out_sh = section_rows(o.out);
    ASSERT_EQ(in_sh.size(), out.shdrs.size()) << "could not read the section headers of " << in_path;
    ASSERT_EQ(out_sh.size(), in_sh.size());
    for (size_t i = 0; i < out_sh.size(); ++i) {
        SCOPED_TRACE("section " + out_sh[i].name_type);
        EXPECT_EQ(out_sh[i].name_type, in_sh[i].name_type);
        EXPECT_EQ(out_sh[i].addr, in_sh[i].addr);
        EXPECT_EQ(out_sh[i].rest, in_sh[i].rest);  // flags, link, info, alignment
        EXPECT_EQ(hex(out_sh[i].off), out.shdrs[i].offset);
        const std::string& name = out.section_names[i];
        if (name == ".symtab") {
            EXPECT_EQ(hex(out_sh[i].size), want.kept.size() * sym_size(out.bits));
            EXPECT_EQ(hex(out_sh[i].es), sym_size(out.bits));
        } else if (name == ".strtab") {
            EXPECT_EQ(hex(out_sh[i].size), want.strtab.size());
            EXPECT_EQ(out_sh[i].es, in_sh[i].es);
        } else {
            EXPECT_EQ(out_sh[i].size, in_sh[i].size);
            EXPECT_EQ(out_sh[i].es, in_sh[i].es);
        }
    }
}

struct KeepCase {
    const char* label;
    std::vector<std::string> keep;
};

const std::vector<KeepCase> kKeepCases = {
    {"none", {}},
    {"main", {"main"}},
    {"absent name", {"symkeep_no_such_symbol"}},
    {"empty name", {""}},
    {"local and global", {"count"}},
    {"same name twice", {"main", "main"}},
};

class RealExecutable : public ::testing::TestWithParam<Target> {};

std::string target_name(const ::testing::TestParamInfo<Target>& info) { return info.param.id; }
void PrintTo(const Target& t, std::ostream* os) { *os << t.id; }

INSTANTIATE_TEST_SUITE_P(Compilers, RealExecutable, ::testing::ValuesIn(targets()), target_name);

TEST_P(RealExecutable, KeepsExactlyTheNamedSymbols) {
    const Target& t = GetParam();
    Built b = build_target(t);
    if (b.path.empty()) GTEST_SKIP() << b.why;
    const std::string input = read_file(b.path);
    Parsed in;
    std::string err;
    ASSERT_TRUE(parse_elf(input, in, err)) << err;
    ASSERT_EQ(in.bits, t.bits);
    ASSERT_EQ(in.big_endian, t.big_endian);
    ASSERT_EQ(in.ehdr.type, ET_EXEC);
    std::optional<size_t> symtab = in.find_section(".symtab");
    ASSERT_TRUE(symtab);
    std::vector<Sym> in_syms;
    ASSERT_TRUE(read_symbols(in, *symtab, in_syms, err)) << err;
    const std::string in_strings = in.section_data(in.shdrs[*symtab].link);
    size_t empty_names = 0;
    for (const Sym& y : in_syms) empty_names += string_at(in_strings, y.name).value_or("?").empty();

    // Each reader lists the input once; its rows are the reference.
    struct Listing {
        const Reader* reader;
        std::string tool;
        Outcome input;
    };
    std::vector<Listing> listings;
    for (const Reader& r : readers()) {
        std::string tool = find_tool(r.name);
        if (tool.empty()) continue;
        listings.push_back({&r, tool, run_reader(tool, r, b.path)});
        ASSERT_EQ(listings.back().input.status, 0) << r.name << " cannot read " << b.path;
    }
#ifndef _WIN32  // wine starts no Linux program: there the oracle's bytes are the check
    ASSERT_FALSE(listings.empty()) << "none of readelf, llvm-readelf, eu-readelf is installed";
#endif

    for (const KeepCase& c : kKeepCases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        ToolRun run = run_symkeep(dir, input, c.keep);
        ASSERT_EQ(run.result.status, 0) << run.result.err;
        EXPECT_EQ(run.result.err, "");
        EXPECT_EQ(run.result.out, "");
        Expectation want = expected_output(input, c.keep);
        ASSERT_TRUE(want.ok) << want.reason;
        EXPECT_EQ(compare_bytes(want.bytes, run.output), "");

        Parsed out;
        ASSERT_TRUE(parse_elf(run.output, out, err)) << err;
        EXPECT_EQ(out.bits, t.bits);
        EXPECT_EQ(out.big_endian, t.big_endian);
        std::vector<Sym> out_syms;
        ASSERT_TRUE(read_symbols(out, *out.find_section(".symtab"), out_syms, err)) << err;
        const std::string out_strings = out.section_data(*out.find_section(".strtab"));
        std::vector<std::string> names;
        for (const Sym& y : out_syms) names.push_back(string_at(out_strings, y.name).value_or("<bad st_name>"));
        if (c.keep.empty() || c.keep[0] == "symkeep_no_such_symbol") {
            EXPECT_TRUE(names.empty());
        } else if (c.keep[0] == "main") {
            EXPECT_EQ(names, std::vector<std::string>{"main"});
        } else if (c.keep[0] == "count") {
            ASSERT_EQ(names, (std::vector<std::string>{"count", "count"}));
            EXPECT_EQ(out_syms[0].info >> 4, STB_LOCAL);
            EXPECT_EQ(out_syms[1].info >> 4, STB_GLOBAL);
            EXPECT_EQ(out.shdrs[*out.find_section(".symtab")].info, in.shdrs[*symtab].info);
        } else {
            EXPECT_EQ(names.size(), empty_names);
            ASSERT_FALSE(out_syms.empty());
            EXPECT_TRUE(out_syms[0] == in_syms[0]) << "the null symbol comes first";
            EXPECT_EQ(out_strings, std::string(empty_names, '\0'));
        }

        const std::string out_path = dir.file("out.elf");
        for (const Listing& l : listings)
            check_with_reader(l.tool, *l.reader, b.path, l.input, out_path, want, out);
    }
}

// Compiled but not executables: the tool names the type and stops.
TEST(RealRefusals, PositionIndependentExecutableAndObject) {
    struct Case {
        const char* id;
        std::vector<std::string> flags;
        std::vector<std::string> sources;
        int type;
    };
    const std::vector<Case> cases = {
        {"x86_64-pie", {"-pie", "-fpie"}, {"main.c", "counter.c", "util.c"}, 3},
        {"x86_64-object", {"-c"}, {"main.c"}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        Built b = build_cached(c.id, "gcc", c.flags, c.sources);
        if (b.path.empty()) GTEST_SKIP() << b.why;
        TempDir dir;
        ToolRun run = run_symkeep(dir, read_file(b.path), {"main"}, "prog");
        EXPECT_EQ(run.result.status, 1);
        EXPECT_EQ(run.result.err, "ELF file prog is not a valid executable program with e_type ET_EXEC (2), e_type is " +
                                      std::to_string(c.type) + ".\n");
        EXPECT_EQ(run.result.out, "");
        EXPECT_EQ(run.output, "");
    }
}

}  // namespace
