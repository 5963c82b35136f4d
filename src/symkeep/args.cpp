// The command line: options first, then exactly one input file name;
// anything after the file name is not looked at.  Every mistake prints the
// usage text and ends with status 1 before any file is opened.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "shared/genexit.h"
#include "shared/genmem.h"
#include "shared/gensys.h"
#include "symkeep/symkeep.h"

KeepNames KeepList;
const char* InputName = nullptr;
const char* OutputName = nullptr;

void usage() {
    std::printf("Usage: %s [-help] <options> filename\n", gen_getprogname() ? gen_getprogname() : "");
    for (const char* line : {"-help\t\t\tprint this information", "-o <filename>\t\toutput to filename",
                             "-keep <symbolname>\tkeep symbolname in the symbol table"})
        std::printf("\t%s\n", line);
    gen_call_exit_hook(1);
}

int is_kept_symbol(const char* name) { return name != nullptr && KeepList.contains(name, std::strlen(name)) ? 1 : 0; }

int is_kept_symbol(const char* name, size_t length) {
    return name != nullptr && KeepList.contains(name, length) ? 1 : 0;
}

void parse_args(int argc, char** argv) {
    int i = 1;
    while (i < argc) {
        const char* arg = argv[i];
        if (arg[0] != '-') {
            InputName = arg;
            if (OutputName == nullptr) {
                size_t n = std::strlen(arg);
                char* name = static_cast<char*>(AllocHook(n + 4, 1));
                std::memcpy(name, arg, n);
                std::memcpy(name + n, ".sh", 4);
                OutputName = name;
            }
            return;
        }
        // Options are told apart by their second character alone; only
        // -keep is spelled out in full.
        switch (arg[1]) {
            case 'k':
                if (std::strcmp(arg, "-keep") != 0 || i + 1 >= argc) usage();
                KeepList.append(argv[i + 1]);
                i += 2;
                break;
            case 'o':
                if (i + 1 >= argc) usage();
                OutputName = argv[i + 1];
                i += 2;
                break;
            default:
                usage();
        }
    }
    usage();
}
