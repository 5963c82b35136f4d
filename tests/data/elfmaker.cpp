// Every field is placed by the tables below, written down from the ELF
// standard's record layouts; nothing is shared with the product's library.
#include "data/elfmaker.h"

#include <algorithm>
#include <map>

namespace elfmaker {

namespace {

// A field of record R: its offset and width in ELF32, then in ELF64.
template <class R>
struct Field {
    uint64_t R::*member;
    uint8_t off32, width32, off64, width64;
};
const Field<Ehdr> kEhdr[] = {
    {&Ehdr::type, 16, 2, 16, 2},      {&Ehdr::machine, 18, 2, 18, 2},   {&Ehdr::version, 20, 4, 20, 4},
    {&Ehdr::entry, 24, 4, 24, 8},     {&Ehdr::phoff, 28, 4, 32, 8},     {&Ehdr::shoff, 32, 4, 40, 8},
    {&Ehdr::flags, 36, 4, 48, 4},     {&Ehdr::ehsize, 40, 2, 52, 2},    {&Ehdr::phentsize, 42, 2, 54, 2},
    {&Ehdr::phnum, 44, 2, 56, 2},     {&Ehdr::shentsize, 46, 2, 58, 2}, {&Ehdr::shnum, 48, 2, 60, 2},
    {&Ehdr::shstrndx, 50, 2, 62, 2}};
const Field<Phdr> kPhdr[] = {
    {&Phdr::type, 0, 4, 0, 4},    {&Phdr::offset, 4, 4, 8, 8},  {&Phdr::vaddr, 8, 4, 16, 8},
    {&Phdr::paddr, 12, 4, 24, 8}, {&Phdr::filesz, 16, 4, 32, 8}, {&Phdr::memsz, 20, 4, 40, 8},
    {&Phdr::flags, 24, 4, 4, 4},  {&Phdr::align, 28, 4, 48, 8}};
const Field<Shdr> kShdr[] = {
    {&Shdr::name, 0, 4, 0, 4},        {&Shdr::type, 4, 4, 4, 4},         {&Shdr::flags, 8, 4, 8, 8},
    {&Shdr::addr, 12, 4, 16, 8},      {&Shdr::offset, 16, 4, 24, 8},     {&Shdr::size, 20, 4, 32, 8},
    {&Shdr::link, 24, 4, 40, 4},      {&Shdr::info, 28, 4, 44, 4},       {&Shdr::addralign, 32, 4, 48, 8},
    {&Shdr::entsize, 36, 4, 56, 8}};
const Field<Sym> kSym[] = {{&Sym::name, 0, 4, 0, 4},   {&Sym::value, 4, 4, 8, 8}, {&Sym::size, 8, 4, 16, 8},
                           {&Sym::info, 12, 1, 4, 1},  {&Sym::other, 13, 1, 5, 1}, {&Sym::shndx, 14, 2, 6, 2}};

template <class R, size_t N>
void encode(Encoder& e, int bits, uint64_t at, const R& r, const Field<R> (&table)[N]) {
    for (const Field<R>& f : table)
        e.put(at + (bits == 32 ? f.off32 : f.off64), r.*f.member, bits == 32 ? f.width32 : f.width64);
}

uint64_t align_up(uint64_t v, uint64_t a) { return a > 1 ? (v + a - 1) / a * a : v; }

// A string table starting with the empty name that stores each name once.
struct StringTable {
    std::string data = std::string(1, '\0');
    std::map<std::string, uint32_t> seen;
    uint32_t add(const std::string& s) {
        if (s.empty()) return 0;
        auto it = seen.emplace(s, static_cast<uint32_t>(data.size()));
        if (it.second) data += s + '\0';
        return it.first->second;
    }
};

}  // namespace

size_t ehdr_size(int bits) { return bits == 32 ? 52 : 64; }
size_t phdr_size(int bits) { return bits == 32 ? 32 : 56; }
size_t shdr_size(int bits) { return bits == 32 ? 40 : 64; }
size_t sym_size(int bits) { return bits == 32 ? 16 : 24; }

void Encoder::put(uint64_t off, uint64_t value, int width) {
    std::string bytes(static_cast<size_t>(width), '\0');
    for (int i = 0; i < width; ++i) bytes[i] = static_cast<char>(value >> (big_ ? 8 * (width - 1 - i) : 8 * i));
    put_bytes(off, bytes);
}

void Encoder::put_bytes(uint64_t off, const std::string& bytes) {
    if (buf_.size() < off + bytes.size()) buf_.resize(static_cast<size_t>(off + bytes.size()), '\0');
    buf_.replace(static_cast<size_t>(off), bytes.size(), bytes);
}

void Encoder::ehdr(const Ehdr& e) {
    put_bytes(0, std::string(reinterpret_cast<const char*>(e.ident), 16));
    encode(*this, bits_, 0, e, kEhdr);
}
void Encoder::phdr(uint64_t off, const Phdr& p) { encode(*this, bits_, off, p, kPhdr); }
void Encoder::shdr(uint64_t off, const Shdr& s) { encode(*this, bits_, off, s, kShdr); }
void Encoder::sym(uint64_t off, const Sym& s) { encode(*this, bits_, off, s, kSym); }

namespace {
Section section(const std::string& name, uint32_t type, uint64_t flags, uint64_t addr, uint64_t align, Content c) {
    Section s;
    s.name = name, s.type = type, s.flags = flags, s.addr = addr, s.addralign = align, s.content = c;
    return s;
}
}  // namespace

Section null_section() { return section("", SHT_NULL, 0, 0, 0, Content::Raw); }
Section symtab_section(const std::string& n, uint32_t type) { return section(n, type, 0, 0, 8, Content::Symbols); }
Section strtab_section(const std::string& n) { return section(n, SHT_STRTAB, 0, 0, 1, Content::SymbolNames); }
Section shstrtab_section(const std::string& n) { return section(n, SHT_STRTAB, 0, 0, 1, Content::SectionNames); }
Section progbits(const std::string& name, uint64_t addr, const std::string& data, uint64_t flags) {
    Section s = section(name, SHT_PROGBITS, flags, addr, 4, Content::Raw);
    s.data = data;
    return s;
}
Section nobits(const std::string& name, uint64_t addr, uint64_t size) {
    Section s = section(name, SHT_NOBITS, SHF_ALLOC | SHF_WRITE, addr, 4, Content::Raw);
    s.size = size;
    return s;
}

Phdr load_segment(uint64_t vaddr, uint64_t offset, uint64_t filesz, uint64_t memsz) {
    return Phdr{PT_LOAD, 5, offset, vaddr, vaddr, filesz, memsz, 0x1000};
}

Desc sample_exec(int bits, bool big_endian) {
    Desc d;
    d.bits = bits;
    d.big_endian = big_endian;
    d.machine = bits == 32 ? (big_endian ? EM_MIPS : EM_386) : EM_X86_64;
    d.entry = 0x401000;
    Section text = progbits(".text", 0x401000, std::string(32, '\x90'), SHF_ALLOC | SHF_EXECINSTR);
    text.offset = 0x1000;
    Section data = progbits(".data", 0x402000, "DATADATA", SHF_ALLOC | SHF_WRITE);
    data.offset = 0x2000;
    Section symtab = symtab_section();
    symtab.addralign = bits / 8;
    d.sections = {null_section(), text, data, nobits(".bss", 0x402008, 0x40), symtab, strtab_section(),
                  shstrtab_section()};
    d.phdrs = {load_segment(0x401000, 0x1000, 32, 32), load_segment(0x402000, 0x2000, 8, 0x48)};
    d.phdrs[1].flags = 6;
    d.symbols = {
        {"", 0, 0, 0, 0, 0, {}},
        {"", 0x401000, 0, st_info(STB_LOCAL, STT_SECTION), 0, 1, {}},
        {"prog.c", 0, 0, st_info(STB_LOCAL, STT_FILE), 0, SHN_ABS, {}},
        {"count", 0x402000, 4, st_info(STB_LOCAL, STT_OBJECT), 0, 2, {}},
        {"main", 0x401000, 16, st_info(STB_GLOBAL, STT_FUNC), 0, 1, {}},
        {"count", 0x402004, 4, st_info(STB_GLOBAL, STT_OBJECT), 0, 2, {}},
        {"exit", 0x401010, 16, st_info(STB_GLOBAL, STT_FUNC), 2, 1, {}},
        {"limit", 0x1234, 0, st_info(STB_GLOBAL, STT_NOTYPE), 0, SHN_ABS, {}},
        {"shared_buf", 8, 64, st_info(STB_GLOBAL, STT_OBJECT), 0, SHN_COMMON, {}},
    };
    return d;
}

std::string make_elf(const Desc& d) {
    const int bits = d.bits;
    Encoder enc(bits, d.big_endian);
    StringTable shstr, str;
    std::vector<uint32_t> sh_names, st_names;
    for (const Section& s : d.sections) sh_names.push_back(shstr.add(s.name));
    for (const Symbol& s : d.symbols) st_names.push_back(str.add(s.name));

    // Entries are laid out with the symbol table's entry size when that is
    // larger than the record, so odd entry sizes describe readable files.
    uint64_t stride = sym_size(bits);
    for (const Section& s : d.sections)
        if (s.content == Content::Symbols && s.entsize) stride = std::max(stride, *s.entsize);
    Encoder se(bits, d.big_endian);
    uint32_t first_global = static_cast<uint32_t>(d.symbols.size());
    for (size_t i = 0; i < d.symbols.size(); ++i) {
        const Symbol& s = d.symbols[i];
        se.sym(i * stride, Sym{s.name_offset.value_or(st_names[i]), s.info, s.other, s.shndx, s.value, s.size});
        if ((s.info >> 4) != STB_LOCAL) first_global = std::min(first_global, static_cast<uint32_t>(i));
    }
    se.bytes().resize(d.symbols.size() * stride, '\0');
    std::optional<uint32_t> names_index, shstr_index;
    for (uint32_t i = d.sections.size(); i-- > 0;) {
        if (d.sections[i].content == Content::SymbolNames) names_index = i;
        if (d.sections[i].content == Content::SectionNames) shstr_index = i;
    }

    // Tables are laid out with an overridden entry size when it is larger
    // than the record; smaller overrides only change the header field.
    const uint64_t phentsize = std::max<uint64_t>(phdr_size(bits), d.phentsize.value_or(0));
    const uint64_t phoff = d.phoff.value_or(d.phdrs.empty() ? 0 : ehdr_size(bits));
    uint64_t pos = std::max<uint64_t>(ehdr_size(bits), d.phdrs.empty() ? 0 : phoff + d.phdrs.size() * phentsize);
    std::vector<Shdr> shdrs;
    for (size_t i = 0; i < d.sections.size(); ++i) {
        const Section& s = d.sections[i];
        const bool syms = s.content == Content::Symbols;
        const std::string data = (syms ? se.bytes() : s.content == Content::SymbolNames ? str.data
                                  : s.content == Content::SectionNames ? shstr.data : "") + s.data;
        Shdr h{s.name_offset.value_or(sh_names[i]), s.type, s.flags, s.addr, 0, s.size.value_or(data.size()),
               s.link.value_or(syms ? names_index.value_or(0) : 0), s.info.value_or(syms ? first_global : 0),
               s.addralign, s.entsize.value_or(syms ? sym_size(bits) : 0)};
        h.offset = s.offset.value_or(s.type == SHT_NULL && data.empty() ? 0 : align_up(pos, s.addralign));
        if (s.type != SHT_NOBITS) {
            enc.put_bytes(h.offset, data);
            pos = std::max(pos, h.offset + data.size());
        }
        shdrs.push_back(h);
    }

    const uint64_t shentsize = std::max<uint64_t>(shdr_size(bits), d.shentsize.value_or(0));
    const uint64_t shoff = d.shoff.value_or(d.no_section_table ? 0 : align_up(pos, bits / 8));
    for (size_t i = 0; i < shdrs.size() && !d.no_section_table; ++i) enc.shdr(shoff + i * shentsize, shdrs[i]);
    for (size_t i = 0; i < d.phdrs.size(); ++i) enc.phdr(phoff + i * phentsize, d.phdrs[i]);

    Ehdr e;
    const uint8_t ident[16] = {0x7f, 'E', 'L', 'F', d.ei_class.value_or(bits == 32 ? 1 : 2),
                               d.ei_data.value_or(d.big_endian ? 2 : 1), 1};
    std::copy(ident, ident + 16, e.ident);
    const uint64_t nsec = d.no_section_table ? 0 : shdrs.size();
    e.type = d.type, e.machine = d.machine, e.version = 1, e.entry = d.entry, e.phoff = phoff, e.shoff = shoff;
    e.flags = d.flags, e.ehsize = ehdr_size(bits), e.phentsize = d.phentsize.value_or(phdr_size(bits));
    e.phnum = d.phnum.value_or(d.phdrs.size()), e.shentsize = d.shentsize.value_or(shdr_size(bits));
    e.shnum = d.shnum.value_or(nsec), e.shstrndx = d.shstrndx.value_or(nsec ? shstr_index.value_or(0) : 0);
    enc.ehdr(e);
    std::string out = enc.bytes();
    if (d.truncate && *d.truncate < out.size()) out.resize(*d.truncate);
    return out;
}

}  // namespace elfmaker
