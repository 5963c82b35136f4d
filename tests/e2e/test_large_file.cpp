// An input larger than 4 GiB whose symbol and string tables lie beyond
// 4 GiB (a sparse file): it must reduce to exactly the bytes that the same
// executable with its tables near the start reduces to, since no input
// offset of those tables reaches the output.
#include <string>
#include <sys/stat.h>
#include <vector>

#include <gtest/gtest.h>

#include "data/elfmaker.h"
#include "support/harness.h"

namespace em = elfmaker;

namespace {

uint64_t file_size_of(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

em::Desc with_many_symbols() {
    em::Desc d = em::sample_exec(64, false);
    for (int i = 0; i < 5000; ++i)
        d.symbols.push_back({"sym_" + std::to_string(i), 0x401000u + i, 4, em::st_info(em::STB_GLOBAL, em::STT_FUNC),
                             0, 1, {}});
    return d;
}

TEST(LargeFile, TablesBeyondFourGiB) {
    TempDir dir;
    em::Desc near = with_many_symbols();
    write_file(dir.file("near"), em::make_elf(near));

    em::Desc far = with_many_symbols();
    far.sections[4].offset = 0x140000000ull;  // .symtab at 5 GiB
    far.sections[5].offset = 0x180000000ull;  // .strtab at 6 GiB
    if (!em::write_sparse_elf(far, dir.file("far"))) GTEST_SKIP() << "the file system refused a 6 GiB sparse file";
    ASSERT_GT(file_size_of(dir.file("far")), 0x180000000ull);

    std::vector<std::string> keep = {"-keep", "main", "-keep", "sym_4999", "-keep", "count"};
    auto run = [&](const std::string& in) {
        std::vector<std::string> argv = {SYMKEEP_BIN};
        argv.insert(argv.end(), keep.begin(), keep.end());
        argv.insert(argv.end(), {"-o", in + ".out", in});
        return run_program(argv, {}, dir.path());
    };
    Outcome a = run("near");
    Outcome b = run("far");
    ASSERT_EQ(a.status, 0) << a.err;
    ASSERT_EQ(b.status, 0) << b.err;
    std::string out_near = read_file(dir.file("near.out"));
    std::string out_far = read_file(dir.file("far.out"));
    EXPECT_EQ(out_far, out_near);

    em::Parsed p;
    std::string error;
    ASSERT_TRUE(em::parse_elf(out_far, p, error)) << error;
    std::vector<em::Sym> syms;
    ASSERT_TRUE(em::read_symbols(p, *p.find_section(".symtab"), syms, error)) << error;
    ASSERT_EQ(syms.size(), 4u);  // count (local), main, count (global), sym_4999
    EXPECT_EQ(syms[3].value, 0x401000u + 4999);
}

}  // namespace
