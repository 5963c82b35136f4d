// The keep-list test, and the reduction's cases that files cannot show
// easily, on images built in memory.  What is kept, in which order, with
// which names and sizes, is checked end to end in every class and byte
// order against the oracle (tests/e2e/test_pipeline_synthetic.cpp).
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "genelf/genelf.h"
#include "shared/genmem.h"
#include "support/child.h"
#include "symkeep/symkeep.h"

namespace {

// An image with sections [0] null, [1] .text, [2] .symtab, [3] .strtab,
// [4] .shstrtab and the given symbols; names are stored once each.
struct ImageBuilder {
    std::string shstrtab = std::string("\0.text\0.symtab\0.strtab\0.shstrtab\0", 34);
    std::string strtab = std::string(1, '\0');
    std::vector<Elf64_Sym> syms;
    std::vector<Elf64_Shdr> shdrs;
    std::vector<Elf64_Phdr> phdrs;

    uint32_t name(const std::string& n) {
        if (n.empty()) return 0;
        size_t at = strtab.find(n + '\0');
        if (at != std::string::npos && (at == 0 || strtab[at - 1] == '\0')) return static_cast<uint32_t>(at);
        strtab += n + '\0';
        return static_cast<uint32_t>(strtab.size() - n.size() - 1);
    }
    void sym(const std::string& n, uint64_t value, uint8_t info = 0x12, uint16_t shndx = 1) {
        Elf64_Sym s = {};
        s.st_name = name(n);
        s.st_value = value;
        s.st_size = 8;
        s.st_info = info;
        s.st_shndx = shndx;
        syms.push_back(s);
    }
    ElfImage build() {
        ElfImage img = {};
        shdrs.assign(5, Elf64_Shdr{});
        shdrs[1].sh_name = 1;
        shdrs[2] = {7, SHT_SYMTAB, 0, 0, 0, syms.size() * 24, 3, 2, 8, 24};
        shdrs[3] = {15, SHT_STRTAB, 0, 0, 0, strtab.size(), 0, 0, 1, 0};
        shdrs[4] = {23, SHT_STRTAB, 0, 0, 0, shstrtab.size(), 0, 0, 1, 0};
        img.ehdr.e_shnum = 5;
        img.ehdr.e_shstrndx = 4;
        img.ehdr.e_phnum = static_cast<uint16_t>(phdrs.size());
        img.shdrs = copy_of(shdrs);
        img.phdrs = copy_of(phdrs);
        img.syms = copy_of(syms);
        img.nsyms = static_cast<uint32_t>(syms.size());
        img.strtab = bytes_of(strtab);
        img.strtab_size = strtab.size();
        img.shstrtab = bytes_of(shstrtab);
        img.shstrtab_size = shstrtab.size();
        return img;
    }
    template <typename T>
    static T* copy_of(const std::vector<T>& v) {
        if (v.empty()) return nullptr;
        T* p = static_cast<T*>(AllocHook(v.size(), sizeof(T)));
        std::memcpy(p, v.data(), v.size() * sizeof(T));
        return p;
    }
    static uint8_t* bytes_of(const std::string& s) {
        auto* p = static_cast<uint8_t*>(AllocHook(s.size(), 1));
        std::memcpy(p, s.data(), s.size());
        return p;
    }
};

ImageBuilder sample() {
    ImageBuilder b;
    b.sym("", 0, 0, 0);
    b.sym("", 0x1000, 0x03, 1);  // section symbol
    b.sym("main", 0x1000);
    b.sym("exit", 0x1010);
    Elf64_Phdr p = {};
    p.p_filesz = 0x123;
    p.p_memsz = 0x456;
    b.phdrs = {p, p};
    return b;
}

TEST(KeepList, ExactByteComparison) {
    Outcome r = run_in_child([] {
        KeepList.append("main");
        KeepList.append("");
        KeepList.append("main");
        std::printf("%d%d%d%d%d%d", is_kept_symbol("main"), is_kept_symbol("Main"), is_kept_symbol("mai"),
                    is_kept_symbol("main "), is_kept_symbol(""), is_kept_symbol(nullptr));
    });
    EXPECT_EQ(r.out, "100010");
    Outcome empty = run_in_child([] { std::printf("%d%d", is_kept_symbol(""), is_kept_symbol("x")); });
    EXPECT_EQ(empty.out, "00");
}

TEST(Reduce, HighestIndexSymtabIsReduced) {
    ImageBuilder b = sample();
    // Section 1 is renamed ".symtab" too (sh_name 7); the reduction works on
    // section 2, the higher index, and leaves section 1's size alone.
    Outcome r = run_in_child([&] {
        KeepList.append("main");
        ElfImage loaded = b.build();
        loaded.shdrs[1].sh_name = 7;
        loaded.shdrs[1].sh_size = 999;
        ElfImage w = {};
        copy_image(&loaded, &w);
        reduce_symbols(&w);
        std::printf("%llu %llu", (unsigned long long)w.shdrs[1].sh_size, (unsigned long long)w.shdrs[2].sh_size);
    });
    EXPECT_EQ(r.out, "999 24");
}

TEST(Reduce, NameOutsideTheStringTableIsRefused) {
    ImageBuilder b = sample();
    b.syms[3].st_name = 0x500;
    Outcome r = run_in_child([&] {
        ElfImage loaded = b.build();
        ElfImage w = {};
        copy_image(&loaded, &w);
        reduce_symbols(&w);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fatal: symbol 3: st_name 0x500 is outside the symbol string table (11 bytes)\n");

    // A name that runs to the end of the table without its NUL.
    b = sample();
    b.strtab.pop_back();
    r = run_in_child([&] {
        ElfImage loaded = b.build();
        ElfImage w = {};
        copy_image(&loaded, &w);
        reduce_symbols(&w);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fatal: symbol 3: st_name 0x6 is outside the symbol string table (10 bytes)\n");
}

}  // namespace
