// Running the real tool in a directory, and reading header fields of an ELF
// file at the offsets the ELF standard gives them.
#pragma once

#include <cstdio>

#include "data/elfmaker.h"
#include "support/harness.h"

namespace em = elfmaker;

// "symkeep ARGS" run in `dir`; the output file `out` comes back too ("" when there is none).
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

// Fields of an ELF file in its class and byte order; bytes past the end read as 0.
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
    // A field at (ELF32 offset, ELF64 offset) from `base`, 4 or 8 bytes wide.
    uint64_t f(uint64_t base, int off32, int off64) const { return wide() ? at(base + off64, 8) : at(base + off32, 4); }
    uint64_t sh(unsigned i) const { return f(0, 0x20, 0x28) + i * (wide() ? 64 : 40); }
    uint64_t ph(unsigned j) const { return f(0, 0x1c, 0x20) + j * (wide() ? 56 : 32); }
    unsigned phnum() const { return static_cast<unsigned>(at(wide() ? 0x38 : 0x2c, 2)); }
    unsigned shnum() const { return static_cast<unsigned>(at(wide() ? 0x3c : 0x30, 2)); }
    std::string data(unsigned i) const {
        return i < shnum() && f(sh(i), 16, 24) < b.size() ? b.substr(f(sh(i), 16, 24), f(sh(i), 20, 32)) : "";
    }
    // The first section of that name; shnum() when there is none.
    unsigned section(const std::string& name) const {
        unsigned i = 0;
        const std::string names = data(static_cast<unsigned>(at(wide() ? 0x3e : 0x32, 2)));
        while (i < shnum() && (at(sh(i), 4) >= names.size() || names.c_str() + at(sh(i), 4) != name)) ++i;
        return i;
    }
};

// Where everything went, in hex: "e_shoff | sh_offset+sh_size of each
// section | p_offset+p_filesz of each program header | file size".
inline std::string layout(const std::string& bytes) {
    const ElfPeek e{bytes};
    char buf[20];
    auto hex = [&](uint64_t v) { return std::string(buf, std::snprintf(buf, sizeof buf, "%llx", (unsigned long long)v)); };
    std::string s = hex(e.f(0, 0x20, 0x28)) + " |";
    for (unsigned i = 0; i < e.shnum(); ++i) s += " " + hex(e.f(e.sh(i), 16, 24)) + "+" + hex(e.f(e.sh(i), 20, 32));
    s += " |";
    for (unsigned j = 0; j < e.phnum(); ++j) s += " " + hex(e.f(e.ph(j), 4, 8)) + "+" + hex(e.f(e.ph(j), 16, 32));
    return s + " | " + hex(bytes.size());
}

// The file header and the header tables with every offset and size blanked:
// what the tool must carry over from its input unchanged.
inline std::string headers_but_offsets(const std::string& bytes) {
    const ElfPeek e{bytes};
    const int w = e.wide() ? 8 : 4;
    std::string h;
    auto add = [&](uint64_t at, uint64_t size, int off, int size_at) {  // size_at 0: no size field
        std::string t = at < bytes.size() ? bytes.substr(at, size) : "";
        if (t.size() == size) t.replace(off, w, w, '\0').replace(size_at, size_at ? w : 0, size_at ? w : 0, '\0');
        h += t;
    };
    add(0, e.wide() ? 64 : 52, e.wide() ? 0x28 : 0x20, 0);
    for (unsigned j = 0; j < e.phnum(); ++j) add(e.ph(j), e.wide() ? 56 : 32, e.wide() ? 8 : 4, e.wide() ? 32 : 16);
    for (unsigned i = 0; i < e.shnum(); ++i) add(e.sh(i), e.wide() ? 64 : 40, e.wide() ? 24 : 16, e.wide() ? 32 : 20);
    return h;
}
