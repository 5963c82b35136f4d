// The keep-list test and the copy and reduction of the symbol table, on
// images built in memory.
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

std::vector<std::string> kept_names(const ElfImage& img) {
    std::vector<std::string> out;
    for (uint32_t i = 0; i < img.nsyms; ++i) out.push_back(reinterpret_cast<const char*>(img.strtab + img.syms[i].st_name));
    return out;
}

// Runs copy + reduce in a child with the given keep list; the body checks
// the working image and prints "ok" when every expectation held.
ChildResult reduce_with(ImageBuilder b, std::vector<std::string> keep,
                        void (*check)(const ElfImage& loaded, const ElfImage& working)) {
    return run_in_child([&] {
        for (std::string& k : keep) KeepList.append(k.c_str());
        ElfImage loaded = b.build();
        ElfImage working = {};
        copy_image(&loaded, &working);
        reduce_symbols(&working);
        check(loaded, working);
        std::printf("%s", ::testing::Test::HasFailure() ? "failed" : "ok");
    });
}

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
    ChildResult r = run_in_child([] {
        KeepList.append("main");
        KeepList.append("");
        KeepList.append("main");
        std::printf("%d%d%d%d%d%d", is_kept_symbol("main"), is_kept_symbol("Main"), is_kept_symbol("mai"),
                    is_kept_symbol("main "), is_kept_symbol(""), is_kept_symbol(nullptr));
    });
    EXPECT_EQ(r.out, "100010");
    ChildResult empty = run_in_child([] { std::printf("%d%d", is_kept_symbol(""), is_kept_symbol("x")); });
    EXPECT_EQ(empty.out, "00");
}

TEST(Reduce, KeepsOnlyNamedSymbolsWithFreshNames) {
    ChildResult r = reduce_with(sample(), {"main"}, [](const ElfImage&, const ElfImage& w) {
        ASSERT_EQ(w.nsyms, 1u);
        EXPECT_EQ(w.syms[0].st_name, 0u);
        EXPECT_EQ(w.syms[0].st_value, 0x1000u);
        EXPECT_EQ(w.syms[0].st_info, 0x12);
        EXPECT_EQ(std::memcmp(w.strtab, "main", 5), 0);
        EXPECT_EQ(w.shdrs[3].sh_size, 5u);
        EXPECT_EQ(w.shdrs[2].sh_size, 24u);
        EXPECT_EQ(w.shdrs[2].sh_entsize, 24u);
        EXPECT_EQ(w.shdrs[2].sh_info, 2u);  // left as it was
        for (int p = 0; p < 2; ++p) {
            EXPECT_EQ(w.phdrs[p].p_filesz, 0u);
            EXPECT_EQ(w.phdrs[p].p_memsz, 0x456u);
        }
    });
    EXPECT_EQ(r.out, "ok") << r.err;
}

TEST(Reduce, EmptyKeepListKeepsNothing) {
    ChildResult r = reduce_with(sample(), {}, [](const ElfImage& l, const ElfImage& w) {
        EXPECT_EQ(w.nsyms, 0u);
        EXPECT_EQ(w.shdrs[2].sh_size, 0u);
        EXPECT_EQ(w.shdrs[2].sh_entsize, 24u);
        EXPECT_EQ(w.shdrs[3].sh_size, 0u);
        EXPECT_EQ(l.nsyms, 4u);  // the loaded image is untouched
    });
    EXPECT_EQ(r.out, "ok") << r.err;
}

TEST(Reduce, EmptyNameKeepsNullAndSectionSymbols) {
    ChildResult r = reduce_with(sample(), {"", "exit"}, [](const ElfImage&, const ElfImage& w) {
        ASSERT_EQ(w.nsyms, 3u);
        EXPECT_EQ(w.syms[0].st_name, 0u);
        EXPECT_EQ(w.syms[1].st_name, 1u);  // its own NUL byte
        EXPECT_EQ(w.syms[2].st_name, 2u);
        EXPECT_EQ(w.shdrs[3].sh_size, 7u);
        EXPECT_EQ(std::memcmp(w.strtab, "\0\0exit\0", 7), 0);
    });
    EXPECT_EQ(r.out, "ok") << r.err;
}

TEST(Reduce, SharedStoredNameIsCopiedPerSymbol) {
    ImageBuilder b;
    for (int i = 0; i < 20; ++i) b.sym("count", 0x2000 + i, 0x01);
    ChildResult r = reduce_with(b, {"count"}, [](const ElfImage& l, const ElfImage& w) {
        EXPECT_EQ(l.strtab_size, 7u);  // stored once in the input
        ASSERT_EQ(w.nsyms, 20u);
        EXPECT_EQ(w.shdrs[3].sh_size, 120u);
        EXPECT_EQ(w.syms[19].st_name, 114u);
        EXPECT_EQ(w.syms[19].st_value, 0x2013u);
        EXPECT_EQ(std::memcmp(w.strtab + 114, "count", 6), 0);
    });
    EXPECT_EQ(r.out, "ok") << r.err;
}

TEST(Reduce, LocalAndGlobalOfOneNameBothStayInOrder) {
    ImageBuilder b;
    b.sym("count", 1, 0x01);
    b.sym("other", 2);
    b.sym("count", 3, 0x11);
    ChildResult r = reduce_with(b, {"count", "count"}, [](const ElfImage&, const ElfImage& w) {
        ASSERT_EQ(w.nsyms, 2u);
        EXPECT_EQ(w.syms[0].st_info, 0x01);
        EXPECT_EQ(w.syms[1].st_info, 0x11);
        EXPECT_EQ(kept_names(w), (std::vector<std::string>{"count", "count"}));
    });
    EXPECT_EQ(r.out, "ok") << r.err;
}

TEST(Reduce, WithoutSymtabOnlyProgramHeadersChange) {
    ImageBuilder b = sample();
    b.shstrtab = std::string("\0.text\0.dynsym\0.dynstr\0.shstrtab\0", 34);
    ChildResult r = reduce_with(b, {"main"}, [](const ElfImage& l, const ElfImage& w) {
        EXPECT_EQ(w.nsyms, l.nsyms);
        EXPECT_EQ(std::memcmp(w.syms, l.syms, l.nsyms * sizeof(Elf64_Sym)), 0);
        EXPECT_EQ(StrtabSize, 0);
        EXPECT_EQ(w.strtab, nullptr);
        EXPECT_EQ(w.phdrs[0].p_filesz, 0u);
    });
    EXPECT_EQ(r.out, "ok") << r.err;
}

TEST(Reduce, HighestIndexSymtabIsReduced) {
    ImageBuilder b = sample();
    // Section 1 is renamed ".symtab" too (sh_name 7); the reduction works on
    // section 2, the higher index, and leaves section 1's size alone.
    ChildResult r = run_in_child([&] {
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
    ChildResult r = run_in_child([&] {
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
