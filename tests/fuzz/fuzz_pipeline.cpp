// The whole tool on one input: load_executable, copy_image, reduce_symbols
// and write_image, as main runs them, on a file holding the fuzz input.
//
// The keep list is "main" plus up to three names taken from the input (the
// first, second and last NUL-terminated printable runs), so that mutated
// string tables keep matching and the reduction and the writer see kept
// symbols.  A refusal is a pass; on a completed run every block the tool
// allocated must be one of the image arrays it keeps until exit.
#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "genelf/genelf.h"
#include "shared/genio.h"
#include "shared/genexit.h"
#include "shared/genmem.h"
#include "symkeep/symkeep.h"

namespace {

FuzzFile* g_input;
FuzzFile* g_output;
std::string g_names[3];

struct Run {
    ElfImage loaded;
    ElfImage working;
    FILE* in;
    FILE* out;
};
Run g_run;

bool printable(uint8_t c) { return c >= 0x21 && c < 0x7f; }

// NUL-terminated runs of 2 to 64 printable bytes.
std::vector<std::string> names_in(const uint8_t* data, size_t size) {
    std::vector<std::string> found;
    size_t start = 0;
    for (size_t i = 0; i < size; ++i) {
        if (printable(data[i])) continue;
        size_t n = i - start;
        if (data[i] == 0 && n >= 2 && n <= 64) found.emplace_back(reinterpret_cast<const char*>(data + start), n);
        start = i + 1;
    }
    return found;
}

void set_keep_list(const uint8_t* data, size_t size) {
    // The tool fills KeepList once; here it is made afresh for every input.
    KeepList.~KeepNames();
    new (&KeepList) KeepNames();
    KeepList.append("main");
    std::vector<std::string> found = names_in(data, size);
    size_t picks[3] = {0, 1, found.size() - 1};
    for (int k = 0; k < 3; ++k) {
        g_names[k].clear();
        if (picks[k] < found.size()) g_names[k] = found[picks[k]];
        if (!g_names[k].empty()) KeepList.append(g_names[k].c_str());
    }
}

void run_tool() {
    g_run.in = gen_safe_fopen(g_input->path(), nullptr, "r");
    g_run.out = gen_safe_fopen(g_output->path(), nullptr, "w+b");
    if (load_executable(&g_run.loaded, g_run.in, "fuzz-input") != 1) gen_call_exit_hook(1);
    copy_image(&g_run.loaded, &g_run.working);
    reduce_symbols(&g_run.working);
    write_image(&g_run.working, g_run.out, OutputName);
    std::fflush(g_run.out);
}

void release_image(ElfImage& image) {
    FreeHook(image.phdrs);
    FreeHook(image.shdrs);
    FreeHook(image.shstrtab);
    FreeHook(image.syms);
    FreeHook(image.strtab);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_setup();
    g_input = new FuzzFile();
    g_output = new FuzzFile();
    OutputName = "fuzz-output";
    InputName = "fuzz-input";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    g_input->set(data, size);
    set_keep_list(data, size);
    g_run = Run{};
    // As in a fresh process.
    ByteOrder = BYTEORDER_UNSET;
    ElfWordSize = 0;
    StrtabSize = 0;

    fuzz_track_begin();
    int status = trap_status(run_tool);
    if (g_run.in != nullptr) std::fclose(g_run.in);
    if (g_run.out != nullptr) std::fclose(g_run.out);
    if (status == -1) {
        release_image(g_run.loaded);
        release_image(g_run.working);
    }
    size_t left = fuzz_track_end();
    if (status == -1 && left != 0) fuzz_finding("leak", std::to_string(left) + " blocks left after a completed run");
    return 0;
}
