// mkelf: writes the maker's sample executable, for poking at the tool and at
// binutils by hand.  Usage: mkelf [-32] [-be] [-type N] OUT
#include <cstdio>
#include <cstdlib>
#include <string>

#include "data/elfmaker.h"

int main(int argc, char** argv) {
    int bits = 64;
    bool big = false, bad = false;
    long type = elfmaker::ET_EXEC;
    const char* out = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-32") bits = 32;
        else if (a == "-be") big = true;
        else if (a == "-type" && i + 1 < argc) type = std::strtol(argv[++i], nullptr, 0);
        else if (a[0] != '-' && out == nullptr) out = argv[i];
        else bad = true;
    }
    if (out == nullptr || bad) return std::fprintf(stderr, "usage: mkelf [-32] [-be] [-type N] OUT\n"), 2;
    elfmaker::Desc d = elfmaker::sample_exec(bits, big);
    d.type = static_cast<uint16_t>(type);
    const std::string bytes = elfmaker::make_elf(d);
    FILE* f = std::fopen(out, "wb");
    const bool ok = f != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return f != nullptr && std::fclose(f) == 0 && ok ? 0 : 1;
}
