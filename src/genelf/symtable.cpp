// Deferred symbol tables: the loader records where the symbols and their
// names lie, and the walk reads them through reused buffers.
//
// Everything a user can observe stays as if the tables had been read whole
// at load time: the same values (bytes past the end of the file read as
// 0xFF), the same refusals with the same first message.  What changes is the
// cost: a million-symbol table is read once through 256 KiB buffers instead
// of being copied into 100 MB of freshly faulted memory twice.
#include "genelf/symtable.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "genelf/records.h"
#include "platform/platform.h"
#include "shared/genexit.h"
#include "shared/genio.h"
#include "shared/genmem.h"

namespace {

constexpr uint64_t kChunkBytes = 256 * 1024;
constexpr uint64_t kWindowBytes = 256 * 1024;

// Reads [offset, offset + count) of the file into `into`; what lies past
// the end of the file (or cannot be read) is filled with 0xFF, the value the
// byte codec gives a byte taken at end of file.
void read_or_ff(FILE* stream, uint8_t* into, uint64_t offset, uint64_t count) {
    uint64_t got = 0;
    while (got < count) {
        long n = plat_pread(stream, into + got, count - got, offset + got);
        if (n <= 0) break;
        got += static_cast<uint64_t>(n);
    }
    if (got < count) std::memset(into + got, 0xFF, count - got);
}

// Decodes one symbol record of the file's class in ByteOrder.  Every
// symbol of a large table passes through here, so fields are loaded whole
// and byte-swapped only when the file's order is not the host's.
struct SymbolDecoder {
    bool is32;
    bool swap;

    template <typename T>
    T load(const uint8_t* p) const {
        T v;
        std::memcpy(&v, p, sizeof v);
        if (!swap) return v;
        if constexpr (sizeof(T) == 2) return static_cast<T>(__builtin_bswap16(v));
        if constexpr (sizeof(T) == 4) return __builtin_bswap32(v);
        if constexpr (sizeof(T) == 8) return __builtin_bswap64(v);
    }

    void decode(const uint8_t* p, Elf64_Sym* s) const {
        if (is32) {  // st_name, st_value, st_size, st_info, st_other, st_shndx
            s->st_name = load<uint32_t>(p);
            s->st_value = load<uint32_t>(p + 4);
            s->st_size = load<uint32_t>(p + 8);
            s->st_info = p[12];
            s->st_other = p[13];
            s->st_shndx = load<uint16_t>(p + 14);
        } else {  // st_name, st_info, st_other, st_shndx, st_value, st_size
            s->st_name = load<uint32_t>(p);
            s->st_info = p[4];
            s->st_other = p[5];
            s->st_shndx = load<uint16_t>(p + 6);
            s->st_value = load<uint64_t>(p + 8);
            s->st_size = load<uint64_t>(p + 16);
        }
    }
};

constexpr bool kHostBigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

[[noreturn]] void refuse_xindex(elfbits bits) {
    gen_fatal_exit(1, bits == 32 ? "elf_readsymbol: symbol requires SYMTAB_SHNDX section"
                                 : "elf64_readsymbol: symbol requires SYMTAB_SHNDX section");
}

uint64_t file_size(FILE* stream) {
    PlatStat st;
    return plat_fstat(stream, &st) == 0 && st.size > 0 ? static_cast<uint64_t>(st.size) : 0;
}

}  // namespace

void genelf_defer_symtab(FILE* stream, ElfImage* image) {
    image->syms = nullptr;
    image->strtab = nullptr;
    image->nsyms = 0;
    image->strtab_size = 0;
    ElfSymtabPlace place;
    if (!genelf_locate_symtab(stream, &place)) return;

    // As the eager reader leaves them until its entries are read; a refusal
    // below first walks the entries so that an SHN_XINDEX entry is still the
    // first thing reported.
    image->nsyms = static_cast<uint32_t>(place.count);
    image->syms_file = ElfFileTable{stream, place.sym_offset, 0, place.entsize, place.bits};
    if (place.link >= place.shnum) {
        genelf_scan_deferred_symbols(*image);
        genelf_check_symtab_link(place);
    }
    // The eager reader reads the names with one block read, which fails when
    // the table runs past the end of the file.
    uint64_t size = file_size(stream);
    if (place.str_offset > size || place.str_size > size - place.str_offset) {
        genelf_scan_deferred_symbols(*image);
        errno = 0;
        genelf_error("read failed, unexpected EOF", nullptr);
    }
    genelf_checked_size(place.str_size);
    if (place.count == 0 || place.str_size == 0) {
        image->nsyms = 0;
        image->syms_file = ElfFileTable{};
        return;
    }
    image->strtab_file = ElfFileTable{stream, place.str_offset, place.str_size, 0, place.bits};
    image->strtab_size = place.str_size;
}

void genelf_scan_deferred_symbols(const ElfImage& image) {
    if (image.syms_file.stream == nullptr) return;
    ElfSymbolWalk walk(image);
    Elf64_Sym s;
    while (walk.next(&s)) {
    }
}

// ---- ElfSymbolWalk ----

ElfSymbolWalk::ElfSymbolWalk(const ElfImage& image) : image_(image) {}

ElfSymbolWalk::~ElfSymbolWalk() { std::free(buffer_); }

void ElfSymbolWalk::refill() {
    const ElfFileTable& f = image_.syms_file;
    if (buffer_ == nullptr) buffer_ = static_cast<uint8_t*>(std::malloc(kChunkBytes + f.entsize));
    if (buffer_ == nullptr) gen_out_of_memory(kChunkBytes + f.entsize);
    uint64_t per_chunk = f.entsize <= kChunkBytes ? kChunkBytes / f.entsize : 1;
    uint64_t remaining = image_.nsyms - index_;
    buffered_first_ = index_;
    buffered_count_ = remaining < per_chunk ? remaining : per_chunk;
    // An entry larger than the chunk: only its record matters.
    uint64_t bytes = f.entsize <= kChunkBytes ? buffered_count_ * f.entsize : (f.bits == 32 ? 16 : 24);
    read_or_ff(f.stream, buffer_, f.offset + index_ * f.entsize, bytes);
}

bool ElfSymbolWalk::next(Elf64_Sym* sym) {
    if (index_ >= image_.nsyms) return false;
    const ElfFileTable& f = image_.syms_file;
    if (f.stream == nullptr) {
        *sym = image_.syms[index_++];
        return true;
    }
    if (index_ >= buffered_first_ + buffered_count_) refill();
    const SymbolDecoder decoder{f.bits == 32, (ByteOrder == BYTEORDER_BIG) != kHostBigEndian};
    uint64_t at = f.entsize <= kChunkBytes ? (index_ - buffered_first_) * f.entsize : 0;
    decoder.decode(buffer_ + at, sym);
    ++index_;
    if (sym->st_shndx == SHN_XINDEX) refuse_xindex(f.bits);
    return true;
}

// ---- ElfNameTable ----

ElfNameTable::ElfNameTable(const ElfImage& image)
    : memory_(image.strtab), size_(image.strtab_size), file_(image.strtab_file) {
    if (file_.stream != nullptr) max_refills_ = 2 * (file_.bytes / kWindowBytes) + 64;
}

ElfNameTable::~ElfNameTable() {
    std::free(window_);
    std::free(whole_);
    std::free(long_name_);
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
        whole_ = static_cast<uint8_t*>(std::malloc(size_ + 1));
        if (whole_ == nullptr) gen_out_of_memory(size_ + 1);
        read_bytes(whole_, 0, size_);
        return name_at(offset, length);
    }
    if (window_ == nullptr) window_ = static_cast<uint8_t*>(std::malloc(kWindowBytes));
    if (window_ == nullptr) gen_out_of_memory(kWindowBytes);
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
    std::free(long_name_);
    long_name_ = nullptr;
    for (;;) {
        uint64_t more = size_ - offset - have < kWindowBytes ? size_ - offset - have : kWindowBytes;
        if (more == 0) return nullptr;
        if (have + more > capacity || long_name_ == nullptr) {
            capacity = 2 * (have + more);
            auto* grown = static_cast<uint8_t*>(std::realloc(long_name_, capacity));
            if (grown == nullptr) gen_out_of_memory(capacity);
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
