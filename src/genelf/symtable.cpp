// The symbol table: choosing it, the walk over its entries, the window over
// its names, and the readers that fill arrays from the walk.
//
// The values are those of tables read whole at load time (bytes past the end
// of the file read as 0xFF), and so are the refusals, but for one thing: an
// SHN_XINDEX entry is refused when the walk reaches it, during the
// reduction, so a refusal found before it (of the file's type, its string
// table, the name of an earlier symbol) is the one reported.  Finding it at
// load time would mean reading every entry twice: a tenth more time for a
// million symbols.  What this buys: a million-symbol table is read once
// through a 256 KiB buffer instead of being copied into 100 MB of freshly
// faulted memory twice.
#include "genelf/symtable.h"

#include <cerrno>
#include <cstring>
#include <type_traits>

#include "genelf/validate.h"
#include "platform/platform.h"
#include "shared/genexit.h"
#include "shared/genio.h"
#include "shared/genmem.h"

namespace {

constexpr uint64_t kWindowBytes = 256 * 1024;

size_t record_size(elfbits bits) { return bits == 32 ? sizeof(Elf32_Sym) : sizeof(Elf64_Sym); }

[[noreturn]] void refuse_xindex(elfbits bits) {
    gen_fatal_exit(1, bits == 32 ? "elf_readsymbol: symbol requires SYMTAB_SHNDX section"
                                 : "elf64_readsymbol: symbol requires SYMTAB_SHNDX section");
}

uint64_t file_size(FILE* stream) {
    PlatStat st;
    return plat_fstat(stream, &st) == 0 && st.size > 0 ? static_cast<uint64_t>(st.size) : 0;
}

int find_section(const Elf64_Shdr* shdrs, uint32_t count, const uint8_t* names, const char* wanted) {
    for (uint32_t i = 0; i < count; ++i)
        if (std::strcmp(reinterpret_cast<const char*>(names + shdrs[i].sh_name), wanted) == 0)
            return static_cast<int>(i);
    return -1;
}

elfbits class_of(const Elf64_Ehdr& h) {
    switch (h.e_ident[EI_CLASS]) {
        case ELFCLASS32: return 32;
        case ELFCLASS64: return 64;
        default: return -1;
    }
}

// elf_readsymbol and elf64_readsymbol: `count` entries from `offset` (-1:
// the stream's position) into `array` of the class's record form.
template <class Forms>
typename Forms::Sym* read_symbols(FILE* stream, typename Forms::Sym* array, int64_t count, int64_t offset,
                                  int64_t entsize) {
    using Sym = typename Forms::Sym;
    if (offset != kCurrentPosition)
        gen_safe_fseek64(nullptr, stream, offset, SEEK_SET);
    else
        offset = plat_ftell64(stream);
    bool obtained = false;
    if (array == nullptr && count != 0) {
        array = static_cast<Sym*>(genelf_alloc_array(static_cast<uint64_t>(count), sizeof(Sym)));
        obtained = true;
    }
    if (entsize == 0) entsize = static_cast<int64_t>(sizeof(Sym));
    if (entsize < static_cast<int64_t>(sizeof(Sym))) {
        if (obtained) FreeHook(array);
        return nullptr;
    }
    if (array == nullptr) return nullptr;
    const uint64_t n = count > 0 ? static_cast<uint64_t>(count) : 0;
    ElfSymbolWalk walk(ElfFileTable{stream, static_cast<uint64_t>(offset), 0, static_cast<uint64_t>(entsize),
                                    Forms::bits},
                       n);
    Elf64_Sym s;
    for (uint64_t i = 0; walk.next(&s); ++i) {
        if constexpr (std::is_same<Sym, Elf64_Sym>::value)
            array[i] = s;
        else
            genelf_narrow(s, &array[i]);
    }
    return array;
}

}  // namespace

bool genelf_find_symtab(const Elf64_Shdr* shdrs, uint32_t shnum, const uint8_t* names, elfbits bits, int64_t base,
                        ElfSymtabPlace* place) {
    *place = ElfSymtabPlace{};
    place->index = -1;
    place->bits = bits;
    place->shnum = shnum;
    int index = find_section(shdrs, shnum, names, ".symtab");
    if (index < 0) index = find_section(shdrs, shnum, names, ".dynsym");
    if (index < 0) return false;
    const Elf64_Shdr& s = shdrs[index];
    const auto record = static_cast<int64_t>(record_size(bits));
    auto entsize = static_cast<int64_t>(s.sh_entsize);
    if (entsize != 0 && entsize < record) return false;
    if (entsize == 0) entsize = record;
    place->index = index;
    place->entsize = static_cast<uint64_t>(entsize);
    place->count = s.sh_size / place->entsize;
    place->sym_offset = static_cast<uint64_t>(base) + s.sh_offset;
    place->link = s.sh_link;
    if (s.sh_link < shnum) {
        place->str_offset = static_cast<uint64_t>(base) + shdrs[s.sh_link].sh_offset;
        place->str_size = shdrs[s.sh_link].sh_size;
    }
    if (bits == 32 && (place->sym_offset > 0xFFFFFFFFu || place->entsize > 0xFFFFFFFFu)) genelf_overflow();
    return true;
}

void genelf_check_symtab_link(const ElfSymtabPlace& place) {
    if (place.link >= place.shnum)
        genelf_errorf("symbol table section %d: sh_link %u is not a valid section index (e_shnum is %u)",
                      place.index, place.link, place.shnum);
}

uint64_t genelf_read_symtab(FILE* stream, Elf64_Sym** syms, uint8_t** strings) {
    if (stream == nullptr || syms == nullptr || strings == nullptr) return 0;
    *syms = nullptr;
    *strings = nullptr;
    // The section headers and names are read again here, privately, so this
    // reader works on any stream positioned at the start of an ELF file.
    const int64_t base = plat_ftell64(stream);
    const elfbits bits = genelf_elfbits(stream, base);
    if (bits != 32 && bits != 64) genelf_bad_elfbits();
    Elf64_Shdr* shdrs = nullptr;
    uint8_t* names = nullptr;
    uint32_t shnum = genelf_read_section_headers(stream, &shdrs, &names);
    ElfSymtabPlace place;
    bool found = shnum != 0 && genelf_find_symtab(shdrs, shnum, names, bits, base, &place);
    FreeHook(shdrs);
    FreeHook(names);
    if (!found) return 0;

    uint64_t count = place.count;
    gen_safe_fseek64(nullptr, stream, static_cast<int64_t>(place.sym_offset), SEEK_SET);
    auto* symbols = static_cast<Elf64_Sym*>(genelf_alloc_array(count, sizeof(Elf64_Sym)));
    ElfSymbolWalk walk(ElfFileTable{stream, place.sym_offset, 0, place.entsize, bits}, count);
    Elf64_Sym s;
    for (uint64_t i = 0; walk.next(&s); ++i) symbols[i] = s;
    genelf_check_symtab_link(place);
    gen_safe_fseek64(nullptr, stream, static_cast<int64_t>(place.str_offset), SEEK_SET);
    auto* strtab = static_cast<uint8_t*>(genelf_read_block(stream, nullptr, genelf_checked_size(place.str_size)));
    if (symbols == nullptr || strtab == nullptr) {
        count = 0;
        FreeHook(symbols);
        FreeHook(strtab);
        symbols = nullptr;
        strtab = nullptr;
    }
    *syms = symbols;
    *strings = strtab;
    return count;
}

Elf32_Sym* elf_readsymbol(FILE* stream, Elf32_Sym* array, int64_t count, int64_t offset, int64_t entsize) {
    return read_symbols<Elf32Forms>(stream, array, count, offset, entsize);
}

Elf64_Sym* elf64_readsymbol(FILE* stream, Elf64_Sym* array, int64_t count, int64_t offset, int64_t entsize) {
    return read_symbols<Elf64Forms>(stream, array, count, offset, entsize);
}

void genelf_defer_symtab(FILE* stream, ElfImage* image) {
    image->syms = nullptr;
    image->strtab = nullptr;
    image->nsyms = 0;
    image->strtab_size = 0;
    const elfbits bits = class_of(image->ehdr);
    if (bits != 32 && bits != 64) genelf_bad_elfbits();
    ElfSymtabPlace place;
    if (image->shdrs == nullptr ||
        !genelf_find_symtab(image->shdrs, image->ehdr.e_shnum, image->shstrtab, bits, 0, &place))
        return;

    // What a reader of the whole table does before its entries: move to
    // them, and obtain room for all of them, which the image counts in 32
    // bits.
    gen_safe_fseek64(nullptr, stream, static_cast<int64_t>(place.sym_offset), SEEK_SET);
    if (place.count > UINT32_MAX)
        genelf_errorf("symbol table section %d: %I64u entries, more than the %u this tool can hold", place.index,
                      place.count, UINT32_MAX);
    // And after them: move to the string table and read it whole, which
    // fails when it runs past the end of the file.
    genelf_check_symtab_link(place);
    gen_safe_fseek64(nullptr, stream, static_cast<int64_t>(place.str_offset), SEEK_SET);
    uint64_t size = file_size(stream);
    if (place.str_size != 0 && (place.str_offset > size || place.str_size > size - place.str_offset)) {
        errno = 0;
        genelf_error("read failed, unexpected EOF", nullptr);
    }
    genelf_checked_size(place.str_size);
    if (place.count == 0 || place.str_size == 0) return;
    image->nsyms = static_cast<uint32_t>(place.count);
    image->syms_file = ElfFileTable{stream, place.sym_offset, 0, place.entsize, place.bits};
    image->strtab_file = ElfFileTable{stream, place.str_offset, place.str_size, 0, place.bits};
    image->strtab_size = place.str_size;
}

// ---- ElfSymbolWalk ----

ElfSymbolWalk::ElfSymbolWalk(const ElfFileTable& table, uint64_t count)
    : memory_(nullptr),
      bits_(table.bits),
      count_(count),
      table_(table.stream, table.offset, table.entsize, count, record_size(table.bits)) {
    if (count != 0) swap_ = genelf_swap_for_reading();
}

ElfSymbolWalk::ElfSymbolWalk(const ElfImage& image)
    : ElfSymbolWalk(image.syms_file, image.syms_file.stream != nullptr ? image.nsyms : 0) {
    if (image.syms_file.stream == nullptr) {
        memory_ = image.syms;
        count_ = image.nsyms;
    }
}

bool ElfSymbolWalk::next(Elf64_Sym* sym) {
    if (index_ >= count_) return false;
    if (memory_ != nullptr) {
        *sym = memory_[index_++];
        return true;
    }
    const uint8_t* bytes = table_.entry(index_++);
    if (bits_ == 32) {
        Elf32_Sym s;
        genelf_decode(bytes, &s, swap_);
        genelf_widen(s, sym);
    } else {
        genelf_decode(bytes, sym, swap_);
    }
    if (sym->st_shndx == SHN_XINDEX) refuse_xindex(bits_);
    return true;
}

// ---- ElfNameTable ----

ElfNameTable::ElfNameTable(const ElfImage& image)
    : memory_(image.strtab), size_(image.strtab_size), file_(image.strtab_file) {
    if (file_.stream != nullptr) max_refills_ = 2 * (file_.bytes / kWindowBytes) + 64;
}

ElfNameTable::~ElfNameTable() {
    FreeHook(window_);
    FreeHook(whole_);
    FreeHook(long_name_);
}

const char* ElfNameTable::name_at(uint64_t offset, size_t* length) {
    const char* name;
    if (file_.stream == nullptr || whole_ != nullptr) {
        name = genelf_name_at(whole_ != nullptr ? whole_ : memory_, size_, offset);
        if (name != nullptr) *length = std::strlen(name);
        return name;
    }
    return from_file(offset, length);
}

void ElfNameTable::read_bytes(uint8_t* into, uint64_t offset, uint64_t count) {
    // The part of the table copied from the file, then the zeros it was
    // padded with when the copy asked for more than the loaded table held.
    uint64_t from_file = offset < file_.bytes ? (file_.bytes - offset < count ? file_.bytes - offset : count) : 0;
    uint64_t got = 0;
    while (got < from_file) {
        long n = plat_pread(file_.stream, into + got, from_file - got, file_.offset + offset + got);
        if (n <= 0) {
            errno = n < 0 ? errno : 0;
            genelf_error(n < 0 ? "read failed" : "read failed, unexpected EOF", nullptr);
        }
        got += static_cast<uint64_t>(n);
    }
    std::memset(into + from_file, 0, count - from_file);
}

const char* ElfNameTable::from_file(uint64_t offset, size_t* length) {
    if (offset >= size_) return nullptr;
    if (offset >= window_start_ && offset < window_end_) {
        const uint8_t* at = window_ + (offset - window_start_);
        if (const void* nul = std::memchr(at, 0, window_end_ - offset)) {
            *length = static_cast<size_t>(static_cast<const uint8_t*>(nul) - at);
            return reinterpret_cast<const char*>(at);
        }
        if (window_end_ == size_) return nullptr;  // runs off the end of the table
    }
    if (++refills_ > max_refills_) {
        // Names far out of order: one read of the whole table beats
        // re-reading a window for every name.
        whole_ = static_cast<uint8_t*>(AllocHook(size_ + 1, 1));
        read_bytes(whole_, 0, size_);
        return name_at(offset, length);
    }
    if (window_ == nullptr) window_ = static_cast<uint8_t*>(AllocHook(kWindowBytes, 1));
    window_start_ = offset;
    window_end_ = size_ - offset < kWindowBytes ? size_ : offset + kWindowBytes;
    read_bytes(window_, window_start_, window_end_ - window_start_);
    if (const void* nul = std::memchr(window_, 0, window_end_ - window_start_)) {
        *length = static_cast<size_t>(static_cast<const uint8_t*>(nul) - window_);
        return reinterpret_cast<const char*>(window_);
    }
    if (window_end_ == size_) return nullptr;

    // A name longer than the window: read on until its NUL.
    uint64_t have = window_end_ - window_start_;
    uint64_t capacity = have;
    FreeHook(long_name_);
    long_name_ = nullptr;
    for (;;) {
        uint64_t more = size_ - offset - have < kWindowBytes ? size_ - offset - have : kWindowBytes;
        if (more == 0) return nullptr;
        if (have + more > capacity || long_name_ == nullptr) {
            capacity = 2 * (have + more);
            auto* grown = static_cast<uint8_t*>(ReallocHook(long_name_, static_cast<int64_t>(capacity)));
            if (long_name_ == nullptr) std::memcpy(grown, window_, have);
            long_name_ = grown;
        }
        read_bytes(long_name_ + have, offset + have, more);
        const void* nul = std::memchr(long_name_ + have, 0, more);
        have += more;
        if (nul != nullptr) {
            *length = static_cast<size_t>(static_cast<const uint8_t*>(nul) - long_name_);
            return reinterpret_cast<const char*>(long_name_);
        }
    }
}
