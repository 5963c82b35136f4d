#include "support/tempdir.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/symkeep-test-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
#ifdef _WIN32
    // The spelling the runtime's path routines give back (drive letter and
    // '\'), so that expected messages can be built from path() and file().
    char full[_MAX_PATH];
    if (_fullpath(full, path_.c_str(), sizeof full) == nullptr) throw std::runtime_error("_fullpath failed");
    path_ = full;
    for (char& c : path_)
        if (c == '/') c = '\\';
#endif
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}
