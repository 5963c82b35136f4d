// The whole tool on a file holding the input, as main runs it.  The keep list is "main" and the first, second and
// last NUL-terminated runs of 2 to 64 printable bytes, so that mutated string tables keep matching it.
#include <new>

#include "fuzz_support.h"
#include "genelf/genelf.h"
#include "shared/genexit.h"
#include "symkeep/symkeep.h"

// Files in memory whose /proc/self/fd paths open by name.
const int g_input = memfd_create("fuzz-input", 0), g_output = memfd_create("fuzz-output", 0);
std::vector<std::string> g_names;  // the keep list holds their texts
FILE *g_in, *g_out;

void run_tool() {
    g_in = gen_safe_fopen(("/proc/self/fd/" + std::to_string(g_input)).c_str(), nullptr, "r");
    g_out = gen_safe_fopen(("/proc/self/fd/" + std::to_string(g_output)).c_str(), nullptr, "w+b");
    ElfImage loaded{}, working{};
    if (load_executable(&loaded, g_in, "fuzz-input") != 1) gen_call_exit_hook(1);
    copy_image(&loaded, &working);
    reduce_symbols(&working);
    write_image(&working, g_out, OutputName);
    std::fflush(g_out);
    for (ElfImage* image : {&loaded, &working})  // the tables the tool keeps until exit
        FreeHook(image->phdrs), FreeHook(image->shdrs), FreeHook(image->shstrtab), FreeHook(image->syms), FreeHook(image->strtab);
}

void fuzz_prepare() { InputName = "fuzz-input", OutputName = "fuzz-output"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (ftruncate(g_input, 0) != 0 || pwrite(g_input, data, size, 0) != static_cast<ssize_t>(size)) fuzz::finding("harness", "input");
    g_names.clear();
    for (size_t i = 0, start = 0; i < size; ++i) {
        if (data[i] > 0x20 && data[i] < 0x7f) continue;
        if (data[i] == 0 && i - start >= 2 && i - start <= 64) g_names.emplace_back(reinterpret_cast<const char*>(data) + start, i - start);
        start = i + 1;
    }
    if (g_names.size() > 3) g_names.erase(g_names.begin() + 2, g_names.end() - 1);
    KeepList.~KeepNames();  // the tool fills it once; each input starts afresh
    new (&KeepList) KeepNames();
    KeepList.append("main");
    for (const std::string& name : g_names) KeepList.append(name.c_str());
    ByteOrder = BYTEORDER_UNSET, ElfWordSize = 0, StrtabSize = 0;  // as in a fresh process
    g_in = g_out = nullptr;
    fuzz::run(run_tool);
    for (FILE* file : {g_in, g_out})
        if (file != nullptr) std::fclose(file);
    return 0;
}
