// symkeep: turns an ELF executable into a reduced symbol file that keeps
// the headers and only the symbols named with -keep.
#include <cstdio>

#include "genelf/genelf.h"
#include "shared/geninit.h"
#include "shared/genio.h"
#include "shared/genmem.h"
#include "symkeep/symkeep.h"

int main(int argc, char** argv) {
    gen_init(argc > 0 ? argv[0] : nullptr, 0, 1);
    parse_args(argc, argv);

    // The input is opened first so that a missing input never creates or
    // truncates the output.
    FILE* input = gen_safe_fopen(InputName, nullptr, "r");
    FILE* output = gen_safe_fopen(OutputName, nullptr, "w+b");

    ElfImage loaded = {};
    ElfImage working = {};
    if (load_executable(&loaded, input, InputName) != 1) gen_call_exit_hook(1);
    copy_image(&loaded, &working);
    reduce_symbols(&working);
    write_image(&working, output);

    std::fflush(output);
    gen_safe_fclose(InputName, nullptr, input);
    gen_safe_fclose(OutputName, nullptr, output);
    return 0;
}
