// What the end-to-end tests share: running the real tool in a directory, and
// reading a few header fields of an ELF file at the offsets the ELF standard
// gives them, to pin where the tool put things.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "data/elfmaker.h"
#include "support/harness.h"

namespace em = elfmaker;

// Runs "symkeep ARGS" in `dir` with `env`; the output file `out` (relative
// to `dir`) comes back in `output`, "" when there is none.
struct ToolRun {
    Outcome r;
    std::string output;
};
inline ToolRun symkeep(const TempDir& dir, std::vector<std::string> args, const std::string& out = "out.elf",
                   const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), SYMKEEP_BIN);
    ToolRun run{run_program(args, env, dir.path()), ""};
    if (file_exists(dir.file(out))) run.output = read_file(dir.file(out));
    return run;
}

// A field of an ELF file (its class and byte order from e_ident), 0 past the end.
struct ElfPeek {
    const std::string& b;
    bool wide() const { return b.size() > 4 && b[4] == 2; }
    uint64_t at(uint64_t off, int width) const {
        uint64_t v = 0;
        for (int i = 0; i < width; ++i) {
            const uint64_t k = b.size() > 5 && b[5] == 2 ? off + i : off + width - 1 - i;
            v = v << 8 | (k < b.size() ? static_cast<unsigned char>(b[k]) : 0);
        }
        return v;
    }
    // A field whose place and width differ by class: (ELF32 offset, ELF64 offset).
    uint64_t f(uint64_t base, int off32, int off64) const { return wide() ? at(base + off64, 8) : at(base + off32, 4); }
    uint64_t shoff() const { return f(0, 0x20, 0x28); }
    uint64_t phoff() const { return f(0, 0x1c, 0x20); }
    unsigned phnum() const { return at(wide() ? 0x38 : 0x2c, 2); }
    unsigned shnum() const { return at(wide() ? 0x3c : 0x30, 2); }
    uint64_t sh(unsigned i) const { return shoff() + i * (wide() ? 64 : 40); }
    uint64_t ph(unsigned i) const { return phoff() + i * (wide() ? 56 : 32); }
    uint64_t sh_offset(unsigned i) const { return f(sh(i), 16, 24); }
    uint64_t sh_size(unsigned i) const { return f(sh(i), 20, 32); }
    std::string sh_name(unsigned i) const {
        const unsigned names = at(wide() ? 0x3e : 0x32, 2);
        const uint64_t at_ = sh_offset(names) + at(sh(i), 4);
        return at_ < b.size() ? std::string(b.c_str() + at_) : "?";
    }
    // Index of the first section of that name, shnum() when there is none.
    unsigned section(const std::string& name) const {
        unsigned i = 0;
        while (i < shnum() && sh_name(i) != name) ++i;
        return i;
    }
    std::string data(unsigned i) const {
        return i < shnum() && sh_offset(i) < b.size() ? b.substr(sh_offset(i), sh_size(i)) : "";
    }
};

// Where everything went, in hex: "e_shoff | sh_offset+sh_size of each
// section | p_offset+p_filesz of each program header | file size".
inline std::string layout(const std::string& bytes) {
    const ElfPeek e{bytes};
    char buf[64];
    std::string s;
    auto put = [&](const char* fmt, uint64_t a, uint64_t b) {
        std::snprintf(buf, sizeof buf, fmt, static_cast<unsigned long long>(a), static_cast<unsigned long long>(b));
        s += buf;
    };
    put("%llx |", e.shoff(), 0);
    for (unsigned i = 0; i < e.shnum(); ++i) put(" %llx+%llx", e.sh_offset(i), e.sh_size(i));
    s += " |";
    for (unsigned j = 0; j < e.phnum(); ++j) put(" %llx+%llx", e.f(e.ph(j), 4, 8), e.f(e.ph(j), 16, 32));
    put(" | %llx", bytes.size(), 0);
    return s;
}

// The file header and the header tables with every offset and size blanked:
// what the tool must carry over from its input unchanged.
inline std::string headers_but_offsets(const std::string& bytes) {
    const ElfPeek e{bytes};
    const int w = e.wide() ? 8 : 4;
    std::string h = bytes.substr(0, e.wide() ? 64 : 52);
    h.replace(e.wide() ? 0x28 : 0x20, w, w, '\0');
    auto table = [&](uint64_t at, uint64_t size, int off, int size_at) {
        std::string t = at < bytes.size() ? bytes.substr(at, size) : "";
        if (t.size() == size) t.replace(off, w, w, '\0'), t.replace(size_at, w, w, '\0');
        h += t;
    };
    for (unsigned j = 0; j < e.phnum(); ++j) table(e.ph(j), e.wide() ? 56 : 32, e.wide() ? 8 : 4, e.wide() ? 32 : 16);
    for (unsigned i = 0; i < e.shnum(); ++i) table(e.sh(i), e.wide() ? 64 : 40, e.wide() ? 24 : 16, e.wide() ? 32 : 20);
    return h;
}
