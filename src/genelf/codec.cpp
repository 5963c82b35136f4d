// The byte-order field codec and the reading and writing of whole records
// and tables (codec.h).
//
// Fields are assembled from bytes, so the host's byte order and alignment
// never matter.  A byte taken at end of file is EOF, whose low byte 0xFF is
// what goes into the field: a record cut short reads as 0xFF bytes without
// an error here, and whatever then makes no sense is caught by the caller.
#include "genelf/codec.h"

#include "platform/platform.h"
#include "shared/genmem.h"

int ByteOrder = BYTEORDER_UNSET;

namespace {

constexpr bool kHostBigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

template <class T>
T read_field(FILE* stream) {
    uint8_t bytes[sizeof(T)];
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(getc(stream));
    T v;
    genelf_get(bytes, v, genelf_swap_for_reading());
    return v;
}

template <class T>
void write_field(FILE* stream, T value, bool swap) {
    uint8_t bytes[sizeof(T)];
    genelf_put(bytes, value, swap);
    for (uint8_t b : bytes) putc(b, stream);
}

}  // namespace

bool genelf_swap_for_reading() {
    if (ByteOrder == BYTEORDER_UNSET) genelf_error("internal, endian not set", nullptr);
    return (ByteOrder == BYTEORDER_BIG) != kHostBigEndian;
}

// While ByteOrder is unset, 64-bit fields are written little-endian and
// 16- and 32-bit ones are refused.  The program never writes before a header
// was read, so only a direct caller can meet either.
bool genelf_swap_for_writing(bool has_short_fields) {
    if (has_short_fields && ByteOrder == BYTEORDER_UNSET) genelf_error("internal, endian not set", nullptr);
    return (ByteOrder == BYTEORDER_BIG) != kHostBigEndian;
}

int genelf_getbyte(FILE* stream) { return getc(stream); }

uint16_t genelf_read16(FILE* stream) { return read_field<uint16_t>(stream); }
uint32_t genelf_read32(FILE* stream) { return read_field<uint32_t>(stream); }
uint64_t genelf_read64(FILE* stream) { return read_field<uint64_t>(stream); }

void genelf_write16(FILE* stream, uint16_t value) { write_field(stream, value, genelf_swap_for_writing(true)); }
void genelf_write32(FILE* stream, uint32_t value) { write_field(stream, value, genelf_swap_for_writing(true)); }
void genelf_write64(FILE* stream, uint64_t value) { write_field(stream, value, genelf_swap_for_writing(false)); }

void genelf_read_or_ff(FILE* stream, uint8_t* into, size_t count) {
    size_t got = std::fread(into, 1, count, stream);
    std::memset(into + got, 0xFF, count - got);
}

void ElfRecordSink::flush() {
    if (used_ != 0) std::fwrite(buffer_, 1, used_, stream_);
    used_ = 0;
}

// ---- ElfTableReader ----

namespace {

constexpr uint64_t kChunkBytes = 256 * 1024;

// Reads [offset, offset + count) of the file into `into`; what lies past the
// end of the file, cannot be read or cannot even be addressed is 0xFF.
void pread_or_ff(FILE* stream, uint8_t* into, uint64_t offset, uint64_t count) {
    uint64_t got = 0;
    if (offset <= UINT64_MAX - count) {
        while (got < count) {
            long n = plat_pread(stream, into + got, count - got, offset + got);
            if (n <= 0) break;
            got += static_cast<uint64_t>(n);
        }
    }
    std::memset(into + got, 0xFF, count - got);
}

}  // namespace

uint64_t genelf_entries_in_file(FILE* stream, uint64_t offset, uint64_t entsize, uint64_t count) {
    PlatStat st;
    if (count == 0 || plat_fstat(stream, &st) != 0 || (st.mode & 0xF000) != 0x8000) return count;
    uint64_t size = st.size > 0 ? static_cast<uint64_t>(st.size) : 0;
    uint64_t starting = offset < size ? (size - offset - 1) / entsize + 1 : 0;
    return starting < count ? starting : count;
}

ElfTableReader::ElfTableReader(FILE* stream, uint64_t offset, uint64_t entsize, uint64_t count, size_t record)
    : stream_(stream), offset_(offset), entsize_(entsize != 0 ? entsize : record), record_(record) {
    in_file_ = genelf_entries_in_file(stream, offset, entsize_, count);
    // An entry larger than the chunk is read alone, and of it only its record.
    per_chunk_ = entsize_ <= kChunkBytes ? kChunkBytes / entsize_ : 1;
    uint64_t most = in_file_ < per_chunk_ ? in_file_ : per_chunk_;
    capacity_ = static_cast<size_t>(most == 0 ? record : (most - 1) * entsize_ + record);
}

ElfTableReader::~ElfTableReader() { FreeHook(buffer_); }

void ElfTableReader::refill(uint64_t first) {
    if (buffer_ == nullptr) buffer_ = static_cast<uint8_t*>(AllocHook(capacity_, 1));
    first_ = first;
    // Past the entries that start in the file, one entry at a time: only the
    // walk over symbols goes there, and it stops at the first.
    held_ = first < in_file_ ? (in_file_ - first < per_chunk_ ? in_file_ - first : per_chunk_) : 1;
    uint64_t at = first <= UINT64_MAX / entsize_ ? first * entsize_ : UINT64_MAX;
    pread_or_ff(stream_, buffer_, offset_ <= UINT64_MAX - at ? offset_ + at : UINT64_MAX,
                (held_ - 1) * entsize_ + record_);
}

const uint8_t* ElfTableReader::entry(uint64_t i) {
    if (i < first_ || i >= first_ + held_) refill(i);
    return buffer_ + (i - first_) * entsize_;
}
