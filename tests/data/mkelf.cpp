// mkelf: writes the maker's sample executable, for poking at the tool and at
// binutils by hand.  Usage: mkelf [-32] [-be] [-type N] OUT
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "data/elfmaker.h"

int main(int argc, char** argv) {
    int bits = 64;
    bool big = false;
    long type = elfmaker::ET_EXEC;
    const char* out = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-32") == 0) {
            bits = 32;
        } else if (std::strcmp(argv[i], "-be") == 0) {
            big = true;
        } else if (std::strcmp(argv[i], "-type") == 0 && i + 1 < argc) {
            type = std::strtol(argv[++i], nullptr, 0);
        } else if (argv[i][0] != '-' && !out) {
            out = argv[i];
        } else {
            out = nullptr;
            break;
        }
    }
    if (!out) {
        std::fprintf(stderr, "usage: mkelf [-32] [-be] [-type N] OUT\n");
        return 2;
    }
    elfmaker::Desc d = elfmaker::sample_exec(bits, big);
    d.type = static_cast<uint16_t>(type);
    std::string bytes = elfmaker::make_elf(d);
    std::ofstream f(out, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return f ? 0 : 1;
}
