// The real tool on ELF files: where it puts everything (hand-worked offsets in every class and byte order),
// what it keeps and refuses, inputs beyond 4 GiB, and the cross compilers' executables.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "e2e/e2e.h"

namespace {

using em::Desc;

// A clean run keeping `keep`: the output has the input's headers but for offsets and sizes, the string
// table `strtab` with one symbol per name, the input's symbols `kept` but for st_name, and readelf and
// eu-readelf list exactly those names.
std::string reduce(const std::string& input, const std::vector<std::string>& keep, const std::string& strtab,
                   const std::vector<int>& kept = {}) {
    TempDir dir;
    write_file(dir.file("in.elf"), input);
    std::vector<std::string> args = {"-o", "out.elf", "in.elf"}, names;
    for (const std::string& k : keep) args.insert(args.begin(), {"-keep", k});
    for (size_t at = 0; at < strtab.size(); at += names.back().size() + 1) names.push_back(strtab.c_str() + at);
    ToolRun run = symkeep(dir, args);
    EXPECT_EQ(run.r.status, 0) << run.r.err;
    EXPECT_EQ(run.r.err + run.r.out, "");
    EXPECT_EQ(headers_but_offsets(run.output), headers_but_offsets(input));
    const ElfPeek in{input}, out{run.output};
    const size_t size = in.wide() ? 24 : 16;
    const std::string syms = out.data(out.section(".symtab")), in_syms = in.data(in.section(".symtab"));
    EXPECT_EQ(out.data(out.section(".strtab")), strtab);
    EXPECT_EQ(syms.size(), names.size() * size);
    for (size_t k = 0; k < kept.size() && syms.size() == kept.size() * size; ++k)
        EXPECT_EQ(syms.substr(k * size + 4, size - 4), in_syms.substr(kept[k] * size + 4, size - 4)) << "symbol " << k;
#ifndef _WIN32  // wine runs no Linux program
    if (out.section(".symtab") == out.shnum()) return run.output;
    for (std::vector<std::string> argv : std::vector<std::vector<std::string>>{
             {"readelf", "-W", "-h", "-l", "-S", "-s"}, {"eu-readelf", "-h", "-l", "-S", "--symbols=.symtab"}}) {
        argv.push_back(dir.file("out.elf"));
        Outcome o = run_program(argv, {"LC_ALL=C"});
        EXPECT_EQ(o.status, 0) << argv[0];
        EXPECT_EQ(o.err.find("rror"), std::string::npos) << argv[0] << ": " << o.err;
        std::vector<std::string> listed;  // the last column of the rows "N: value size type bind vis ndx name"
        std::istringstream lines(o.out);
        for (std::string line, num, col, name; std::getline(lines, line); name.clear()) {
            std::istringstream c(line);
            if (c >> num >> col >> col >> col >> col >> col >> col && num.back() == ':' && std::isdigit(num[0] & 255))
                listed.push_back(c >> name && col != "SECTION" ? name : "");  // a section symbol: its section's name
        }
        EXPECT_EQ(listed, names) << argv[0];
    }
#endif
    return run.output;
}

em::Symbol sym(const std::string& name, uint64_t value, uint8_t info = em::st_info(em::STB_GLOBAL, em::STT_FUNC)) {
    return {name, value, 4, info, 0, 1, {}};
}

// The design's worked ELF32 example: program headers at 52, .text right after them.
void compact(Desc& d) {
    em::Section symtab = em::symtab_section(), names = em::shstrtab_section();
    symtab.addralign = 4;
    names.data = std::string(5, '\0');
    const uint64_t text = d.bits == 32 ? 0x74 : 0xb0;
    d.sections = {em::null_section(), em::progbits(".text", 0x8000, std::string(16, '\1')),
                  em::progbits(".data", 0x9000, std::string(8, '\2')), symtab, em::strtab_section(), names};
    d.phdrs = {em::load_segment(0x8000, text, 16, 16), em::load_segment(0x9000, text + 16, 8, 8)};
    d.symbols = {sym("", 0, 0), sym("main", 0x8000), sym("exit", 0x8008)};
}

// sample_exec: null, .text at 0x1000, .data at 0x2000, .bss, .symtab, .strtab, .shstrtab (0x2c bytes); symbols
// null, section, prog.c, count (local), main, count (global), exit, limit (ABS), shared_buf (COMMON).
TEST(Elf, Layouts) {
    const std::string one = " 1000+0 1000+20 1000+8 1000+40 ", main = std::string("main\0", 5);
    std::vector<int> hundred = {3, 5};  // and a copy of "count" for each
    std::string copies = std::string("count\0count\0", 12);
    for (int i = 9; i < 109; ++i) hundred.push_back(i), copies += std::string("count\0", 6);
    const struct {
        const char* name;
        std::function<void(Desc&)> shape;
        std::vector<std::string> keep;
        std::string strtab;
        std::vector<int> kept;  // the input's symbols the output holds
        std::string at32, at64;  // layout()
    } rows[] = {
        {"one kept", nullptr, {"main"}, main, {4}, "1041 |" + one + "1000+10 1010+5 1015+2c | 1000+0 1000+0 | 1159",
         "1049 |" + one + "1000+18 1018+5 101d+2c | 1000+0 1000+0 | 1209"},
        {"none kept: empty tables at offset 0", nullptr, {"absent", "mai", "main "}, "", {},
         "102c |" + one + "0+0 0+0 1000+2c | 1000+0 1000+0 | 1144", "102c |" + one + "0+0 0+0 1000+2c | 1000+0 1000+0 | 11ec"},
        {"input order, a name once per symbol", nullptr, {"shared_buf", "count", "", "exit", "count"},
         std::string("\0\0count\0count\0exit\0shared_buf\0", 30), {0, 1, 3, 5, 6, 8},
         "10aa |" + one + "1000+60 1060+1e 107e+2c | 1000+0 1000+0 | 11c2",
         "10da |" + one + "1000+90 1090+1e 10ae+2c | 1000+0 1000+0 | 129a"},
        {"a hundred symbols sharing one stored name",
         [](Desc& d) { d.symbols.insert(d.symbols.end(), 100, sym("count", 0x402000)); }, {"count"}, copies, hundred,
         "18f0 |" + one + "1000+660 1660+264 18c4+2c | 1000+0 1000+0 | 1a08",
         "1c20 |" + one + "1000+990 1990+264 1bf4+2c | 1000+0 1000+0 | 1de0"},
        {"symbol table aligned to 2 MiB", [](Desc& d) { d.sections[4].addralign = 0x200000; }, {"main"}, main, {4},
         "200041 |" + one + "200000+10 200010+5 200015+2c | 1000+0 1000+0 | 200159",
         "200049 |" + one + "200000+18 200018+5 20001d+2c | 1000+0 1000+0 | 200209"},
        {"design example", compact, {"main"}, main, {1}, "b5 | 74+0 74+10 74+8 74+10 84+5 89+2c | 74+0 74+0 | 1a5",
         "f9 | b0+0 b0+10 b0+8 b0+18 c8+5 cd+2c | b0+0 b0+0 | 279"},
        {"a program header at address 0 matches section 0",
         [](Desc& d) { d.phdrs.insert(d.phdrs.begin() + 1, em::load_segment(0, 0x40, 0, 0)), d.phdrs[0].offset = 0x800; },
         {"main"}, main, {4}, "1041 |" + one + "1000+10 1010+5 1015+2c | 800+0 1000+0 1000+0 | 1159",
         "1049 |" + one + "1000+18 1018+5 101d+2c | 800+0 1000+0 1000+0 | 1209"},
        {"only .dynsym: left as it is",
         [](Desc& d) {
             d.sections = {em::null_section(), d.sections[1], em::symtab_section(".dynsym", em::SHT_DYNSYM),
                           em::strtab_section(".dynstr"), em::shstrtab_section()};
         },
         {"main"}, "", {}, "1021 | 1000+0 1000+20 1000+90 1000+29 1000+21 | 1000+0 2000+0 | 10e9",
         "1021 | 1000+0 1000+20 1000+d8 1000+29 1000+21 | 1000+0 2000+0 | 1161"},
        {"no section table", [](Desc& d) { d.no_section_table = true, d.sections.clear(); }, {"main"}, "", {},
         "0 | | 1000+0 2000+0 | 74", "0 | | 1000+0 2000+0 | b0"},
    };
    for (const auto& row : rows)
        for (int form = 0; form < 4; ++form) {  // ELF32 LE, ELF32 BE, ELF64 LE, ELF64 BE
            SCOPED_TRACE(row.name + std::string(" in form ") + std::to_string(form));
            Desc d = em::sample_exec(form < 2 ? 32 : 64, form % 2);
            if (row.shape) row.shape(d);
            EXPECT_EQ(layout(reduce(em::make_elf(d), row.keep, row.strtab, row.kept)), form < 2 ? row.at32 : row.at64);
        }
}

// Inputs refused with one message, status 1 and an empty output; and odd ones written.
struct RefusalRow {
    const char* name;
    std::function<void(Desc&)> shape;
    std::string err, data7 = "";  // err "" when the run completes; then section 7's data in the output
    std::function<std::string(std::string)> bytes = nullptr;
};

// `bytes` with the section header field at `field` (ELF64 little-endian) set to `value`.
std::string patch(std::string bytes, unsigned section, int field, uint64_t value) {
    const uint64_t at = ElfPeek{bytes}.sh(section) + field;
    for (int i = 0; i < 8; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
    return bytes;
}

TEST(Elf, Refusals) {
    const std::string not_elf = "File in.elf is not a valid ELF file.\n", fatal = "symkeep: fatal: ";
    const std::string writer = fatal + "write_image: ";
    auto strtab = [](size_t n) {
        return [n](Desc& d) { d.sections.push_back(em::progbits(".strtab", 0, std::string(n, 'x'), 0)); };
    };
    const RefusalRow rows[] = {
        {"short magic", nullptr, not_elf, "", [](std::string) { return std::string("\x7f" "EL"); }},
        {"other magic", nullptr, not_elf, "", [](std::string b) { return b.replace(3, 1, "G"); }},
        {"program header table inside the section data", [](Desc& d) { d.phoff = 0x1010; },
         writer + "the program header table (0x1010-0x1080) would overlap the section data (0x1000-0x1049)\n"},
        // A second .strtab is written from the rebuilt table, which holds as many bytes as the input's.
        {"a second .strtab no larger than the input's", strtab(0x29), "", std::string("main\0", 5) + std::string(0x24, '\0')},
        {"a second .strtab larger than the input's", strtab(0x2a),
         writer + "section 7 (.strtab) needs 0x2a bytes of data but the image holds 0x29\n"},
        {"relocations without an entry size", [](Desc& d) { d.sections[5].type = em::SHT_REL; },
         fatal + "genelf_writesection: section of type 9 has sh_entsize 0\n"},
        // Nothing reserves memory for the claim: the walk refuses the first entry that makes no sense.
        {"four billion symbols claimed", [](Desc& d) { d.sections[4].size = 0xFFFFFFFFull * 24; },
         fatal + "symbol 9: st_name 0x6f727000 is outside the symbol string table (41 bytes)\n"},
        {"data beyond the 2 GiB the writer can position to", nullptr,
         writer + "section data at output offset 0x80000000 is beyond the 2 GiB this writer can position to\n", "",
         [](std::string b) { return patch(b, 1, 24, 0x80000000); }},
    };
    for (const RefusalRow& row : rows) {
        SCOPED_TRACE(row.name);
        Desc d = em::sample_exec(64, false);
        if (row.shape) row.shape(d);
        TempDir dir;
        write_file(dir.file("in.elf"), row.bytes ? row.bytes(em::make_elf(d)) : em::make_elf(d));
        ToolRun run = symkeep(dir, {"-keep", "main", "-o", "out.elf", "in.elf"});
        EXPECT_EQ(run.r.status, row.err.empty() ? 0 : 1);
        EXPECT_EQ(run.r.err, row.err);
        EXPECT_TRUE(file_exists(dir.file("out.elf"))) << "the output is created before the input is read";
        EXPECT_EQ(row.err.empty() ? ElfPeek{run.output}.data(7) : run.output, row.data7);
    }
}

// Built once into the build tree (under wine: taken from the Linux build's).
std::string real_executable(const std::string& id, [[maybe_unused]] const std::string& cc,
                            [[maybe_unused]] const std::vector<std::string>& flags) {
#ifdef _WIN32
    const char* from = std::getenv("SYMKEEP_PROGS_FROM");
    const std::string cached = std::string(from ? from : "") + "/" + id;
    return file_exists(cached) ? cached : "";
#else
    const std::string src = std::string(SYMKEEP_SOURCE_DIR) + "/tests/data/progs/";
    const std::string dir = std::string(SYMKEEP_BINARY_DIR) + "/e2e-progs", exe = dir + "/" + id;
    bool fresh = file_exists(exe);  // newer than its sources
    for (const char* s : {"main.c", "counter.c", "util.c", "prog.h"})
        fresh = fresh && std::filesystem::last_write_time(src + s) < std::filesystem::last_write_time(exe);
    std::vector<std::string> argv = {cc, "-O1", "-o", exe + ".tmp", src + "main.c"};
    if (flags[0] != "-c") argv.insert(argv.end(), {src + "counter.c", src + "util.c"});
    argv.insert(argv.end(), flags.begin(), flags.end());
    std::filesystem::create_directories(dir);
    if (!fresh && run_program(argv).status == 0) std::filesystem::rename(exe + ".tmp", exe);
    return file_exists(exe) ? exe : "";
#endif
}

TEST(Elf, RealExecutables) {
    const std::vector<std::string> exec = {"-no-pie", "-fno-pie", "-static"};
    struct { const char *id, *cc; std::vector<std::string> flags; int type; } progs[] = {
        {"x86_64", "gcc", exec, 2}, {"i686", "i686-linux-gnu-gcc", exec, 2}, {"aarch64", "aarch64-linux-gnu-gcc", exec, 2},
        {"armhf", "arm-linux-gnueabihf-gcc", exec, 2}, {"mips", "mips-linux-gnu-gcc", exec, 2},
        {"powerpc", "powerpc-linux-gnu-gcc", exec, 2}, {"s390x", "s390x-linux-gnu-gcc", exec, 2},
        {"x86_64-pie", "gcc", {"-pie", "-fpie"}, 3}, {"x86_64-object", "gcc", {"-c"}, 1}};
    const std::pair<std::vector<std::string>, std::string> keeps[] = {
        {{}, ""}, {{"main"}, std::string("main\0", 5)}, {{"count", "symkeep_no_such_symbol"}, std::string("count\0count\0", 12)}};
    for (const auto& p : progs) {
        SCOPED_TRACE(p.id);
        const std::string exe = real_executable(p.id, p.cc, p.flags);
        ASSERT_NE(exe, "") << "not built (under wine: run make test first)";
        for (const auto& k : keeps)
            if (p.type == 2) reduce(read_file(exe), k.first, k.second);
        if (p.type == 2) continue;
        TempDir dir;
        write_file(dir.file("prog"), read_file(exe));
        ToolRun run = symkeep(dir, {"-keep", "main", "-o", "out.elf", "prog"});
        EXPECT_EQ(run.r.status, 1);
        EXPECT_EQ(run.r.err, "ELF file prog is not a valid executable program with e_type ET_EXEC (2), e_type is " +
                                 std::to_string(p.type) + ".\n");
        EXPECT_EQ(run.output, "");
    }
}

// Tables beyond 4 GiB (a sparse file) give the bytes the same tables near the start give; the tables are
// read through windows and only what is kept is held, so 32 MB fit under a 32 MiB address-space limit.
TEST(Elf, LargeInputs) {
    Desc d = em::sample_exec(64, false);
    const std::string name(48, 'n');
    for (int i = 0; i < 5000; ++i) d.symbols.push_back(sym(name + std::to_string(i), 0x401000 + i));
    const std::string near = em::make_elf(d);
    TempDir dir;
    write_file(dir.file("near"), near);
    {
        std::ofstream far(dir.file("far"), std::ios::binary);
        far << patch(patch(near, 4, 24, 0x140000000), 5, 24, 0x180000000);
        far.seekp(0x140000000) << ElfPeek{near}.data(4);
        far.seekp(0x180000000) << ElfPeek{near}.data(5);
        if (!far.flush()) GTEST_SKIP() << "the file system refused a 6 GiB sparse file";
    }
    for (const std::string in : {"near", "far"}) {
        ToolRun run = symkeep(dir, {"-keep", "main", "-keep", name + "4999", "-keep", "count", "-o", in + ".out", in}, in + ".out");
        EXPECT_EQ(run.r.status, 0) << run.r.err;
        EXPECT_EQ(layout(run.output), "10d2 | 1000+0 1000+20 1000+8 1000+40 1000+60 1060+46 10a6+2c | 1000+0 1000+0 | 1292") << in;
    }
    EXPECT_EQ(read_file(dir.file("far.out")), read_file(dir.file("near.out")));

#ifdef _WIN32
    GTEST_SKIP() << "limits the address space with /bin/sh's ulimit -v";
#endif
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves terabytes of address space";
#endif
    if (std::getenv("SYMKEEP_TEST_WRAPPER") != nullptr) GTEST_SKIP() << "a checker needs more address space";
    for (int i = 5000; i < 400000; ++i) d.symbols.push_back(sym(name + std::to_string(i), 0x401000));
    write_file(dir.file("big"), em::make_elf(d));
    Outcome r = run_program({"/bin/sh", "-c", std::string("ulimit -v 32768 && exec ") + SYMKEEP_BIN + " -keep main -keep " +
                                                  name + "399999 -o big.out big"}, {}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(ElfPeek{read_file(dir.file("big.out"))}.data(5), std::string("main\0", 5) + name + "399999" + '\0');
}

}  // namespace
