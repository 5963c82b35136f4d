// In-process cost of the whole pipeline (load, copy, reduce, write) for a
// keep list read from a file, one name a line.  The command line cannot
// carry a hundred thousand long names (Linux caps the argument list at
// 6 MiB), so this is how the cost of a huge keep list is compared with the
// cost of one name.
//
// usage: bench_reduce INPUT KEEPFILE ROUNDS   -> prints the median in ms
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "genelf/genelf.h"
#include "shared/geninit.h"
#include "shared/genio.h"
#include "symkeep/symkeep.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_reduce INPUT KEEPFILE ROUNDS\n");
        return 2;
    }
    gen_init(argv[0], 0, 1);
    std::vector<std::string> names;
    std::ifstream keep(argv[2]);
    for (std::string line; std::getline(keep, line);)
        if (!line.empty()) names.push_back(line);
    for (const std::string& n : names) KeepList.append(n.c_str());
    OutputName = "bench_reduce.out";

    std::vector<double> ms;
    for (int round = 0; round < std::atoi(argv[3]); ++round) {
        auto t0 = std::chrono::steady_clock::now();
        FILE* in = gen_safe_fopen(argv[1], nullptr, "r");
        FILE* out = gen_safe_fopen(OutputName, nullptr, "w+b");
        ElfImage loaded = {}, working = {};
        if (load_executable(&loaded, in, argv[1]) != 1) return 1;
        copy_image(&loaded, &working);
        reduce_symbols(&working);
        write_image(&working, out, OutputName);
        std::fclose(in);
        std::fclose(out);
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%.2f\n", ms[ms.size() / 2]);
    std::remove(OutputName);
    return 0;
}
