// Windows backend of the start-up, program-location and view-path services:
// process preparation, descriptor opens that are never inherited, access
// tests, directory creation, the environment, the user, host and folder
// queries, the process's module list and the image's own sections.
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "platform/platform.h"
#include "platform/backend.h"
#include "platform/win32/win32_internal.h"

// The image this code is linked into (defined by the linker).
extern "C" IMAGE_DOS_HEADER __ImageBase;

int plat_sys_open(const char* name, int flags, int perm) {
    const int pmode = ((perm & 0444) ? _S_IREAD : 0) | ((perm & 0222) ? _S_IWRITE : 0);
    return ::_open(name, flags | _O_NOINHERIT | _O_BINARY, pmode);
}

int plat_sys_access(const char* path, int mode) {
    // Execute permission is not a separate right here: existence stands in.
    return ::_access(path, mode & 6);
}

const int PLAT_O_RDONLY = _O_RDONLY;
const int PLAT_O_WRONLY = _O_WRONLY;
const int PLAT_O_RDWR = _O_RDWR;
const int PLAT_O_ACCMODE = _O_RDONLY | _O_WRONLY | _O_RDWR;
const int PLAT_O_APPEND = _O_APPEND;
const int PLAT_O_CREAT = _O_CREAT;
const int PLAT_O_TRUNC = _O_TRUNC;

int plat_close(int fd) { return ::_close(fd); }

int plat_sys_mkdir(const char* path, int /*mode*/) { return ::_mkdir(path); }

// An empty value removes the variable: Windows keeps no empty ones, and the
// runtime reads an empty value as unset anyway.
int plat_setenv(const char* name, const char* value) { return ::_putenv_s(name, value) == 0 ? 0 : -1; }

size_t plat_full_path_name(const char* path, char* buf, size_t cap) {
    if (path == nullptr || *path == '\0' || buf == nullptr || cap == 0) return 0;
    const DWORD size = cap > 0x7fffffffu ? 0x7fffffffu : static_cast<DWORD>(cap);
    // Too small a buffer answers the size needed, terminator included,
    // which is more than `cap`.
    return ::GetFullPathNameA(path, size, buf, nullptr);
}

size_t plat_user_name(char* buf, size_t cap) {
    if (buf == nullptr || cap == 0) return 0;
    DWORD size = cap > 0x7fffffffu ? 0x7fffffffu : static_cast<DWORD>(cap);
    if (!::GetUserNameA(buf, &size) || size == 0) {
        buf[0] = '\0';
        return 0;
    }
    return std::strlen(buf);
}

int plat_sys_gethostname(char* buf, size_t cap) {
    WSADATA data;
    const bool started = ::WSAStartup(0x0101, &data) == 0;
    const int rc = ::gethostname(buf, cap > 0x7fffffffu ? 0x7fffffff : static_cast<int>(cap));
    if (started) ::WSACleanup();
    return rc;
}

size_t plat_user_config_dir(char* buf, size_t cap) {
    // The roaming application-data folder (CSIDL_APPDATA), created when
    // missing.  Looked up by name: the shell library is loaded only here.
    using FolderPathFn = BOOL(WINAPI*)(HWND, LPSTR, int, BOOL);
    const auto folder_path = reinterpret_cast<FolderPathFn>(win32_lookup("shell32.dll", "SHGetSpecialFolderPathA"));
    char path[MAX_PATH + 1] = "";
    if (folder_path == nullptr || !folder_path(nullptr, path, 26, TRUE)) return 0;
    return plat_copy_text(path, buf, cap);
}

// ---------------------------------------------------------------------------
// Services with a meaning on Windows only.
// ---------------------------------------------------------------------------

void plat_prepare_process() {
    // Normal memory priority for a process of the normal priority class.
    if (::GetPriorityClass(::GetCurrentProcess()) == NORMAL_PRIORITY_CLASS) {
        ULONG priority = 5;
        using SetInfoFn = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD);
        using NtSetInfoFn = LONG(NTAPI*)(HANDLE, int, PVOID, ULONG);
        if (const auto set = reinterpret_cast<SetInfoFn>(win32_lookup("kernel32.dll", "SetProcessInformation"))) {
            set(::GetCurrentProcess(), 0 /* memory priority */, &priority, sizeof priority);
        } else if (const auto nt_set =
                       reinterpret_cast<NtSetInfoFn>(win32_lookup("ntdll.dll", "NtSetInformationProcess"))) {
            nt_set(::GetCurrentProcess(), 39 /* page priority */, &priority, sizeof priority);
        }
    }
    // Started once and never stopped: the socket library stays available
    // for the life of the process.
    WSADATA data;
    ::WSAStartup(0x0101, &data);
}

bool plat_path_is_rooted(const char* path) {
    if (path == nullptr || path[0] == '\0') return false;
    return path[0] == '/' || path[0] == '\\' || path[1] == ':';
}

int plat_sys_list_modules(PlatModule* modules, size_t cap, size_t* count) {
    // A module handle is the module's base address: the system writes the
    // same bits a PlatModule holds.
    static_assert(sizeof(HMODULE) == sizeof(PlatModule), "a module handle is a pointer");
    constexpr size_t kMaxCap = 0x7fffffffu / sizeof(HMODULE);
    const DWORD bytes = static_cast<DWORD>((cap < kMaxCap ? cap : kMaxCap) * sizeof(HMODULE));
    DWORD needed = 0;
    if (!::EnumProcessModules(::GetCurrentProcess(), reinterpret_cast<HMODULE*>(modules), bytes, &needed)) return 0;
    *count = needed / sizeof(HMODULE);
    return 1;
}

int plat_sys_module_bounds(PlatModule module, uintptr_t* base, size_t* size) {
    MODULEINFO info;
    if (!::GetModuleInformation(::GetCurrentProcess(), static_cast<HMODULE>(module), &info, sizeof info)) return 0;
    *base = reinterpret_cast<uintptr_t>(info.lpBaseOfDll);
    *size = info.SizeOfImage;
    return 1;
}

size_t plat_sys_module_file_name(PlatModule module, char* buf, size_t cap) {
    return win32_module_file_name(static_cast<HMODULE>(module), buf, cap);
}

int plat_image_section(const char* name, uintptr_t* begin, uintptr_t* end) {
    *begin = 0;
    *end = 0;
    if (name == nullptr) return 0;
    // The table holds 8 bytes per name, NUL-padded: a shorter name matches
    // with its terminator, a name of 8 exactly, a longer one never (the
    // linker keeps those in the string table, which is not loaded).
    const size_t len = std::strlen(name);
    if (len > IMAGE_SIZEOF_SHORT_NAME) return 0;
    const size_t compare = len < IMAGE_SIZEOF_SHORT_NAME ? len + 1 : len;
    const auto base = reinterpret_cast<const unsigned char*>(&__ImageBase);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE) return 0;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE) return 0;
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        if (std::memcmp(section->Name, name, compare) != 0) continue;
        *begin = reinterpret_cast<uintptr_t>(base) + section->VirtualAddress;
        *end = *begin + section->Misc.VirtualSize;
        return 1;
    }
    return 0;
}
