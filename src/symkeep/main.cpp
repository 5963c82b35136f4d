// symkeep: turns an ELF executable into a reduced symbol file that keeps
// the headers and only the symbols named with -keep.
#include <cstdio>

#include "genelf/genelf.h"
#include "shared/geninit.h"
#include "shared/genexit.h"
#include "shared/genio.h"
#include "shared/genmem.h"
#include "shared/genout.h"
#include "platform/platform.h"
#include "shared/viewpath/viewpath.h"
#include "symkeep/symkeep.h"

namespace {

// Opening the output with "w+b" truncates it, so an output that is the
// input itself (under another spelling, or another hard link to it) would
// destroy the input before a byte of it was read.  The file compared is the
// one the open would truncate: with a view path, the output's place in the
// top tree.
void refuse_output_that_is_input(FILE* input) {
    PlatStat in, out;
    if (plat_fstat(input, &in) != 0) return;
    char* target = V_resolve(OutputName, V_LOOKUP_NONE);
    bool same = target != nullptr && plat_stat(target, &out) == 0 && out.device == in.device && out.inode == in.inode;
    FreeHook(target);
    if (same) gen_fatal_exit(1, "Refusing to write %s: it is the input file %s", OutputName, InputName);
}

}  // namespace

int main(int argc, char** argv) {
    gen_init(argc > 0 ? argv[0] : nullptr, 0, 1);
    parse_args(argc, argv);

    // The input is opened first so that a missing input never creates or
    // truncates the output.
    FILE* input = gen_safe_fopen(InputName, nullptr, "r");
    refuse_output_that_is_input(input);
    FILE* output = gen_safe_fopen(OutputName, nullptr, "w+b");

    ElfImage loaded = {};
    ElfImage working = {};
    if (load_executable(&loaded, input, InputName) != 1) gen_call_exit_hook(1);
    copy_image(&loaded, &working);
    reduce_symbols(&working);
    write_image(&working, output, OutputName);

    // The last piece of the output (the section header table) is still in
    // the stream's buffer: a disk that fills up now is reported here, as
    // the close would not see it.
    if (std::fflush(output) != 0) gen_fatal("Error writing to '%s'", OutputName);
    gen_safe_fclose(InputName, nullptr, input);
    gen_safe_fclose(OutputName, nullptr, output);
    return 0;
}
