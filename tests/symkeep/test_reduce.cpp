// The keep-list set, and the reduction's refusals on files made by the
// test-data maker, run in-process the way the tool's driver runs them (load,
// copy, reduce, write).  What is kept and where it goes is pinned through the
// real tool (tests/e2e/test_elf.cpp).
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

// A run of the tool's steps on `d` keeping `keep`: what a user would see.
Outcome reduce(const em::Desc& d, const std::vector<const char*>& keep) {
    const std::string input = em::make_elf(d);
    keep_only(keep);
    StrtabSize = 0;
    return trap([&] {
        gen_init("/opt/tools/symkeep", 0, 0);
        errno = 0;
        FILE* in = stream_of(input);
        FILE* out = std::tmpfile();
        ElfImage loaded = {}, working = {};
        if (load_executable(&loaded, in, "in.elf") != 1) return;
        copy_image(&loaded, &working);
        reduce_symbols(&working);
        write_image(&working, out, "out.elf");
        std::fclose(in), std::fclose(out);
    });
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
        const Outcome run = reduce(d, {"main"});
        EXPECT_EQ(run.status, 1) << r.name;
        EXPECT_EQ(run.err, r.err) << r.name;
    }
}

}  // namespace
