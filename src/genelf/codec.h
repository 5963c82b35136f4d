// The record codec: every record form of elf_types.h decoded from and
// encoded to its file bytes in ByteOrder, converted between its ELF32 and
// 64-bit forms, read from a table in the file and written to the output.
// All of it is generated from the record descriptions, so the readers and
// writers of both classes and both byte orders share one field list per
// record form.  Internal to the library.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <type_traits>

#include "genelf/genelf.h"

// The table offset that means "where the stream stands" to the readers.
constexpr int64_t kCurrentPosition = -1;

// ---- one field ----

template <class T>
inline T genelf_byteswap(T v) {
    if constexpr (sizeof(T) == 2) return static_cast<T>(__builtin_bswap16(static_cast<uint16_t>(v)));
    if constexpr (sizeof(T) == 4) return static_cast<T>(__builtin_bswap32(static_cast<uint32_t>(v)));
    if constexpr (sizeof(T) == 8) return static_cast<T>(__builtin_bswap64(static_cast<uint64_t>(v)));
    return v;
}

// Fields are loaded whole and byte-swapped only when the file's order is not
// the host's: every symbol of a large table passes through here.
template <class T>
inline void genelf_get(const uint8_t* bytes, T& v, bool swap) {
    std::memcpy(&v, bytes, sizeof v);
    if (swap) v = genelf_byteswap(v);
}
inline void genelf_get(const uint8_t* bytes, ElfIdent& v, bool) { std::memcpy(v, bytes, EI_NIDENT); }

template <class T>
inline void genelf_put(uint8_t* bytes, T v, bool swap) {
    if (swap) v = genelf_byteswap(v);
    std::memcpy(bytes, &v, sizeof v);
}
inline void genelf_put(uint8_t* bytes, const ElfIdent& v, bool) { std::memcpy(bytes, v, EI_NIDENT); }

// Widening zero-extends (no relocation record is converted, so nothing
// signed is).  Narrowing a value that does not fit is "ELF file overflow"
// when `checked`, and keeps the low bits otherwise.
template <class S, class D>
inline void genelf_convert_field(const S& s, D& d, bool checked) {
    if constexpr (sizeof(D) < sizeof(S)) {
        if (checked && s > std::numeric_limits<D>::max()) genelf_overflow();
    }
    d = static_cast<D>(s);
}
inline void genelf_convert_field(const ElfIdent& s, ElfIdent& d, bool) { std::memcpy(d, s, EI_NIDENT); }

// ---- what the descriptions generate here ----

#define GENELF_GET(type, name, offset) genelf_get(bytes + (offset), r->name, swap);
#define GENELF_PUT(type, name, offset) genelf_put(bytes + (offset), r.name, swap);
#define GENELF_CONVERT(type, name, offset) genelf_convert_field(s.name, d->name, checked);

// A record decoded from and encoded to its file bytes; `swap` when the
// file's byte order is not the host's.
#define GENELF_CODEC(Rec, LIST)                                                      \
    inline void genelf_decode(const uint8_t* bytes, Rec* r, bool swap) { LIST(GENELF_GET) } \
    inline void genelf_encode(uint8_t* bytes, const Rec& r, bool swap) { LIST(GENELF_PUT) }

// The conversions match fields by name, going down the ELF32 list, so a
// field that changes place between the layouts (p_flags, the symbol fields)
// still meets its namesake, and the fields that must fit in 32 bits are
// checked in ELF32 order.
#define GENELF_CLASS_PAIR(R32, R64, LIST32, CHECKED)                                  \
    inline void genelf_widen(const R32& s, R64* d) {                                 \
        constexpr bool checked = false;                                              \
        LIST32(GENELF_CONVERT)                                                       \
    }                                                                                \
    inline void genelf_narrow(const R64& s, R32* d) {                                \
        constexpr bool checked = CHECKED;                                            \
        LIST32(GENELF_CONVERT)                                                       \
    }

GENELF_CODEC(Elf32_Ehdr, GENELF_ELF32_EHDR)
GENELF_CODEC(Elf64_Ehdr, GENELF_ELF64_EHDR)
GENELF_CODEC(Elf32_Phdr, GENELF_ELF32_PHDR)
GENELF_CODEC(Elf64_Phdr, GENELF_ELF64_PHDR)
GENELF_CODEC(Elf32_Shdr, GENELF_ELF32_SHDR)
GENELF_CODEC(Elf64_Shdr, GENELF_ELF64_SHDR)
GENELF_CODEC(Elf32_Sym, GENELF_ELF32_SYM)
GENELF_CODEC(Elf64_Sym, GENELF_ELF64_SYM)
GENELF_CODEC(Elf32_Rel, GENELF_ELF32_REL)
GENELF_CODEC(Elf64_Rel, GENELF_ELF64_REL)
GENELF_CODEC(Elf32_Rela, GENELF_ELF32_RELA)
GENELF_CODEC(Elf64_Rela, GENELF_ELF64_RELA)

GENELF_CLASS_PAIR(Elf32_Ehdr, Elf64_Ehdr, GENELF_ELF32_EHDR, true)
GENELF_CLASS_PAIR(Elf32_Phdr, Elf64_Phdr, GENELF_ELF32_PHDR, true)
GENELF_CLASS_PAIR(Elf32_Shdr, Elf64_Shdr, GENELF_ELF32_SHDR, true)
// st_value and st_size keep their low 32 bits without a check: ELF32
// symbols cannot carry more, and a 64-bit form read from an ELF32 file
// never has more.
GENELF_CLASS_PAIR(Elf32_Sym, Elf64_Sym, GENELF_ELF32_SYM, false)

inline void genelf_widen(const Elf64_Ehdr& s, ElfXHeader* d) {
    constexpr bool checked = false;
    GENELF_ELF64_EHDR(GENELF_CONVERT)
}

// A record in the form a reader was asked for: as read, or widened.
template <class Form, class Out>
inline void genelf_store(const Form& in, Out* out) {
    if constexpr (std::is_same<Form, Out>::value)
        *out = in;
    else
        genelf_widen(in, out);
}

// The record forms of one class, for code written once for both.
template <elfbits Bits, class E, class P, class S, class Y, class R, class RA>
struct ElfClassForms {
    using Ehdr = E;
    using Phdr = P;
    using Shdr = S;
    using Sym = Y;
    using Rel = R;
    using Rela = RA;
    static constexpr elfbits bits = Bits;
};
using Elf32Forms = ElfClassForms<32, Elf32_Ehdr, Elf32_Phdr, Elf32_Shdr, Elf32_Sym, Elf32_Rel, Elf32_Rela>;
using Elf64Forms = ElfClassForms<64, Elf64_Ehdr, Elf64_Phdr, Elf64_Shdr, Elf64_Sym, Elf64_Rel, Elf64_Rela>;

// The one dispatch on the class: fn(Elf32Forms{}) or fn(Elf64Forms{}), and
// "Unexpected elfbits" for any other value.
template <class Fn>
inline auto genelf_by_class(elfbits bits, Fn&& fn) {
    if (bits == 32) return fn(Elf32Forms{});
    if (bits != 64) genelf_bad_elfbits();
    return fn(Elf64Forms{});
}

// ---- whole records ----

// Whether fields read now must be byte-swapped; "internal, endian not set"
// while no header has set ByteOrder.
bool genelf_swap_for_reading();
// The same for writing, where only 16- and 32-bit fields need ByteOrder set:
// a 64-bit field is written little-endian then.
bool genelf_swap_for_writing(bool has_short_fields);

template <class Rec>
constexpr bool genelf_has_short_fields() {
    for (const ElfFieldLayout& f : ElfLayout<Rec>::fields)
        if (f.width == 2 || f.width == 4) return true;
    return false;
}

// Reads up to `count` bytes at the stream's position; what the file does
// not hold reads as 0xFF, the low byte of the EOF a byte read would give.
void genelf_read_or_ff(FILE* stream, uint8_t* into, size_t count);

// Writes `n` records through a buffer of the codec's own: one fwrite per
// buffer rather than one putc per byte (a kept table of a hundred thousand
// symbols is 2.4 million bytes).
class ElfRecordSink {
public:
    explicit ElfRecordSink(FILE* stream) : stream_(stream) {}
    ~ElfRecordSink() { flush(); }
    ElfRecordSink(const ElfRecordSink&) = delete;
    ElfRecordSink& operator=(const ElfRecordSink&) = delete;
    uint8_t* reserve(size_t bytes) {
        if (used_ + bytes > sizeof buffer_) flush();
        uint8_t* at = buffer_ + used_;
        used_ += bytes;
        return at;
    }
    void flush();

private:
    FILE* stream_;
    size_t used_ = 0;
    uint8_t buffer_[16384];
};

// Writes `n` records held in their in-memory form Mem as records of the
// form Form: the same form, or the ELF32 one they are narrowed to.
template <class Form, class Mem>
void genelf_write_records(FILE* stream, const Mem* records, uint64_t n) {
    if (n == 0) return;
    const bool swap = genelf_swap_for_writing(genelf_has_short_fields<Form>());
    ElfRecordSink sink(stream);
    for (uint64_t i = 0; i < n; ++i) {
        if constexpr (std::is_same<Form, Mem>::value) {
            genelf_encode(sink.reserve(sizeof(Form)), records[i], swap);
        } else {
            Form narrowed;
            genelf_narrow(records[i], &narrowed);
            genelf_encode(sink.reserve(sizeof(Form)), narrowed, swap);
        }
    }
}

// ---- tables in the file ----

// The entries of one table of the file (`count` entries, `entsize` bytes
// apart from `offset` on, each starting with a record of `record` bytes),
// read in increasing order through one reused buffer with positioned reads,
// so the stream's position does not move.  Bytes past the end of the file
// read as 0xFF, as the byte codec reads them; the buffer spans at most the
// entries that start before the end of the file, since every later one is
// the same record of 0xFF bytes.
class ElfTableReader {
public:
    ElfTableReader(FILE* stream, uint64_t offset, uint64_t entsize, uint64_t count, size_t record);
    ~ElfTableReader();
    ElfTableReader(const ElfTableReader&) = delete;
    ElfTableReader& operator=(const ElfTableReader&) = delete;

    // The record bytes of entry i; valid until the next call.
    const uint8_t* entry(uint64_t i);
    // How many entries, from the first, start before the end of the file
    // (all of them when the stream's size is unknown).
    uint64_t entries_in_file() const { return in_file_; }

private:
    void refill(uint64_t first);

    FILE* stream_;
    uint64_t offset_, entsize_;
    size_t record_;
    uint64_t in_file_;
    uint64_t per_chunk_;     // entries one buffer holds
    size_t capacity_;        // bytes of buffer_
    uint8_t* buffer_ = nullptr;
    uint64_t first_ = 0, held_ = 0;  // entries [first_, first_ + held_) are in buffer_
};

// Sets out[from + 1 .. count) to out[from], in doubling blocks: a few large
// copies instead of one per entry.
template <class Rec>
void genelf_repeat(Rec* out, uint64_t from, uint64_t count) {
    for (uint64_t done = 1; from + done < count; done *= 2) {
        uint64_t n = count - from - done < done ? count - from - done : done;
        std::memcpy(&out[from + done], &out[from], n * sizeof(Rec));
    }
}

// How many of `count` entries, `entsize` bytes apart from `offset` on,
// start before the end of the stream's file: all of them when its size is
// unknown.  Every later entry reads as the same record of 0xFF bytes.
uint64_t genelf_entries_in_file(FILE* stream, uint64_t offset, uint64_t entsize, uint64_t count);

// Reads `count` entries of the record form Form into `out`, converted to
// Out.  The entries past the end of the file, as many as 65535 headers
// claimed by a file of a few bytes, are one record of 0xFF bytes decoded
// once; with `past_end` false only the first of them is stored, and `out`
// needs room for no more.  Answers how many entries lie in the file.
template <class Form, class Out>
uint64_t genelf_read_entries(FILE* stream, uint64_t offset, uint64_t entsize, uint64_t count, Out* out,
                             bool past_end = true) {
    if (count == 0) return 0;
    const bool swap = genelf_swap_for_reading();
    ElfTableReader table(stream, offset, entsize, count, sizeof(Form));
    const uint64_t in_file = table.entries_in_file();
    Form record;
    for (uint64_t i = 0; i < in_file; ++i) {
        genelf_decode(table.entry(i), &record, swap);
        genelf_store(record, &out[i]);
    }
    if (in_file == count) return in_file;
    uint8_t ff[sizeof(Form)];
    std::memset(ff, 0xFF, sizeof ff);
    genelf_decode(ff, &record, swap);
    genelf_store(record, &out[in_file]);
    if (past_end) genelf_repeat(out, in_file, count);
    return in_file;
}

// Allocates count records of `size` bytes through genelf_alloc, refusing a
// product that does not fit in size_t instead of wrapping.
void* genelf_alloc_array(uint64_t count, size_t size);
