// Readers of the file header, the program header table and the section
// header table (with the section-name strings), for both classes.
//
// The per-class entry points (elf_*, elf64_*) and the class-dispatching ones
// (genelf_*) are thin shells over one template each, which reads a record
// form through the codec and stores it as read or widened; the ELF32 and
// ELF64 readers cannot disagree on anything but their record forms and the
// routine names in their messages.
#include "genelf/codec.h"
#include "genelf/validate.h"
#include "platform/platform.h"
#include "shared/genio.h"
#include "shared/genmem.h"

namespace {

bool has_magic(const uint8_t* ident) {
    return ident[EI_MAG0] == ELFMAG0 && ident[EI_MAG1] == ELFMAG1 && ident[EI_MAG2] == ELFMAG2 &&
           ident[EI_MAG3] == ELFMAG3;
}

// Steps shared by every header read: the identification bytes (a short read
// is an error), the magic test, the byte order, then the remaining fields
// (cut short, they read as 0xFF).
template <class Ehdr>
void read_header_fields(FILE* stream, Ehdr* h) {
    uint8_t bytes[sizeof(Ehdr)];
    genelf_read_block(stream, bytes, EI_NIDENT);
    if (!has_magic(bytes)) genelf_error("bad elf magic number", nullptr);
    ByteOrder = bytes[EI_DATA] == ELFDATA2MSB ? BYTEORDER_BIG : BYTEORDER_LITTLE;
    genelf_read_or_ff(stream, bytes + EI_NIDENT, sizeof bytes - EI_NIDENT);
    genelf_decode(bytes, h, genelf_swap_for_reading());
}

template <class Forms>
typename Forms::Ehdr* read_header(FILE* stream, typename Forms::Ehdr* dst) {
    if (dst == nullptr) dst = static_cast<typename Forms::Ehdr*>(genelf_alloc(sizeof *dst));
    read_header_fields(stream, dst);
    // e_shnum 0 with a table present is the escape for 0xff00 or more
    // sections, whose real count lives in section 0: not supported.
    if (dst->e_shnum == 0 && dst->e_shoff != 0)
        genelf_error(Forms::bits == 32 ? "elf_readheader: Too many ELF sections"
                                       : "elf64_readheader: Too many ELF sections",
                     nullptr);
    return dst;
}

// Moves to a table unless it is read where the stream is; answers where it
// starts.  The ELF32 program header reader positions with the 32-bit seek.
int64_t table_start(FILE* stream, int64_t offset, bool is_current, bool seek32) {
    if (is_current) return plat_ftell64(stream);
    if (seek32)
        gen_safe_fseek(nullptr, stream, static_cast<int32_t>(offset), SEEK_SET);
    else
        gen_safe_fseek64(nullptr, stream, offset, SEEK_SET);
    return offset;
}

// Checks and locates a program header table the way the per-class readers
// do: positions the stream (for the failure message of an offset it cannot
// reach) and refuses an entry size smaller than the record once there is an
// entry to read.  An entry size of 0 is the record's size.  table->stream
// stays none when there is nothing to read.
template <class Forms>
void locate_progheaders(FILE* stream, int count, int64_t offset, bool is_current, int entsize, ElfFileTable* table) {
    using Phdr = typename Forms::Phdr;
    int64_t start = table_start(stream, offset, is_current, Forms::bits == 32);
    *table = ElfFileTable{};
    if (count <= 0) return;
    if (entsize == 0) entsize = sizeof(Phdr);
    if (entsize < static_cast<int>(sizeof(Phdr)))
        genelf_error(Forms::bits == 32 ? "elf_readprogheader(): phentsize" : "elf64_readprogheader(): phentsize",
                     nullptr);
    *table = ElfFileTable{stream, static_cast<uint64_t>(start), 0, static_cast<uint64_t>(entsize), Forms::bits};
}

// Program headers of the class into `array` of Out, the class's own form or
// the 64-bit one.
template <class Forms, class Out>
Out* read_progheaders(FILE* stream, Out* array, int count, int64_t offset, bool is_current, int entsize) {
    ElfFileTable table;
    locate_progheaders<Forms>(stream, count, offset, is_current, entsize, &table);
    if (array == nullptr && count > 0)
        array = static_cast<Out*>(genelf_alloc_array(static_cast<uint64_t>(count), sizeof(Out)));
    if (table.stream != nullptr)
        genelf_read_entries<typename Forms::Phdr>(stream, table.offset, table.entsize, static_cast<uint64_t>(count),
                                                  array);
    return array;
}

// Section headers likewise; an entry size smaller than the record answers
// none, without a message.  With `held`, the entries past the end of the
// file are not stored: `array` gets the ones in the file and then their one
// record, and *held their number.
template <class Forms, class Out>
Out* read_secheaders(FILE* stream, Out* array, uint32_t count, int64_t offset, int entsize,
                     uint64_t* held = nullptr) {
    using Shdr = typename Forms::Shdr;
    int64_t start = table_start(stream, offset, offset == kCurrentPosition, false);
    if (entsize == 0) entsize = sizeof(Shdr);
    if (entsize < static_cast<int>(sizeof(Shdr))) return nullptr;
    uint64_t room = count;
    if (held != nullptr) {
        uint64_t in_file = genelf_entries_in_file(stream, static_cast<uint64_t>(start), entsize, count);
        if (in_file < count) room = in_file + 1;
    }
    if (array == nullptr) {
        if (count == 0) return nullptr;
        array = static_cast<Out*>(genelf_alloc_array(room, sizeof(Out)));
    }
    uint64_t in_file = genelf_read_entries<Shdr>(stream, static_cast<uint64_t>(start),
                                                  static_cast<uint64_t>(entsize), count, array, held == nullptr);
    if (held != nullptr) *held = in_file;
    return array;
}

}  // namespace

Elf32_Ehdr* elf_readheader(FILE* stream, Elf32_Ehdr* dst) { return read_header<Elf32Forms>(stream, dst); }

Elf64_Ehdr* elf64_readheader(FILE* stream, Elf64_Ehdr* dst) { return read_header<Elf64Forms>(stream, dst); }

Elf64_Ehdr* genelf_readheader(FILE* stream, Elf64_Ehdr* dst, elfbits bits) {
    if (bits != 32 && bits != 64) return nullptr;
    if (dst == nullptr) dst = static_cast<Elf64_Ehdr*>(genelf_alloc(sizeof(Elf64_Ehdr)));
    genelf_by_class(bits, [&](auto forms) {
        typename decltype(forms)::Ehdr h;
        genelf_store(*read_header<decltype(forms)>(stream, &h), dst);
    });
    return dst;
}

ElfXHeader* genelf_readXheader(FILE* stream, ElfXHeader* dst, elfbits bits) {
    if (dst == nullptr) dst = static_cast<ElfXHeader*>(genelf_alloc(sizeof(ElfXHeader)));
    Elf64_Ehdr h;
    genelf_by_class(bits, [&](auto forms) {
        typename decltype(forms)::Ehdr read;
        read_header_fields(stream, &read);
        genelf_store(read, &h);
    });
    genelf_widen(h, dst);
    return dst;
}

Elf32_Phdr* elf_readprogheader(FILE* stream, Elf32_Phdr* array, int count, uint32_t offset, int entsize) {
    return read_progheaders<Elf32Forms>(stream, array, count, offset, offset == 0xFFFFFFFFu, entsize);
}

Elf64_Phdr* elf64_readprogheader(FILE* stream, Elf64_Phdr* array, int count, int64_t offset, int entsize) {
    return read_progheaders<Elf64Forms>(stream, array, count, offset, offset == kCurrentPosition, entsize);
}

void genelf_locate_progheaders(FILE* stream, int count, uint64_t offset, int entsize, elfbits bits,
                               ElfFileTable* table) {
    genelf_by_class(bits, [&](auto forms) {
        using Forms = decltype(forms);
        // The ELF32 reader takes a 32-bit offset, whose all-ones value means
        // the current position; the ELF64 one takes -1 for that.
        bool is_current = Forms::bits == 32 ? (offset & 0xFFFFFFFFu) == 0xFFFFFFFFu : offset == UINT64_MAX;
        if (Forms::bits == 32 && !is_current && offset > 0xFFFFFFFFu) genelf_overflow();
        locate_progheaders<Forms>(stream, count, static_cast<int64_t>(offset), is_current, entsize, table);
    });
}

void genelf_read_progheader_table(const ElfFileTable& table, uint64_t count, Elf64_Phdr* array) {
    if (table.stream == nullptr) return;
    genelf_by_class(table.bits, [&](auto forms) {
        genelf_read_entries<typename decltype(forms)::Phdr>(table.stream, table.offset, table.entsize, count, array);
    });
}

Elf64_Phdr* genelf_readprogheaders(FILE* stream, Elf64_Phdr* array, int count, uint64_t offset, int entsize,
                                   elfbits bits) {
    if (array == nullptr) {
        if (count <= 0) return nullptr;
        array = static_cast<Elf64_Phdr*>(genelf_alloc_array(static_cast<uint64_t>(count), sizeof(Elf64_Phdr)));
    }
    ElfFileTable table;
    genelf_locate_progheaders(stream, count, offset, entsize, bits, &table);
    genelf_read_progheader_table(table, static_cast<uint64_t>(count), array);
    return array;
}

Elf32_Shdr* elf_readsecheader(FILE* stream, Elf32_Shdr* array, uint32_t count, int64_t offset, int entsize) {
    return read_secheaders<Elf32Forms>(stream, array, count, offset, entsize);
}

Elf64_Shdr* elf64_readsecheader(FILE* stream, Elf64_Shdr* array, uint32_t count, int64_t offset, int entsize) {
    return read_secheaders<Elf64Forms>(stream, array, count, offset, entsize);
}

Elf64_Shdr* genelf_readsecheaders(FILE* stream, Elf64_Shdr* array, uint32_t count, int64_t offset, int entsize,
                                  elfbits bits) {
    bool obtained = false;
    if (array == nullptr) {
        if (count == 0) return nullptr;
        array = static_cast<Elf64_Shdr*>(genelf_alloc_array(count, sizeof(Elf64_Shdr)));
        obtained = true;
    }
    // As the per-class reader would; for ELF32 that fills an array of its
    // own, which it obtains only for at least one entry.
    Elf64_Shdr* read = genelf_by_class(bits, [&](auto forms) {
        Elf64_Shdr* into = decltype(forms)::bits == 32 && count == 0 ? nullptr : array;
        return read_secheaders<decltype(forms)>(stream, into, count, offset, entsize);
    });
    if (read == nullptr && obtained) FreeHook(array);
    return read;
}

uint32_t genelf_read_section_headers(FILE* stream, Elf64_Shdr** sections, uint8_t** names) {
    if (stream == nullptr || sections == nullptr || names == nullptr) return 0;
    int64_t base = plat_ftell64(stream);
    elfbits bits = genelf_elfbits(stream, base);
    if (bits != 32 && bits != 64) return 0;
    ElfXHeader h;
    genelf_readXheader(stream, &h, bits);
    // The headers past the end of the file are all one record, held once:
    // such a table is refused below unless that record names a section, and
    // only then is it copied out to every entry.
    uint64_t held = 0;
    Elf64_Shdr* shdrs = genelf_by_class(bits, [&](auto forms) {
        return read_secheaders<decltype(forms)>(stream, static_cast<Elf64_Shdr*>(nullptr), h.e_shnum,
                                                 base + static_cast<int64_t>(h.e_shoff), h.e_shentsize, &held);
    });
    if (shdrs == nullptr) return 0;
    *sections = shdrs;
    genelf_check_shstrndx(h.e_shstrndx, h.e_shnum);
    const Elf64_Shdr& s = shdrs[h.e_shstrndx < held ? h.e_shstrndx : held];
    if (s.sh_size == 0) genelf_error("ELF section string table is empty", nullptr);
    gen_safe_fseek64(nullptr, stream, base + static_cast<int64_t>(s.sh_offset), SEEK_SET);
    *names = static_cast<uint8_t*>(genelf_read_block(stream, nullptr, genelf_checked_size(s.sh_size)));
    genelf_check_section_names(shdrs, static_cast<uint32_t>(held < h.e_shnum ? held + 1 : held), *names, s.sh_size);
    if (held < h.e_shnum) {
        auto* all = static_cast<Elf64_Shdr*>(genelf_alloc_array(h.e_shnum, sizeof(Elf64_Shdr)));
        std::memcpy(all, shdrs, (held + 1) * sizeof(Elf64_Shdr));
        genelf_repeat(all, held, h.e_shnum);
        FreeHook(shdrs);
        *sections = all;
    }
    return h.e_shnum;
}
