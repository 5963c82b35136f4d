// Switch registry: registration, the index, the sources of values and the
// "GSWITCH" change log.
//
// Guarantees: every compiled-in record is registered exactly once, in
// section order; a name is defined by exactly one source line (anything else
// ends the program with status 1 before the tool does any work); a later
// source overrides an earlier one only through GSwitch_SetValue, which logs
// each effective change; bad switch-file lines and unknown names are warned
// about and otherwise ignored.  Everything the registry allocates lives until
// the process ends.
#include "shared/gswitch/gen_switch.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "shared/eventlog/zolta.h"
#include "shared/genexit.h"
#include "shared/genmem.h"
#include "shared/genout.h"
#include "shared/genstr.h"
#include "shared/gswitch/gen_switch_testing.h"
#include "shared/viewpath/viewpath.h"

namespace {

constexpr size_t kModulePathSize = 4096;
// Module handles fetched at most: 4096 bytes of them.
constexpr size_t kMaxModules = 512;
constexpr const char kNoModuleName[] = "UNABLE_TO_LOAD_MODULE_FILENAME";
constexpr const char kEnvPrefix[] = "ZEP_GSW_";

GSwitchTableEntry* g_table[GSWITCH_TABLE_SIZE];

PendingSwitch* g_pending_head = nullptr;
PendingSwitch* g_pending_tail = nullptr;

SwitchArg* g_args_head = nullptr;
SwitchArg* g_args_tail = nullptr;

bool g_init_started = false;
bool g_compiled_in_done = false;
bool g_file_read = false;
bool g_init_complete = false;

char g_module_path[kModulePathSize];

// A switch name is a run of printable characters other than the space.
bool is_word_char(char c) { return c > ' ' && c < 0x7f; }

char* skip_blanks(char* p) {
    while (gen_isspace(*p)) ++p;
    return p;
}

// The "%d" conversion of the formatted scan, without its undefined
// behaviour on overflow (the value saturates instead).  False when no
// number starts here.
bool scan_decimal(const char* p, int* out) {
    // The white space strtoll itself skips, vertical tab included.
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    const char* digits = (*p == '+' || *p == '-') ? p + 1 : p;
    if (!gen_isdigit(*digits)) return false;
    long long v = std::strtoll(p, nullptr, 10);
    if (v > INT_MAX) v = INT_MAX;
    if (v < INT_MIN) v = INT_MIN;
    *out = static_cast<int>(v);
    return true;
}

void free_pending(PendingSwitch* entry) {
    FreeHook(entry->name);
    std::memset(entry, 0, sizeof *entry);
    FreeHook(entry);
}

void append_pending(const char* name, uint8_t value) {
    auto* entry = static_cast<PendingSwitch*>(AllocHook(1, sizeof(PendingSwitch)));
    entry->name = gen_strdup(name);
    entry->value = value;
    if (g_pending_tail != nullptr)
        g_pending_tail->next = entry;
    else
        g_pending_head = entry;
    g_pending_tail = entry;
}

// Applies, in file order, every pending setting of this record's name and
// drops it from the list; the last one wins.
void apply_pending(GSwitch* gsw) {
    PendingSwitch* prev = nullptr;
    PendingSwitch* entry = g_pending_head;
    while (entry != nullptr) {
        PendingSwitch* next = entry->next;
        if (gen_strequal(entry->name, gsw->name)) {
            GSwitch_SetValue(gsw, entry->value, GSW_SOURCE_FILE);
            if (prev != nullptr)
                prev->next = next;
            else
                g_pending_head = next;
            free_pending(entry);
        } else {
            prev = entry;
        }
        entry = next;
    }
    g_pending_tail = prev;
}

void apply_environment(GSwitch* gsw) {
    char* variable = gen_strcat2(kEnvPrefix, gsw->name);
    const char* value = gen_getenv(variable);
    if (value != nullptr && (value[0] == '0' || value[0] == '1') && value[1] == '\0')
        GSwitch_SetValue(gsw, static_cast<uint8_t>(value[0] - '0'), GSW_SOURCE_ENVIRONMENT);
    FreeHook(variable);
}

// One line of the switch file; `line` is the reader's buffer, which is
// modified in place.
void parse_switch_line(char* line, int number) {
    char* p = skip_blanks(line);
    if (*p == '#' || *p == '\0') return;
    char* name = p;
    while (is_word_char(*p)) ++p;
    if (!gen_isspace(*p)) {
        gen_warning("Invalid switch format on line %d: %s\n", number, line);
        return;
    }
    *p = '\0';
    p = skip_blanks(p + 1);
    int value = 0;
    if (!scan_decimal(p, &value)) {
        gen_warning("Invalid switch value format on line %d for switch %s\n", number, name);
        return;
    }
    if (value != 0 && value != 1) {
        gen_warning("Invalid switch value %d on line %d for switch %s\n", value, number, name);
        return;
    }
    // Only plain digits may follow: a sign, a second word or a comment after
    // the value makes the line invalid.
    while (gen_isdigit(*p)) ++p;
    p = skip_blanks(p);
    if (*p != '\0') {
        gen_warning("Trailing garbage after switch on line %d for switch %s\n", number, name);
        return;
    }
    append_pending(name, static_cast<uint8_t>(value));
}

// Empties the pending list, warning about each entry when asked to.
void drop_pending(bool warn) {
    PendingSwitch* entry = g_pending_head;
    while (entry != nullptr) {
        PendingSwitch* next = entry->next;
        if (warn) gen_warning("Unknown switch specified in .gsw file: %s\n", entry->name);
        free_pending(entry);
        entry = next;
    }
    g_pending_head = nullptr;
    g_pending_tail = nullptr;
}

struct ArgumentForm {
    const char* prefix;
    size_t length;
    uint8_t value;
    uint32_t source;
};

// Matched in this order; the longer "-ZEPArg" forms cannot be mistaken for
// the short ones, whose fifth character is X or Z.
constexpr ArgumentForm kArgumentForms[] = {
    {"-ZEPX", 5, 1, GSW_SOURCE_COMMAND_LINE},
    {"-ZEPZ", 5, 0, GSW_SOURCE_COMMAND_LINE},
    {"-ZEPArgX", 8, 1, GSW_SOURCE_COMMAND_LINE_ARG},
    {"-ZEPArgZ", 8, 0, GSW_SOURCE_COMMAND_LINE_ARG},
};

const ArgumentForm* match_argument(const char* arg) {
    for (const ArgumentForm& form : kArgumentForms)
        if (std::strncmp(arg, form.prefix, form.length) == 0) return &form;
    return nullptr;
}

void apply_argument(const ArgumentForm& form, const char* name) {
    if (*name == '\0') {
        gen_warning("No ZEP XSwitch name specified, ignoring argument.\n");
        return;
    }
    GSwitch* gsw = GSwitch_Find(name);
    if (gsw != nullptr) GSwitch_SetValue(gsw, form.value, form.source);
    GSwitch_RecordArgument(name, form.value);
    // The argument form is meant for children, which may know switches this
    // program lacks: only the command-line form is reported.
    if (gsw == nullptr && form.source == GSW_SOURCE_COMMAND_LINE)
        gen_warning("No ZEP switch found for %s, ignoring\n", name);
}

void remove_argument(int32_t* argc, char** argv, int32_t index) {
    for (int32_t i = index; i + 1 < *argc; ++i) argv[i] = argv[i + 1];
    --*argc;
    argv[*argc] = nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------

void GSwitch_Initialize(int32_t* argc, char** argv) {
    if (g_init_started) return;
    g_init_started = true;
    GEN_ASSERT(argc != nullptr && argv != nullptr);

    GSwitch_RegisterCompiledIn();
    GSwitch_ReadFile();
    drop_pending(true);
    GEN_ASSERT(g_pending_head == nullptr);

    if (argc != nullptr && argv != nullptr) {
        int32_t i = 0;
        while (i < *argc && argv[i] != nullptr) {
            if (std::strcmp(argv[i], "--") == 0) break;
            const ArgumentForm* form = match_argument(argv[i]);
            if (form == nullptr) {
                ++i;
                continue;
            }
            apply_argument(*form, argv[i] + form->length);
            remove_argument(argc, argv, i);
        }
    }
    g_init_complete = true;
}

void GSwitch_RegisterCompiledIn() {
    if (g_compiled_in_done) return;
    g_compiled_in_done = true;
    uintptr_t begin = 0;
    uintptr_t end = 0;
    if (!plat_image_section("gswitch", &begin, &end)) return;
    for (uintptr_t slot = begin; slot + sizeof(GSwitch) <= end; slot += sizeof(GSwitch))
        GSwitch_Register(reinterpret_cast<GSwitch*>(slot));
}

void GSwitch_Register(GSwitch* gsw) {
    GEN_ASSERT(gsw != nullptr);
    if (gsw == nullptr || gsw->registered) return;
    if (g_init_complete)
        gen_fatal_exit(1, "Switch %s being registered after initialization is complete.\n", gsw->name);
    gsw->registered = 1;

    if (GSwitch* earlier = GSwitch_Find(gsw->name)) {
        if (!gen_pathequal(gsw->file, earlier->file))
            gen_fatal_exit(1, "Error: GSwitch %s is defined in multiple files (%s, %s)\n", gsw->name, gsw->file,
                           earlier->file);
        if (gsw->line != earlier->line)
            gen_fatal_exit(1, "Error: GSwitch %s is defined on multiple lines of the same file: %s#(%d,%d)\n",
                           gsw->name, earlier->file, gsw->line, earlier->line);
        // The same definition seen twice (say, a header's record in two
        // objects): share the first record's live value.
        gsw->real_switch_ptr = earlier;
        return;
    }
    GSwitch_Insert(gsw);
    gsw->real_switch_ptr = gsw;

    if (gsw->source != GSW_SOURCE_COMPILED_IN)
        gen_fatal_exit(1, "Error: GSwitch %s is not defined with the correct source.\n", gsw->name);

    // Flip the stored default so that setting it back is a change: the log
    // then always shows each switch's compiled-in value.
    const uint8_t dflt = gsw->value != 0 ? 1 : 0;
    gsw->value = static_cast<uint8_t>(!dflt);
    GSwitch_SetValue(gsw, dflt, GSW_SOURCE_COMPILED_IN);

    apply_environment(gsw);
    GSwitch_ReadFile();
    apply_pending(gsw);
}

void GSwitch_SetValue(GSwitch* gsw, uint8_t value, uint32_t source) {
    GEN_ASSERT(gsw != nullptr);
    if (gsw == nullptr) return;
    GSwitch* live = gsw->real_switch_ptr != nullptr ? gsw->real_switch_ptr : gsw;
    value = value != 0 ? 1 : 0;
    if (live->value == value) return;
    live->source = source;
    live->value = value;
    char* text = gen_strcat3(gsw->name, value ? " on: " : " off: ", GSwitch_SourceName(gsw));
    ZOLTA_LogText("GSWITCH", text);
    FreeHook(text);
}

uint64_t GSwitch_Hash(const char* name) {
    GEN_ASSERT(name != nullptr);
    uint64_t h = 0;
    if (name == nullptr) return h;
    for (const char* p = name; *p != '\0'; ++p) {
        const char c = *p;
        // Letters fold to lower case; every other byte counts as a signed
        // 8-bit value, so bytes from 0x80 up subtract.
        const int64_t v = static_cast<int8_t>(gen_tolower(c));
        h = h * 37 + static_cast<uint64_t>(v);
    }
    return h;
}

GSwitch* GSwitch_Find(const char* name) {
    GEN_ASSERT(name != nullptr);
    if (name == nullptr) return nullptr;
    const uint64_t key = GSwitch_Hash(name);
    for (GSwitchTableEntry* e = g_table[key % GSWITCH_TABLE_SIZE]; e != nullptr; e = e->next)
        if (e->key == key && gen_strequal(e->gsw->name, name)) return e->gsw;
    return nullptr;
}

void GSwitch_Insert(GSwitch* gsw) {
    GEN_ASSERT(gsw != nullptr);
    if (gsw == nullptr) return;
    auto* entry = static_cast<GSwitchTableEntry*>(AllocHook(1, sizeof(GSwitchTableEntry)));
    entry->key = GSwitch_Hash(gsw->name);
    entry->gsw = gsw;
    GSwitchTableEntry** link = &g_table[entry->key % GSWITCH_TABLE_SIZE];
    while (*link != nullptr) link = &(*link)->next;
    *link = entry;
}

const char* GSwitch_SourceName(const GSwitch* gsw) {
    GEN_ASSERT(gsw != nullptr);
    if (gsw == nullptr) return "Unknown";
    const GSwitch* live = gsw->real_switch_ptr != nullptr ? gsw->real_switch_ptr : gsw;
    switch (live->source) {
        case GSW_SOURCE_COMPILED_IN: return "Compiled In";
        case GSW_SOURCE_ENVIRONMENT: return "Environment Variable";
        case GSW_SOURCE_FILE: return "GSW File";
        case GSW_SOURCE_COMMAND_LINE: return "Command Line";
        case GSW_SOURCE_COMMAND_LINE_ARG: return "Command Line Arg";
        case GSW_SOURCE_RUNTIME: return "Runtime";
        default: return "Unknown";
    }
}

void GSwitch_ReadFile() {
    if (g_file_read) return;
    g_file_read = true;
    char* path = gen_setext(GSwitch_ModuleFileName(), ".gsw");
    FILE* file = gen_vp_fopen(path, "rt");
    FreeHook(path);
    if (file == nullptr) return;
    char* buffer = nullptr;
    size_t capacity = 0;
    int number = 0;
    while (gen_readline(file, &buffer, &capacity) != nullptr) {
        if (number < INT_MAX) ++number;
        parse_switch_line(buffer, number);
    }
    FreeHook(buffer);
    gen_vp_fclose(file);
}

// The module holding the registry: the first listed one whose image holds
// this routine (the executable itself, as the runtime is linked statically).
// When none does, the switch file is looked for under a name that says so,
// in the current directory.
const char* GSwitch_ModuleFileName() {
    if (g_module_path[0] != '\0') return g_module_path;
    PlatModule modules[kMaxModules] = {};
    size_t count = 0;
    if (plat_module_calls.list(modules, kMaxModules, &count) == 0) {
        gen_error("Unable to enumerate modules.\n");
        count = 0;
    }
    const auto self = reinterpret_cast<uintptr_t>(&GSwitch_ModuleFileName);
    for (size_t i = 0; i < count && i < kMaxModules; ++i) {
        uintptr_t base = 0;
        size_t size = 0;
        if (plat_module_calls.bounds(modules[i], &base, &size) == 0) continue;
        // Inclusive of the end, and without forming base + size, which
        // might wrap.
        if (base > self || self - base > size) continue;
        if (plat_module_calls.file_name(modules[i], g_module_path, sizeof g_module_path) == 0) {
            g_module_path[0] = '\0';
            gen_error("Unable to determine module filename.\n");
        }
        return g_module_path;
    }
    if (count >= kMaxModules) gen_error("Number of modules larger than expected.\n");
    std::memcpy(g_module_path, kNoModuleName, sizeof kNoModuleName);
    return g_module_path;
}

void GSwitch_RecordArgument(const char* name, uint8_t value) {
    GEN_ASSERT(name != nullptr);
    if (name == nullptr) return;
    auto* arg = static_cast<SwitchArg*>(AllocHook(1, sizeof(SwitchArg)));
    arg->text = gen_strcat2(value ? "-ZEPArgX" : "-ZEPArgZ", name);
    if (g_args_tail != nullptr)
        g_args_tail->next = arg;
    else
        g_args_head = arg;
    g_args_tail = arg;
    char* variable = gen_strcat2(kEnvPrefix, name);
    gen_setenv(variable, value ? "1" : "0");
    FreeHook(variable);
}

const PendingSwitch* GSwitch_PendingList() { return g_pending_head; }
const SwitchArg* GSwitch_ArgumentList() { return g_args_head; }
bool GSwitch_InitComplete() { return g_init_complete; }

// ---------------------------------------------------------------------------

void gswitch_reset_for_tests() {
    for (GSwitchTableEntry*& head : g_table) {
        while (head != nullptr) {
            GSwitchTableEntry* next = head->next;
            FreeHook(head);
            head = next;
        }
    }
    drop_pending(false);
    while (g_args_head != nullptr) {
        SwitchArg* next = g_args_head->next;
        FreeHook(g_args_head->text);
        FreeHook(g_args_head);
        g_args_head = next;
    }
    g_args_tail = nullptr;
    g_init_started = g_compiled_in_done = g_file_read = g_init_complete = false;
    g_module_path[0] = '\0';
}

void gswitch_set_module_file_name_for_tests(const char* path) {
    std::strncpy(g_module_path, path != nullptr ? path : "", sizeof g_module_path - 1);
    g_module_path[sizeof g_module_path - 1] = '\0';
}
