// Malformed inputs the pipeline refuses: layouts the writer will not write
// (broken or overlapping files), and size fields that claim more than the
// file holds.  Each gets its one fatal message and status 1, and the output
// is left as it was created, empty; the odd layouts the writer can write are
// written.
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "data/elfmaker.h"
#include "pipeline_support.h"

namespace em = elfmaker;

namespace {

// The writer's answers to odd layouts: a refusal with its message, or an
// output whose section 7 holds the given bytes.
struct Layout {
    const char* what;
    void (*shape)(em::Desc&);
    std::string err;    // empty: the run completes
    std::string data7;  // then: section 7's bytes in the output
};

em::Section typed(em::Section s, uint32_t type, uint64_t entsize) {
    s.type = type;
    s.entsize = entsize;
    return s;
}

TEST(Refusals, EachLayoutHasItsAnswer) {
    const Layout cases[] = {
        {"program header table inside the section data", [](em::Desc& d) { d.phoff = 0x1010; },
         "symkeep: fatal: write_image: the program header table (0x1010-0x1080) would overlap the section data "
         "(0x1000-0x1049)\n", ""},
        // A second .strtab is written from the rebuilt table, whose buffer
        // holds as many bytes as the input's table (0x29): its names, then
        // zeros.
        {"a second .strtab no larger than the input's string table",
         [](em::Desc& d) { d.sections.push_back(em::progbits(".strtab", 0, std::string(0x29, 'x'), 0)); }, "",
         std::string("main\0", 5) + std::string(0x24, '\0')},
        {"a second .strtab larger than the input's string table",
         [](em::Desc& d) { d.sections.push_back(em::progbits(".strtab", 0, std::string(0x2a, 'x'), 0)); },
         "symkeep: fatal: write_image: section 7 (.strtab) needs 0x2a bytes of data but the image holds 0x29\n", ""},
        {"a relocation table without an entry size",
         [](em::Desc& d) { d.sections.push_back(typed(em::progbits(".strtab", 0, std::string(16, 'r'), 0), em::SHT_REL, 0)); },
         "symkeep: fatal: genelf_writesection: section of type 9 has sh_entsize 0\n", ""},
        {"an empty relocation table without an entry size",
         [](em::Desc& d) { d.sections.push_back(typed(em::progbits(".strtab", 0, "", 0), em::SHT_REL, 0)); }, "", ""},
    };
    for (const Layout& c : cases) {
        em::Desc d = em::sample_exec(64, false);
        c.shape(d);
        TempDir dir;
        pipeline::ToolRun run = pipeline::run_symkeep(dir, em::make_elf(d), {"main"});
        EXPECT_EQ(run.result.status, c.err.empty() ? 0 : 1) << c.what;
        EXPECT_EQ(run.result.err, c.err) << c.what;
        EXPECT_TRUE(run.output_exists) << c.what;
        if (!c.err.empty()) {
            EXPECT_EQ(run.output, "") << c.what;
            continue;
        }
        em::Parsed p;
        std::string error;
        if (em::parse_elf(run.output, p, error) && p.shdrs.size() > 7)
            EXPECT_EQ(p.section_data(7), c.data7) << c.what;
        else
            ADD_FAILURE() << c.what << ": " << error;
    }
}

TEST(Refusals, DataBeyondTwoGiB) {
    // The first section's data lies at 2 GiB, so the output's data would
    // start there: beyond what the writer's 32-bit positioning reaches.
    em::Desc d = em::sample_exec(64, false);
    d.sections[1].offset = 0x80000000ull;
    d.phdrs[0].offset = 0x80000000ull;
    TempDir dir;
    if (!em::write_sparse_elf(d, dir.file("in.elf"))) GTEST_SKIP() << "the file system refused a 2 GiB sparse file";
    Outcome r = run_program({SYMKEEP_BIN, "-keep", "main", "-o", "out.elf", "in.elf"}, {}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "symkeep: fatal: write_image: section data at output offset 0x80000000 is beyond the 2 GiB this "
              "writer can position to\n");
    EXPECT_EQ(read_file(dir.file("out.elf")), "");
}

TEST(Refusals, LargeInputUnderAnAddressSpaceLimit) {
#ifdef _WIN32
    GTEST_SKIP() << "limits the address space with /bin/sh's ulimit -v";
#endif
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves terabytes of address space";
#endif
    if (std::getenv("SYMKEEP_TEST_WRAPPER") != nullptr) GTEST_SKIP() << "a checker needs more address space";
    // A 32 MB input under a 32 MiB address-space limit: the tables are read
    // through windows and only what is kept is held, so it fits.
    em::Desc d = em::sample_exec(64, false);
    for (int i = 0; i < 400000; ++i)
        d.symbols.push_back({"a_long_enough_symbol_name_for_the_string_table_" + std::to_string(i), 0x401000, 4,
                             em::st_info(em::STB_GLOBAL, em::STT_FUNC), 0, 1, {}});
    TempDir dir;
    write_file(dir.file("in.elf"), em::make_elf(d));
    Outcome r = run_program({"/bin/sh", "-c",
                                 std::string("ulimit -v 32768 && exec ") + SYMKEEP_BIN +
                                     " -keep main -keep a_long_enough_symbol_name_for_the_string_table_399999 "
                                     "-o out.elf in.elf"},
                                {}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    em::Parsed p;
    std::string error;
    ASSERT_TRUE(em::parse_elf(read_file(dir.file("out.elf")), p, error)) << error;
    std::vector<em::Sym> syms;
    ASSERT_TRUE(em::read_symbols(p, *p.find_section(".symtab"), syms, error)) << error;
    EXPECT_EQ(syms.size(), 2u);
}

TEST(Refusals, SymbolCountFarBeyondTheFile) {
    // sh_size claims four billion symbols in a file of a few kilobytes.  The
    // walk refuses the first entry that makes no sense (here the bytes after
    // the real table, whose name offset is outside the string table; past
    // the end of the file, an entry reads as SHN_XINDEX), and nothing
    // reserves memory for the claim: no out-of-memory ending.
    em::Desc d = em::sample_exec(64, false);
    d.sections[4].size = 0xFFFFFFFFull * 24;
    TempDir dir;
    pipeline::ToolRun run = pipeline::run_symkeep(dir, em::make_elf(d), {"main"});
    EXPECT_EQ(run.result.status, 1);
    EXPECT_EQ(run.result.err.rfind("symkeep: fatal: symbol 9: st_name 0x", 0), 0u) << run.result.err;
    EXPECT_EQ(run.output, "");
}

}  // namespace
