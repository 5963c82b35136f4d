// The real tool on ELF files: where it puts everything (offsets a person
// worked out, in every class and byte order), what it keeps, what it
// refuses, inputs beyond 4 GiB, and the executables the cross compilers make,
// which readelf and eu-readelf must read back listing exactly the kept names.
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

struct Form {
    int bits;
    bool big;
};
const Form kForms[] = {{32, false}, {32, true}, {64, false}, {64, true}};

#ifndef _WIN32
// The names readelf and eu-readelf list in '.symtab' of `path`; both must
// read the file without an error.
void expect_readers_list(const std::string& path, const std::vector<std::string>& names) {
    const std::vector<std::vector<std::string>> readers = {{"readelf", "-W", "-h", "-l", "-S", "-s"},
                                                           {"eu-readelf", "-h", "-l", "-S", "--symbols=.symtab"}};
    for (std::vector<std::string> argv : readers) {
        argv.push_back(path);
        Outcome o = run_program(argv, {"LC_ALL=C"});
        ASSERT_EQ(o.status, 0) << argv[0] << ": " << o.err;
        EXPECT_EQ(o.err.find("rror"), std::string::npos) << argv[0] << ": " << o.err;
        std::vector<std::string> listed;
        std::istringstream lines(o.out);
        bool in_symtab = false;
        for (std::string line; std::getline(lines, line);) {
            if (line.find("Symbol table") != std::string::npos) in_symtab = line.find(".symtab") != std::string::npos;
            std::istringstream cols(line);
            std::string num, col, name;
            if (!in_symtab || !(cols >> num) || !std::isdigit(static_cast<unsigned char>(num[0])) || num.back() != ':') continue;
            for (int i = 0; i < 6; ++i) cols >> col;
            cols >> name;
            listed.push_back(col == "SECTION" ? "" : name);  // readers name section symbols after their section
        }
        EXPECT_EQ(listed, names) << argv[0] << " on " << path;
    }
}
#endif

// Runs the tool on `input` keeping `keep`; checks a clean run whose output
// carries the input's headers but for offsets and sizes, keeps exactly the
// input's symbols `kept` (every field but st_name) and holds `strtab`.
std::string reduce(const std::string& input, const std::vector<std::string>& keep, const std::vector<int>& kept,
                   const std::string& strtab) {
    TempDir dir;
    write_file(dir.file("in.elf"), input);
    std::vector<std::string> args = {"-o", "out.elf", "in.elf"};
    for (const std::string& k : keep) args.insert(args.begin(), {"-keep", k});
    Run run = symkeep(dir, args);
    EXPECT_EQ(run.r.status, 0) << run.r.err;
    EXPECT_EQ(run.r.err + run.r.out, "");
    const ElfPeek in{input}, out{run.output};
    EXPECT_EQ(headers_but_offsets(run.output), headers_but_offsets(input));
    const unsigned in_sym = in.section(".symtab"), out_sym = out.section(".symtab");
    const std::string in_names = in.data(in.section(".strtab")), out_names = out.data(out.section(".strtab"));
    EXPECT_EQ(out_names, strtab);
    const std::string syms = out_sym < out.shnum() ? out.data(out_sym) : "";
    const size_t size = in.wide() ? 24 : 16;
    EXPECT_EQ(syms.size(), kept.size() * size);
    std::vector<std::string> names;
    for (size_t k = 0; k < kept.size() && syms.size() == kept.size() * size; ++k) {
        const std::string want = in.data(in_sym).substr(kept[k] * size, size);
        EXPECT_EQ(syms.substr(k * size + 4, size - 4), want.substr(4)) << "kept symbol " << k;
        const uint64_t at = out.at(out.sh_offset(out_sym) + k * size, 4), was = in.at(in.sh_offset(in_sym) + kept[k] * size, 4);
        names.push_back(at < out_names.size() ? out_names.c_str() + at : "?");
        EXPECT_EQ(names.back(), was < in_names.size() ? in_names.c_str() + was : "?") << "kept symbol " << k;
    }
#ifndef _WIN32  // wine runs no Linux program
    if (out_sym < out.shnum()) expect_readers_list(dir.file("out.elf"), names);
#endif
    return run.output;
}

em::Symbol sym(const std::string& name, uint64_t value, uint8_t info = em::st_info(em::STB_GLOBAL, em::STT_FUNC)) {
    return {name, value, 4, info, 0, 1, {}};
}

// The design's worked ELF32 example: program headers at 52, .text right
// after them, .shstrtab of 0x2c bytes.
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

struct LayoutRow {
    const char* name;
    std::function<void(Desc&)> shape;
    std::vector<std::string> keep;
    std::vector<int> kept;  // indices of the input's symbols the output holds
    std::string strtab;
    std::string at32, at64;  // layout()
};

// sample_exec: [0] null, [1] .text at 0x1000, [2] .data at 0x2000, [3] .bss,
// [4] .symtab, [5] .strtab, [6] .shstrtab (0x2c bytes); symbols null,
// section, prog.c, count (local), main, count (global), exit, limit (ABS),
// shared_buf (COMMON).
TEST(Elf, Layouts) {
    const std::string one = " 1000+0 1000+20 1000+8 1000+40 ";
    std::vector<int> hundred = {3, 5};  // and a copy of "count" for each
    std::string copies = std::string("count\0count\0", 12);
    for (int i = 9; i < 109; ++i) hundred.push_back(i), copies += std::string("count\0", 6);
    const LayoutRow rows[] = {
        {"one kept", nullptr, {"main"}, {4}, std::string("main\0", 5),
         "1041 |" + one + "1000+10 1010+5 1015+2c | 1000+0 1000+0 | 1159",
         "1049 |" + one + "1000+18 1018+5 101d+2c | 1000+0 1000+0 | 1209"},
        {"none kept: empty tables at offset 0", nullptr, {"absent", "mai", "main "}, {}, "",
         "102c |" + one + "0+0 0+0 1000+2c | 1000+0 1000+0 | 1144",
         "102c |" + one + "0+0 0+0 1000+2c | 1000+0 1000+0 | 11ec"},
        {"input order, a name once per symbol", nullptr, {"shared_buf", "count", "", "exit", "count"},
         {0, 1, 3, 5, 6, 8}, std::string("\0\0count\0count\0exit\0shared_buf\0", 30),
         "10aa |" + one + "1000+60 1060+1e 107e+2c | 1000+0 1000+0 | 11c2",
         "10da |" + one + "1000+90 1090+1e 10ae+2c | 1000+0 1000+0 | 129a"},
        {"wide values and reserved indices",
         [](Desc& d) { d.symbols.push_back({"wide", ~0ull - 1, ~0ull >> 1, 0x21, 3, 2, {}}); },
         {"wide", "limit", "prog.c"}, {2, 7, 9}, std::string("prog.c\0limit\0wide\0", 18),
         "106e |" + one + "1000+30 1030+12 1042+2c | 1000+0 1000+0 | 1186",
         "1086 |" + one + "1000+48 1048+12 105a+2c | 1000+0 1000+0 | 1246"},
        {"a hundred symbols sharing one stored name",
         [](Desc& d) { d.symbols.insert(d.symbols.end(), 100, sym("count", 0x402000)); }, {"count"}, hundred,
         copies, "18f0 |" + one + "1000+660 1660+264 18c4+2c | 1000+0 1000+0 | 1a08",
         "1c20 |" + one + "1000+990 1990+264 1bf4+2c | 1000+0 1000+0 | 1de0"},
        {"symbol table aligned to 2 MiB", [](Desc& d) { d.sections[4].addralign = 0x200000; }, {"main"}, {4},
         std::string("main\0", 5), "200041 |" + one + "200000+10 200010+5 200015+2c | 1000+0 1000+0 | 200159",
         "200049 |" + one + "200000+18 200018+5 20001d+2c | 1000+0 1000+0 | 200209"},
        {"design example", compact, {"main"}, {1}, std::string("main\0", 5),
         "b5 | 74+0 74+10 74+8 74+10 84+5 89+2c | 74+0 74+0 | 1a5",
         "f9 | b0+0 b0+10 b0+8 b0+18 c8+5 cd+2c | b0+0 b0+0 | 279"},
        {"no program headers", [](Desc& d) { d.phdrs.clear(); }, {"main"}, {4}, std::string("main\0", 5),
         "1041 |" + one + "1000+10 1010+5 1015+2c | | 1159", "1049 |" + one + "1000+18 1018+5 101d+2c | | 1209"},
        {"a program header at address 0 matches section 0",
         [](Desc& d) {
             d.phdrs.insert(d.phdrs.begin() + 1, em::load_segment(0, 0x40, 0, 0));
             d.phdrs[0].offset = 0x800;
         },
         {"main"}, {4}, std::string("main\0", 5), "1041 |" + one + "1000+10 1010+5 1015+2c | 800+0 1000+0 1000+0 | 1159",
         "1049 |" + one + "1000+18 1018+5 101d+2c | 800+0 1000+0 1000+0 | 1209"},
        {"only .dynsym: left as it is",
         [](Desc& d) {
             d.sections = {em::null_section(), d.sections[1], em::symtab_section(".dynsym", em::SHT_DYNSYM),
                           em::strtab_section(".dynstr"), em::shstrtab_section()};
         },
         {"main"}, {}, "", "1021 | 1000+0 1000+20 1000+90 1000+29 1000+21 | 1000+0 2000+0 | 10e9",
         "1021 | 1000+0 1000+20 1000+d8 1000+29 1000+21 | 1000+0 2000+0 | 1161"},
        {"no section table", [](Desc& d) { d.no_section_table = true, d.sections.clear(); }, {"main"}, {}, "",
         "0 | | 1000+0 2000+0 | 74", "0 | | 1000+0 2000+0 | b0"},
    };
    for (const LayoutRow& row : rows)
        for (const Form& f : kForms) {
            SCOPED_TRACE(std::string(row.name) + (f.bits == 32 ? ", ELF32" : ", ELF64") + (f.big ? " BE" : " LE"));
            Desc d = em::sample_exec(f.bits, f.big);
            if (row.shape) row.shape(d);
            EXPECT_EQ(layout(reduce(em::make_elf(d), row.keep, row.kept, row.strtab)), f.bits == 32 ? row.at32 : row.at64);
        }
}

}  // namespace
