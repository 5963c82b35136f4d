// The maker writes every field itself through Encoder::put, in the described
// byte order; nothing here shares code with the product's ELF library, so a
// field-order or byte-order slip in one is caught by the other.
#include "data/elfmaker.h"

#include <cstdio>

#include <algorithm>
#include <map>

namespace elfmaker {

bool operator==(const Phdr& a, const Phdr& b) {
    return a.type == b.type && a.flags == b.flags && a.offset == b.offset && a.vaddr == b.vaddr &&
           a.paddr == b.paddr && a.filesz == b.filesz && a.memsz == b.memsz && a.align == b.align;
}
bool operator==(const Shdr& a, const Shdr& b) {
    return a.name == b.name && a.type == b.type && a.flags == b.flags && a.addr == b.addr &&
           a.offset == b.offset && a.size == b.size && a.link == b.link && a.info == b.info &&
           a.addralign == b.addralign && a.entsize == b.entsize;
}
bool operator==(const Sym& a, const Sym& b) {
    return a.name == b.name && a.info == b.info && a.other == b.other && a.shndx == b.shndx &&
           a.value == b.value && a.size == b.size;
}

size_t ehdr_size(int bits) { return bits == 32 ? 52 : 64; }
size_t phdr_size(int bits) { return bits == 32 ? 32 : 56; }
size_t shdr_size(int bits) { return bits == 32 ? 40 : 64; }
size_t sym_size(int bits) { return bits == 32 ? 16 : 24; }

// --- Encoder -------------------------------------------------------------------

void Encoder::grow(uint64_t end) {
    if (buf_.size() < end) buf_.resize(static_cast<size_t>(end), '\0');
}

void Encoder::put(uint64_t off, uint64_t value, int width) {
    grow(off + static_cast<uint64_t>(width));
    for (int i = 0; i < width; ++i) {
        int shift = big_ ? 8 * (width - 1 - i) : 8 * i;
        buf_[static_cast<size_t>(off) + static_cast<size_t>(i)] = static_cast<char>((value >> shift) & 0xff);
    }
}

void Encoder::put_bytes(uint64_t off, const std::string& bytes) {
    grow(off + bytes.size());
    std::copy(bytes.begin(), bytes.end(), buf_.begin() + static_cast<std::ptrdiff_t>(off));
}

void Encoder::ehdr(const Ehdr& e) {
    put_bytes(0, std::string(reinterpret_cast<const char*>(e.ident), 16));
    const int w = bits_ == 32 ? 4 : 8;  // width of addresses and offsets
    uint64_t o = 16;
    put(o, e.type, 2), o += 2;
    put(o, e.machine, 2), o += 2;
    put(o, e.version, 4), o += 4;
    put(o, e.entry, w), o += w;
    put(o, e.phoff, w), o += w;
    put(o, e.shoff, w), o += w;
    put(o, e.flags, 4), o += 4;
    for (uint16_t v : {e.ehsize, e.phentsize, e.phnum, e.shentsize, e.shnum, e.shstrndx}) put(o, v, 2), o += 2;
}

void Encoder::phdr(uint64_t o, const Phdr& p) {
    if (bits_ == 32) {
        // ELF32 moves p_flags after p_memsz.
        for (uint64_t v : {uint64_t{p.type}, p.offset, p.vaddr, p.paddr, p.filesz, p.memsz, uint64_t{p.flags}, p.align})
            put(o, v, 4), o += 4;
    } else {
        put(o, p.type, 4), put(o + 4, p.flags, 4), o += 8;
        for (uint64_t v : {p.offset, p.vaddr, p.paddr, p.filesz, p.memsz, p.align}) put(o, v, 8), o += 8;
    }
}

void Encoder::shdr(uint64_t o, const Shdr& s) {
    const int w = bits_ == 32 ? 4 : 8;
    put(o, s.name, 4), o += 4;
    put(o, s.type, 4), o += 4;
    for (uint64_t v : {s.flags, s.addr, s.offset, s.size}) put(o, v, w), o += w;
    put(o, s.link, 4), o += 4;
    put(o, s.info, 4), o += 4;
    put(o, s.addralign, w), o += w;
    put(o, s.entsize, w);
}

void Encoder::sym(uint64_t o, const Sym& s) {
    if (bits_ == 32) {
        put(o, s.name, 4), put(o + 4, s.value, 4), put(o + 8, s.size, 4);
        put(o + 12, s.info, 1), put(o + 13, s.other, 1), put(o + 14, s.shndx, 2);
    } else {
        put(o, s.name, 4), put(o + 4, s.info, 1), put(o + 5, s.other, 1), put(o + 6, s.shndx, 2);
        put(o + 8, s.value, 8), put(o + 16, s.size, 8);
    }
}

// --- Description helpers ---------------------------------------------------------

Section null_section() {
    Section s;
    s.type = SHT_NULL;
    s.addralign = 0;
    return s;
}

Section symtab_section(const std::string& name, uint32_t type) {
    Section s;
    s.name = name;
    s.type = type;
    s.content = Content::Symbols;
    s.addralign = 8;
    return s;
}

Section strtab_section(const std::string& name) {
    Section s;
    s.name = name;
    s.type = SHT_STRTAB;
    s.content = Content::SymbolNames;
    return s;
}

Section shstrtab_section(const std::string& name) {
    Section s;
    s.name = name;
    s.type = SHT_STRTAB;
    s.content = Content::SectionNames;
    return s;
}

Section progbits(const std::string& name, uint64_t addr, const std::string& data, uint64_t flags) {
    Section s;
    s.name = name;
    s.addr = addr;
    s.data = data;
    s.flags = flags;
    s.addralign = 4;
    return s;
}

Section nobits(const std::string& name, uint64_t addr, uint64_t size) {
    Section s;
    s.name = name;
    s.type = SHT_NOBITS;
    s.addr = addr;
    s.size = size;
    s.flags = SHF_ALLOC | SHF_WRITE;
    s.addralign = 4;
    return s;
}

Phdr load_segment(uint64_t vaddr, uint64_t offset, uint64_t filesz, uint64_t memsz) {
    Phdr p;
    p.type = PT_LOAD;
    p.flags = 5;
    p.offset = offset;
    p.vaddr = p.paddr = vaddr;
    p.filesz = filesz;
    p.memsz = memsz;
    p.align = 0x1000;
    return p;
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

// --- make_elf ----------------------------------------------------------------------

namespace {

// A string table that starts with the empty name and stores each name once
// (or every time, when sharing is off); returns the offsets.
struct StringTable {
    std::string data = std::string(1, '\0');
    std::map<std::string, uint32_t> seen;
    uint32_t add(const std::string& s, bool share) {
        if (s.empty()) return 0;
        if (share) {
            auto it = seen.find(s);
            if (it != seen.end()) return it->second;
        }
        uint32_t off = static_cast<uint32_t>(data.size());
        data += s;
        data += '\0';
        seen.emplace(s, off);
        return off;
    }
};

uint64_t align_up(uint64_t v, uint64_t a) { return a > 1 ? (v + a - 1) / a * a : v; }

}  // namespace

std::string make_elf(const Desc& d) { return make_elf(d, nullptr); }

bool write_sparse_elf(const Desc& d, const std::string& path) {
    FarPieces far;
    std::string near = make_elf(d, &far);
    FILE* fp = std::fopen(path.c_str(), "wb");
    if (fp == nullptr) return false;
    bool ok = std::fwrite(near.data(), 1, near.size(), fp) == near.size();
    for (const auto& piece : far) {
#ifdef _WIN32
        ok = ok && _fseeki64(fp, static_cast<int64_t>(piece.first), SEEK_SET) == 0 &&
#else
        ok = ok && fseeko(fp, static_cast<off_t>(piece.first), SEEK_SET) == 0 &&
#endif
             std::fwrite(piece.second.data(), 1, piece.second.size(), fp) == piece.second.size();
    }
    return std::fclose(fp) == 0 && ok;
}

std::string make_elf(const Desc& d, FarPieces* far) {
    const int bits = d.bits;
    Encoder enc(bits, d.big_endian);

    StringTable shstr, str;
    std::vector<uint32_t> sh_names;
    for (const Section& s : d.sections) sh_names.push_back(shstr.add(s.name, true));
    std::vector<uint32_t> st_names;
    for (const Symbol& s : d.symbols) st_names.push_back(str.add(s.name, d.share_names));

    // Entries are laid out with the symbol table's entry size when that is
    // larger than the record, so odd entry sizes describe readable files.
    uint64_t symstride = sym_size(bits);
    for (const Section& s : d.sections)
        if (s.content == Content::Symbols && s.entsize && *s.entsize > symstride) {
            symstride = *s.entsize;
            break;
        }
    std::string symbytes;
    {
        Encoder se(bits, d.big_endian);
        for (size_t i = 0; i < d.symbols.size(); ++i) {
            const Symbol& s = d.symbols[i];
            Sym r{s.name_offset ? *s.name_offset : st_names[i], s.info, s.other, s.shndx, s.value, s.size};
            se.sym(i * symstride, r);
        }
        symbytes = se.bytes();
        symbytes.resize(d.symbols.size() * symstride, '\0');
    }
    uint32_t first_global = static_cast<uint32_t>(d.symbols.size());
    for (size_t i = 0; i < d.symbols.size(); ++i)
        if ((d.symbols[i].info >> 4) != STB_LOCAL) {
            first_global = static_cast<uint32_t>(i);
            break;
        }
    std::optional<uint32_t> names_index, shstr_index;
    for (size_t i = 0; i < d.sections.size(); ++i) {
        if (d.sections[i].content == Content::SymbolNames && !names_index) names_index = static_cast<uint32_t>(i);
        if (d.sections[i].content == Content::SectionNames && !shstr_index) shstr_index = static_cast<uint32_t>(i);
    }

    // Tables are laid out with an overridden entry size when it is larger
    // than the record; smaller overrides only change the header field.
    const uint64_t phentsize = std::max<uint64_t>(phdr_size(bits), d.phentsize.value_or(0));
    uint64_t phoff = d.phoff ? *d.phoff : (d.phdrs.empty() ? 0 : ehdr_size(bits));
    uint64_t pos = std::max<uint64_t>(ehdr_size(bits), d.phdrs.empty() ? 0 : phoff + d.phdrs.size() * phentsize);

    std::vector<Shdr> shdrs;
    for (size_t i = 0; i < d.sections.size(); ++i) {
        const Section& s = d.sections[i];
        std::string data;
        switch (s.content) {
            case Content::Raw: data = s.data; break;
            case Content::Symbols: data = symbytes + s.data; break;
            case Content::SymbolNames: data = str.data + s.data; break;
            case Content::SectionNames: data = shstr.data + s.data; break;
        }
        Shdr h;
        h.name = s.name_offset ? *s.name_offset : sh_names[i];
        h.type = s.type;
        h.flags = s.flags;
        h.addr = s.addr;
        h.size = s.size ? *s.size : data.size();
        h.addralign = s.addralign;
        h.entsize = s.entsize ? *s.entsize : (s.content == Content::Symbols ? sym_size(bits) : 0);
        h.link = s.link ? *s.link : (s.content == Content::Symbols && names_index ? *names_index : 0);
        h.info = s.info ? *s.info : (s.content == Content::Symbols ? first_global : 0);
        if (s.offset) {
            h.offset = *s.offset;
        } else if (s.type == SHT_NULL && data.empty()) {
            h.offset = 0;
        } else {
            h.offset = align_up(pos, s.addralign);
        }
        if (s.type != SHT_NOBITS) {
            if (far != nullptr && h.offset >= (uint64_t{1} << 30)) {
                far->emplace_back(h.offset, data);
            } else {
                enc.put_bytes(h.offset, data);
                pos = std::max(pos, h.offset + data.size());
            }
        }
        shdrs.push_back(h);
    }

    const uint64_t shentsize = std::max<uint64_t>(shdr_size(bits), d.shentsize.value_or(0));
    uint64_t shoff = 0;
    if (!d.no_section_table) {
        shoff = d.shoff ? *d.shoff : align_up(pos, bits / 8);
        for (size_t i = 0; i < shdrs.size(); ++i) enc.shdr(shoff + i * shentsize, shdrs[i]);
    } else if (d.shoff) {
        shoff = *d.shoff;
    }
    for (size_t i = 0; i < d.phdrs.size(); ++i) enc.phdr(phoff + i * phentsize, d.phdrs[i]);

    Ehdr e;
    const uint8_t ident[16] = {0x7f, 'E', 'L', 'F', uint8_t(bits == 32 ? 1 : 2), uint8_t(d.big_endian ? 2 : 1), 1};
    std::copy(ident, ident + 16, e.ident);
    if (d.ei_class) e.ident[4] = *d.ei_class;
    if (d.ei_data) e.ident[5] = *d.ei_data;
    e.type = d.type;
    e.machine = d.machine;
    e.version = 1;
    e.entry = d.entry;
    e.phoff = phoff;
    e.shoff = shoff;
    e.flags = d.flags;
    e.ehsize = d.ehsize ? *d.ehsize : static_cast<uint16_t>(ehdr_size(bits));
    e.phentsize = d.phentsize ? *d.phentsize : static_cast<uint16_t>(phdr_size(bits));
    e.phnum = d.phnum ? *d.phnum : static_cast<uint16_t>(d.phdrs.size());
    e.shentsize = d.shentsize ? *d.shentsize : static_cast<uint16_t>(shdr_size(bits));
    e.shnum = d.shnum ? *d.shnum : (d.no_section_table ? 0 : static_cast<uint16_t>(shdrs.size()));
    e.shstrndx = d.shstrndx ? *d.shstrndx : (d.no_section_table ? 0 : static_cast<uint16_t>(shstr_index.value_or(0)));
    enc.ehdr(e);

    std::string out = enc.bytes();
    if (d.truncate && *d.truncate < out.size()) out.resize(*d.truncate);
    return out;
}

// --- Reader --------------------------------------------------------------------------

namespace {

class Decoder {
public:
    Decoder(const std::string& b, bool big) : b_(b), big_(big) {}
    bool fits(uint64_t off, uint64_t len) const { return off <= b_.size() && len <= b_.size() - off; }
    uint64_t get(uint64_t off, int width) const {
        uint64_t v = 0;
        for (int i = 0; i < width; ++i) {
            uint64_t byte = static_cast<unsigned char>(b_[static_cast<size_t>(off) + static_cast<size_t>(i)]);
            v |= byte << (big_ ? 8 * (width - 1 - i) : 8 * i);
        }
        return v;
    }

private:
    const std::string& b_;
    bool big_;
};

}  // namespace

std::optional<size_t> Parsed::find_section(const std::string& name, bool highest) const {
    std::optional<size_t> found;
    for (size_t i = 0; i < section_names.size(); ++i) {
        if (section_names[i] != name) continue;
        found = i;
        if (!highest) break;
    }
    return found;
}

std::string Parsed::section_data(size_t i) const {
    const Shdr& s = shdrs.at(i);
    if (s.type == SHT_NOBITS || s.offset > bytes.size() || s.size > bytes.size() - s.offset) return {};
    return bytes.substr(static_cast<size_t>(s.offset), static_cast<size_t>(s.size));
}

std::optional<std::string> string_at(const std::string& table, uint64_t off) {
    if (off >= table.size()) return std::nullopt;
    size_t end = table.find('\0', static_cast<size_t>(off));
    if (end == std::string::npos) return std::nullopt;
    return table.substr(static_cast<size_t>(off), end - static_cast<size_t>(off));
}

bool parse_elf(const std::string& bytes, Parsed& p, std::string& error) {
    p = Parsed();
    p.bytes = bytes;
    if (bytes.size() < 16 || bytes.compare(0, 4, "\x7f" "ELF") != 0) return error = "not an ELF file", false;
    const uint8_t cls = static_cast<uint8_t>(bytes[4]), data = static_cast<uint8_t>(bytes[5]);
    if (cls != 1 && cls != 2) return error = "bad class byte", false;
    if (data != 1 && data != 2) return error = "bad data byte", false;
    p.bits = cls == 1 ? 32 : 64;
    p.big_endian = data == 2;
    const int w = p.bits / 8;
    Decoder dec(p.bytes, p.big_endian);
    if (!dec.fits(0, ehdr_size(p.bits))) return error = "file header cut short", false;

    Ehdr& e = p.ehdr;
    std::copy(bytes.begin(), bytes.begin() + 16, e.ident);
    uint64_t o = 16;
    e.type = static_cast<uint16_t>(dec.get(o, 2)), o += 2;
    e.machine = static_cast<uint16_t>(dec.get(o, 2)), o += 2;
    e.version = static_cast<uint32_t>(dec.get(o, 4)), o += 4;
    e.entry = dec.get(o, w), o += w;
    e.phoff = dec.get(o, w), o += w;
    e.shoff = dec.get(o, w), o += w;
    e.flags = static_cast<uint32_t>(dec.get(o, 4)), o += 4;
    uint16_t* tail[] = {&e.ehsize, &e.phentsize, &e.phnum, &e.shentsize, &e.shnum, &e.shstrndx};
    for (uint16_t* f : tail) *f = static_cast<uint16_t>(dec.get(o, 2)), o += 2;

    const uint64_t phent = e.phentsize ? e.phentsize : phdr_size(p.bits);
    if (e.phnum && phent < phdr_size(p.bits)) return error = "program header entry too small", false;
    for (uint64_t i = 0; i < e.phnum; ++i) {
        uint64_t at = e.phoff + i * phent;
        if (!dec.fits(at, phdr_size(p.bits))) return error = "program header table outside the file", false;
        Phdr ph;
        if (p.bits == 32) {
            ph.type = static_cast<uint32_t>(dec.get(at, 4));
            ph.offset = dec.get(at + 4, 4), ph.vaddr = dec.get(at + 8, 4), ph.paddr = dec.get(at + 12, 4);
            ph.filesz = dec.get(at + 16, 4), ph.memsz = dec.get(at + 20, 4);
            ph.flags = static_cast<uint32_t>(dec.get(at + 24, 4)), ph.align = dec.get(at + 28, 4);
        } else {
            ph.type = static_cast<uint32_t>(dec.get(at, 4)), ph.flags = static_cast<uint32_t>(dec.get(at + 4, 4));
            ph.offset = dec.get(at + 8, 8), ph.vaddr = dec.get(at + 16, 8), ph.paddr = dec.get(at + 24, 8);
            ph.filesz = dec.get(at + 32, 8), ph.memsz = dec.get(at + 40, 8), ph.align = dec.get(at + 48, 8);
        }
        p.phdrs.push_back(ph);
    }

    if (e.shoff == 0) return true;  // no section header table at all
    const uint64_t shent = e.shentsize ? e.shentsize : shdr_size(p.bits);
    if (e.shnum && shent < shdr_size(p.bits)) return error = "section header entry too small", false;
    for (uint64_t i = 0; i < e.shnum; ++i) {
        uint64_t at = e.shoff + i * shent;
        if (!dec.fits(at, shdr_size(p.bits))) return error = "section header table outside the file", false;
        Shdr s;
        s.name = static_cast<uint32_t>(dec.get(at, 4));
        s.type = static_cast<uint32_t>(dec.get(at + 4, 4));
        at += 8;
        s.flags = dec.get(at, w), s.addr = dec.get(at + w, w), s.offset = dec.get(at + 2 * w, w);
        s.size = dec.get(at + 3 * w, w);
        at += 4 * w;
        s.link = static_cast<uint32_t>(dec.get(at, 4)), s.info = static_cast<uint32_t>(dec.get(at + 4, 4));
        s.addralign = dec.get(at + 8, w), s.entsize = dec.get(at + 8 + w, w);
        p.shdrs.push_back(s);
    }
    if (e.shnum == 0) return true;
    if (e.shstrndx >= p.shdrs.size()) return error = "e_shstrndx outside the section table", false;
    const Shdr& names = p.shdrs[e.shstrndx];
    if (!dec.fits(names.offset, names.size)) return error = "section names outside the file", false;
    p.shstrtab = bytes.substr(static_cast<size_t>(names.offset), static_cast<size_t>(names.size));
    for (const Shdr& s : p.shdrs) {
        std::optional<std::string> n = string_at(p.shstrtab, s.name);
        if (!n) return error = "section name outside the name table", false;
        p.section_names.push_back(*n);
    }
    return true;
}

bool read_symbols(const Parsed& p, size_t index, std::vector<Sym>& out, std::string& error) {
    out.clear();
    if (index >= p.shdrs.size()) return error = "no such section", false;
    const Shdr& s = p.shdrs[index];
    const uint64_t ent = s.entsize ? s.entsize : sym_size(p.bits);
    if (ent < sym_size(p.bits)) return error = "symbol entry too small", false;
    Decoder dec(p.bytes, p.big_endian);
    if (!dec.fits(s.offset, s.size)) return error = "symbol table outside the file", false;
    for (uint64_t i = 0; i < s.size / ent; ++i) {
        uint64_t at = s.offset + i * ent;
        Sym y;
        if (p.bits == 32) {
            y.name = static_cast<uint32_t>(dec.get(at, 4));
            y.value = dec.get(at + 4, 4), y.size = dec.get(at + 8, 4);
            y.info = static_cast<uint8_t>(dec.get(at + 12, 1)), y.other = static_cast<uint8_t>(dec.get(at + 13, 1));
            y.shndx = static_cast<uint16_t>(dec.get(at + 14, 2));
        } else {
            y.name = static_cast<uint32_t>(dec.get(at, 4));
            y.info = static_cast<uint8_t>(dec.get(at + 4, 1)), y.other = static_cast<uint8_t>(dec.get(at + 5, 1));
            y.shndx = static_cast<uint16_t>(dec.get(at + 6, 2));
            y.value = dec.get(at + 8, 8), y.size = dec.get(at + 16, 8);
        }
        out.push_back(y);
    }
    return true;
}

}  // namespace elfmaker
