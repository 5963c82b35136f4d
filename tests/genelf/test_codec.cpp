// The field codec in both byte orders, the end-of-file reading, the library
// services and every narrowing range check.
#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "genelf/genelf.h"
#include "shared/geninit.h"
#include "support/child.h"
#include "support/harness.h"

namespace {

std::string contents(FILE* fp) {
    std::fflush(fp);
    std::rewind(fp);
    std::string out;
    for (int c; (c = std::fgetc(fp)) != EOF;) out.push_back(static_cast<char>(c));
    return out;
}

void init_as_symkeep() { gen_init("/opt/tools/symkeep", 0, 0); }

TEST(Codec, ReadsInBothOrders) {
    const std::string bytes("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e", 14);
    struct Case {
        int order;
        uint16_t v16;
        uint32_t v32;
        uint64_t v64;
    } cases[] = {
        {BYTEORDER_BIG, 0x0102, 0x03040506, 0x0708090a0b0c0d0e},
        {BYTEORDER_LITTLE, 0x0201, 0x06050403, 0x0e0d0c0b0a090807},
    };
    for (const Case& c : cases) {
        ByteOrder = c.order;
        FILE* fp = stream_of(bytes);
        EXPECT_EQ(genelf_read16(fp), c.v16);
        EXPECT_EQ(genelf_read32(fp), c.v32);
        EXPECT_EQ(genelf_read64(fp), c.v64);
        std::fclose(fp);
    }
}

TEST(Codec, BytesPastEndOfFileReadAs0xFF) {
    ByteOrder = BYTEORDER_BIG;
    FILE* fp = stream_of(std::string("\x12\x34\x56", 3));
    EXPECT_EQ(genelf_read32(fp), 0x123456FFu);  // the fourth byte is EOF
    EXPECT_EQ(genelf_read16(fp), 0xFFFFu);
    EXPECT_EQ(genelf_read64(fp), 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(genelf_getbyte(fp), EOF);
    std::fclose(fp);
    ByteOrder = BYTEORDER_LITTLE;
    fp = stream_of(std::string("\x12", 1));
    EXPECT_EQ(genelf_read16(fp), 0xFF12u);
    std::fclose(fp);
}

TEST(Codec, WritesInBothOrders) {
    for (int order : {BYTEORDER_BIG, BYTEORDER_LITTLE}) {
        ByteOrder = order;
        FILE* fp = std::tmpfile();
        genelf_write16(fp, 0x0102);
        genelf_write32(fp, 0x03040506);
        genelf_write64(fp, 0x0708090a0b0c0d0eull);
        std::string expected = order == BYTEORDER_BIG
                                   ? std::string("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e", 14)
                                   : std::string("\x02\x01\x06\x05\x04\x03\x0e\x0d\x0c\x0b\x0a\x09\x08\x07", 14);
        EXPECT_EQ(contents(fp), expected);
        std::fclose(fp);
    }
}

TEST(Codec, UnsetByteOrder) {
    for (int which = 0; which < 4; ++which) {
        Outcome r = run_in_child([&] {
            init_as_symkeep();
            errno = 0;
            ByteOrder = BYTEORDER_UNSET;
            FILE* fp = stream_of("abcdefgh");
            if (which == 0) genelf_read16(fp);
            if (which == 1) genelf_read64(fp);
            if (which == 2) genelf_write16(fp, 1);
            if (which == 3) genelf_write32(fp, 1);
        });
        EXPECT_EQ(r.status, 1) << which;
        EXPECT_EQ(r.err, "symkeep: fatal: internal, endian not set\n") << which;
    }
    // The 64-bit writer has no such check: it writes little-endian.
    ByteOrder = BYTEORDER_UNSET;
    FILE* fp = std::tmpfile();
    genelf_write64(fp, 0x0102030405060708ull);
    EXPECT_EQ(contents(fp), std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8));
    std::fclose(fp);
}

TEST(Library, AllocationAndBlockReads) {
    EXPECT_EQ(genelf_alloc(0), nullptr);
    FILE* fp = stream_of("abcdef");
    EXPECT_EQ(genelf_read_block(fp, nullptr, 0), nullptr);
    char buf[4] = {};
    EXPECT_EQ(genelf_read_block(fp, buf, 3), buf);
    EXPECT_EQ(std::string(buf, 3), "abc");
    std::fclose(fp);

    Outcome r = run_in_child([] {
        init_as_symkeep();
        errno = 0;
        FILE* in = stream_of("xy");
        genelf_read_block(in, nullptr, 16);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "symkeep: fatal: read failed, unexpected EOF\n");

    // A stream that cannot be read (opened for writing): short, but not at
    // end of file, and the system's reason is appended.
    TempDir tmp;
    const std::string written = tmp.file("written");
    r = run_in_child([&] {
        init_as_symkeep();
        FILE* out = std::fopen(written.c_str(), "w");
        char four[4];
        errno = 0;
        genelf_read_block(out, four, sizeof four);
    });
    EXPECT_EQ(r.status, 1);
#ifdef _WIN32
    EXPECT_EQ(r.err, "symkeep: fatal: read failed\n");  // the C runtime gives no reason
#else
    EXPECT_EQ(r.err, std::string("symkeep: fatal: read failed: ") + std::strerror(EBADF) + "\n");
#endif

    r = run_in_child([] {
        init_as_symkeep();
        errno = 0;
        genelf_alloc(static_cast<size_t>(-1) / 2);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("symkeep: fatal: out of memory allocating 9223372036854775807 bytes", 0), 0u) << r.err;
}

TEST(Library, MagicAndClassTests) {
    struct Case {
        std::string bytes;
        bool elf;
        elfbits bits;
    } cases[] = {
        {std::string("\x7f" "ELF\x01\x01\x01\0\0\0\0\0\0\0\0\0", 16), true, 32},
        {std::string("\x7f" "ELF\x02\x02\x01\0\0\0\0\0\0\0\0\0", 16), true, 64},
        {std::string("\x7f" "ELF\x00\x01\x01\0\0\0\0\0\0\0\0\0", 16), true, -1},
        {std::string("\x7f" "ELF\x03\x01\x01\0\0\0\0\0\0\0\0\0", 16), true, -1},
        {std::string("\x7f" "ELG\x02\x01\x01\0\0\0\0\0\0\0\0\0", 16), false, 64},
    };
    for (const Case& c : cases) {
        FILE* fp = stream_of("pad" + c.bytes);
        std::fseek(fp, 3, SEEK_SET);
        EXPECT_EQ(genelf_is_elf(fp), c.elf);
        EXPECT_EQ(std::ftell(fp), 3);  // position restored
        EXPECT_EQ(genelf_elfbits(fp, 3), c.bits);
        EXPECT_EQ(std::ftell(fp), 3);
        std::fclose(fp);
    }
    for (const char* shorter : {"", "\x7f", "\x7f" "EL"}) {
        FILE* fp = stream_of(shorter);
        EXPECT_FALSE(genelf_is_elf(fp));
        std::fclose(fp);
    }
}

TEST(Conversions, WideningKeepsEveryField) {
    Elf32_Phdr p32 = {1, 2, 3, 4, 5, 6, 7, 8};
    Elf64_Phdr* p64 = genelf_phdr32to64(nullptr, &p32, 1);
    EXPECT_EQ(p64->p_type, 1u);
    EXPECT_EQ(p64->p_offset, 2u);
    EXPECT_EQ(p64->p_vaddr, 3u);
    EXPECT_EQ(p64->p_paddr, 4u);
    EXPECT_EQ(p64->p_filesz, 5u);
    EXPECT_EQ(p64->p_memsz, 6u);
    EXPECT_EQ(p64->p_flags, 7u);
    EXPECT_EQ(p64->p_align, 8u);
    Elf32_Phdr back;
    genelf_phdr64to32(&back, p64, 1);
    EXPECT_EQ(std::memcmp(&back, &p32, sizeof back), 0);
    std::free(p64);

    Elf32_Sym s32 = {11, 0xFFFFFFFFu, 13, 0x12, 0x3, 0xfff1};
    Elf64_Sym s64;
    genelf_sym32to64(&s64, &s32, 1);
    EXPECT_EQ(s64.st_name, 11u);
    EXPECT_EQ(s64.st_value, 0xFFFFFFFFu);
    EXPECT_EQ(s64.st_size, 13u);
    EXPECT_EQ(s64.st_info, 0x12);
    EXPECT_EQ(s64.st_shndx, 0xfff1);
    EXPECT_EQ(genelf_sym32to64(nullptr, &s32, 0), nullptr);
    EXPECT_EQ(genelf_shdr64to32(nullptr, nullptr, 0), nullptr);
}

TEST(Conversions, SymbolsNarrowWithoutCheck) {
    Elf64_Sym s64 = {};
    s64.st_value = 0x123456789ull;
    s64.st_size = 0x100000001ull;
    Elf32_Sym s32;
    genelf_sym64to32(&s32, &s64, 1);
    EXPECT_EQ(s32.st_value, 0x23456789u);
    EXPECT_EQ(s32.st_size, 1u);
}

// Every 64-bit field that must fit in 32 bits: 0xFFFFFFFF passes,
// 0x100000000 ends the program with "ELF file overflow".
TEST(Conversions, NarrowingRangeChecks) {
    using Setter = void (*)(uint64_t, bool);
    struct Field {
        const char* name;
        Setter convert;
    } fields[] = {
        {"e_entry", [](uint64_t v, bool) { Elf64_Ehdr h = {}; h.e_entry = v; Elf32_Ehdr o; genelf_ehdr64to32(&o, &h); }},
        {"e_phoff", [](uint64_t v, bool) { Elf64_Ehdr h = {}; h.e_phoff = v; Elf32_Ehdr o; genelf_ehdr64to32(&o, &h); }},
        {"e_shoff", [](uint64_t v, bool) { Elf64_Ehdr h = {}; h.e_shoff = v; Elf32_Ehdr o; genelf_ehdr64to32(&o, &h); }},
        {"p_offset", [](uint64_t v, bool) { Elf64_Phdr p = {}; p.p_offset = v; Elf32_Phdr o; genelf_phdr64to32(&o, &p, 1); }},
        {"p_vaddr", [](uint64_t v, bool) { Elf64_Phdr p = {}; p.p_vaddr = v; Elf32_Phdr o; genelf_phdr64to32(&o, &p, 1); }},
        {"p_paddr", [](uint64_t v, bool) { Elf64_Phdr p = {}; p.p_paddr = v; Elf32_Phdr o; genelf_phdr64to32(&o, &p, 1); }},
        {"p_filesz", [](uint64_t v, bool) { Elf64_Phdr p = {}; p.p_filesz = v; Elf32_Phdr o; genelf_phdr64to32(&o, &p, 1); }},
        {"p_memsz", [](uint64_t v, bool) { Elf64_Phdr p = {}; p.p_memsz = v; Elf32_Phdr o; genelf_phdr64to32(&o, &p, 1); }},
        {"p_align", [](uint64_t v, bool) { Elf64_Phdr p = {}; p.p_align = v; Elf32_Phdr o; genelf_phdr64to32(&o, &p, 1); }},
        {"sh_flags", [](uint64_t v, bool) { Elf64_Shdr s = {}; s.sh_flags = v; Elf32_Shdr o; genelf_shdr64to32(&o, &s, 1); }},
        {"sh_addr", [](uint64_t v, bool) { Elf64_Shdr s = {}; s.sh_addr = v; Elf32_Shdr o; genelf_shdr64to32(&o, &s, 1); }},
        {"sh_offset", [](uint64_t v, bool) { Elf64_Shdr s = {}; s.sh_offset = v; Elf32_Shdr o; genelf_shdr64to32(&o, &s, 1); }},
        {"sh_size", [](uint64_t v, bool) { Elf64_Shdr s = {}; s.sh_size = v; Elf32_Shdr o; genelf_shdr64to32(&o, &s, 1); }},
        {"sh_addralign", [](uint64_t v, bool) { Elf64_Shdr s = {}; s.sh_addralign = v; Elf32_Shdr o; genelf_shdr64to32(&o, &s, 1); }},
        {"sh_entsize", [](uint64_t v, bool) { Elf64_Shdr s = {}; s.sh_entsize = v; Elf32_Shdr o; genelf_shdr64to32(&o, &s, 1); }},
    };
    for (const Field& f : fields) {
        Outcome ok = run_in_child([&] { f.convert(0xFFFFFFFFull, false); });
        EXPECT_EQ(ok.status, 0) << f.name;
        EXPECT_EQ(ok.err, "") << f.name;
        Outcome bad = run_in_child([&] {
            init_as_symkeep();
            errno = 0;
            f.convert(0x100000000ull, false);
        });
        EXPECT_EQ(bad.status, 1) << f.name;
        EXPECT_EQ(bad.err, "symkeep: fatal: ELF file overflow\n") << f.name;
    }
}

}  // namespace
