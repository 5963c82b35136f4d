// A fresh directory under the system temporary directory, removed with its
// contents when the object goes out of scope.  On Windows the path is the
// full one with a drive letter and '\' throughout, as the runtime writes it.
#pragma once

#include <string>

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
#ifdef _WIN32
    static constexpr char kSeparator = '\\';
#else
    static constexpr char kSeparator = '/';
#endif
    std::string file(const std::string& name) const { return path_ + kSeparator + name; }

private:
    std::string path_;
};

// `path` (written with '/') spelled as the runtime's path routines write it.
inline std::string native(std::string path) {
    for (char& c : path)
        if (c == '/') c = TempDir::kSeparator;
    return path;
}

// `rel` (written with '/') under `dir`, in that spelling.
inline std::string under(const std::string& dir, const std::string& rel) {
    return dir + TempDir::kSeparator + native(rel);
}
