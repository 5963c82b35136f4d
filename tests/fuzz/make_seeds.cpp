// Writes the binary seed corpora: ELF files from the test-data maker (every
// class and byte order, and a few shapes the loader refuses) for
// fuzz_pipeline, and RNE files written by the event log itself for
// fuzz_rnereader.  Usage: fuzz_make_seeds CORPUS_DIR
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "data/elfmaker.h"
#include "platform/platform.h"
#include "shared/eventlog/zolta.h"

namespace {

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(1);
    }
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void elf_seeds(const std::string& dir) {
    using namespace elfmaker;
    for (int bits : {32, 64})
        for (bool big : {false, true}) {
            std::string tag = std::to_string(bits) + (big ? "be" : "le");
            Desc d = sample_exec(bits, big);
            write_file(dir + "/sample" + tag, make_elf(d));
            if (bits == 64 && !big) {
                Desc dyn = d;
                dyn.type = ET_DYN;
                write_file(dir + "/shared" + tag, make_elf(dyn));
                Desc cut = d;
                cut.truncate = make_elf(d).size() - 40;
                write_file(dir + "/truncated" + tag, make_elf(cut));
            }
            if (bits == 32 && big) {
                Desc wide = d;
                wide.sections[4].entsize = 24;  // entries larger than the record
                write_file(dir + "/wide_entries" + tag, make_elf(wide));
            }
        }
}

void rne_seeds(const std::string& dir) {
    char tmp[] = "/tmp/symkeep-seeds-XXXXXX";
    if (mkdtemp(tmp) == nullptr) std::exit(1);
    ZOLTA_StartThreadLog();
    ZOLTA_LogText("GSWITCH", "alpha on: Compiled In");
    ZOLTA_LogU32("count", 7);
    ZOLTA_LogInteger("size", 0x123456789ull);
    ZOLTA_LogAddress("where", 0x401000);
    ZOLTA_LogText("note", nullptr);
    uint32_t extra = 0xABCD;
    ZOLTA_LogEvent("with extra", "text", ZOLTA_TYPE_TEXT_EXTRA, extra);
    uint32_t bare = 42;
    ZOLTA_LogEvent("", &bare, ZOLTA_TYPE_BARE + 1, 0);
    ZOLTA_DumpAllRNEFiles(tmp);
    std::string name = std::string(tmp) + "/" + std::to_string(plat_process_id()) + "_" +
                       std::to_string(plat_thread_id()) + ".rne";
    std::string bytes = read_file(name);
    if (bytes.empty()) {
        std::fprintf(stderr, "no RNE file written\n");
        std::exit(1);
    }
    write_file(dir + "/events.rne", bytes);
    // The same log cut inside its last record, and with only the header.
    write_file(dir + "/cut.rne", bytes.substr(0, bytes.size() - 6));
    write_file(dir + "/header.rne", bytes.substr(0, ZOLTA_HEADER_SIZE));
    unlink(name.c_str());
    rmdir(tmp);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_make_seeds CORPUS_DIR\n");
        return 2;
    }
    std::string root = argv[1];
    mkdir((root + "/fuzz_pipeline").c_str(), 0777);
    mkdir((root + "/fuzz_rnereader").c_str(), 0777);
    elf_seeds(root + "/fuzz_pipeline");
    rne_seeds(root + "/fuzz_rnereader");
    return 0;
}
