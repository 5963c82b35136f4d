// The expected reduced file.  Each step mirrors one documented step of the
// tool (load, copy, reduce, lay out, write); the ELF encoding itself comes
// from the maker's Encoder, never from the product's library.
#include "data/elforacle.h"

#include <algorithm>

namespace elfmaker {

namespace {

Expectation decline(const std::string& why) {
    Expectation e;
    e.reason = why;
    return e;
}

bool fits32(uint64_t v) { return v <= 0xffffffffu; }

}  // namespace

Expectation expected_output(const std::string& input, const std::vector<std::string>& keep) {
    Parsed in;
    std::string err;
    if (!parse_elf(input, in, err)) return decline("input does not parse: " + err);
    if (in.ehdr.type != ET_EXEC) return decline("input is not ET_EXEC");
    if ((in.ehdr.shoff == 0) != (in.ehdr.shnum == 0)) return decline("e_shoff and e_shnum disagree");
    const int bits = in.bits;
    const size_t nsec = in.shdrs.size();

    // Load: the first ".symtab", else the first ".dynsym", and the strings it links to.
    std::vector<Sym> syms;
    std::string strtab;
    std::optional<size_t> loaded = in.find_section(".symtab");
    if (!loaded) loaded = in.find_section(".dynsym");
    if (loaded) {
        const Shdr& s = in.shdrs[*loaded];
        if (s.entsize == 0 || s.entsize >= sym_size(bits)) {
            if (!read_symbols(in, *loaded, syms, err)) return decline("symbols: " + err);
            for (const Sym& y : syms)
                if (y.shndx == SHN_XINDEX) return decline("symbol needs SHT_SYMTAB_SHNDX");
            if (s.link >= nsec) return decline("symbol table sh_link outside the section table");
            strtab = in.section_data(s.link);
            if (strtab.size() != in.shdrs[s.link].size) return decline("string table outside the file");
            if (syms.empty() || strtab.empty()) syms.clear(), strtab.clear();
        }
    }

    // Copy: the string table size comes from the last ".symtab"'s link.
    std::optional<size_t> symtab = in.find_section(".symtab", true);
    if (symtab && symtab != in.find_section(".symtab")) return decline("two sections named .symtab");
    uint64_t strtab_size = 0;
    if (symtab) strtab_size = in.shdrs[in.shdrs[*symtab].link].size & 0xffffffffu;
    if (strtab_size > 0x7fffffffu || strtab_size > strtab.size()) return decline("string table size mismatch");
    std::optional<std::string> old_strtab;
    if (strtab_size) old_strtab = strtab.substr(0, static_cast<size_t>(strtab_size));
    const std::string shstrtab = in.shstrtab;

    std::vector<Shdr> shdrs = in.shdrs;
    std::vector<Phdr> phdrs = in.phdrs;
    Expectation x;

    // Reduce.
    std::optional<std::string> new_strtab = old_strtab;
    if (symtab) {
        std::string names;
        for (size_t i = 0; i < syms.size(); ++i) {
            const Sym& y = syms[i];
            std::optional<std::string> name = string_at(old_strtab.value_or(""), y.name);
            if (!name) return decline("st_name outside the string table");
            if (std::find(keep.begin(), keep.end(), *name) == keep.end()) continue;
            Sym k = y;
            k.name = static_cast<uint32_t>(names.size());
            names += *name;
            names += '\0';
            x.kept.push_back(k);
            x.kept_names.push_back(*name);
            x.kept_index.push_back(i);
        }
        syms = x.kept;
        Shdr& s = shdrs[*symtab];
        s.size = syms.size() * 24;
        s.entsize = 24;
        shdrs[s.link].size = names.size();
        // The new buffer is at least as long as the old table, zero beyond the names.
        new_strtab = names;
        if (new_strtab->size() < strtab_size) new_strtab->resize(static_cast<size_t>(strtab_size), '\0');
        x.strtab = names;
    }
    for (Phdr& p : phdrs) p.filesz = 0;

    // Lay out and write.
    Encoder out(bits, in.big_endian);
    uint64_t pos = 0;
    if (nsec >= 2) {
        if (shdrs[1].offset) {
            pos = shdrs[1].offset;
        } else {
            for (size_t i = 2; i < nsec; ++i)
                if (static_cast<int64_t>(shdrs[i].offset) > 0) {
                    pos = shdrs[i].offset;
                    break;
                }
        }
    }
    size_t search_from = 0;
    for (size_t i = 0; i < nsec; ++i) {
        if (pos > 0x7fffffffu) return decline("position beyond 2 GiB");
        Shdr& h = shdrs[i];
        std::optional<std::string> name = string_at(shstrtab, h.name);
        if (!name) return decline("sh_name outside the section names");
        const bool is_symtab = *name == ".symtab", is_strtab = *name == ".strtab", is_shstr = *name == ".shstrtab";
        if (!is_symtab && !is_strtab && !is_shstr) {
            h.offset = pos;
            for (size_t j = search_from; j < phdrs.size(); ++j)
                if (phdrs[j].vaddr == h.addr) {
                    phdrs[j].offset = pos;
                    search_from = j;
                    break;
                }
            continue;
        }
        if (bits == 32 && !(fits32(h.flags) && fits32(h.addr) && fits32(h.size) && fits32(h.addralign) &&
                            fits32(h.entsize)))
            return decline("32-bit overflow in a section header");
        std::string data;
        bool have_data = true;
        if (is_symtab) {
            if (h.type != SHT_SYMTAB) return decline(".symtab that is not SHT_SYMTAB");
            if (h.entsize == 0) return decline(".symtab with sh_entsize 0");
            uint64_t count = h.size / h.entsize;
            if (count > syms.size()) return decline(".symtab larger than the kept symbols");
            if (bits == 32) h.size = count * 16, h.entsize = 16;
            Encoder se(bits, in.big_endian);
            for (uint64_t k = 0; k < count; ++k) se.sym(k * sym_size(bits), syms[k]);
            data = se.bytes();
        } else if (is_strtab) {
            have_data = new_strtab.has_value();
            data = new_strtab.value_or("");
        } else {
            data = shstrtab;
        }
        const uint64_t a = h.addralign;
        if (a > 1) {
            uint64_t pad = (a - 1) & (a - (pos & (a - 1)));
            out.put_bytes(pos, std::string(static_cast<size_t>(pad), '\0'));
            pos += pad;
        }
        if (bits == 32 && !fits32(pos)) return decline("32-bit overflow in a data offset");
        h.offset = pos;
        if (h.type != SHT_NOBITS) pos += h.size;
        if (h.size == 0) {
            h.offset = 0;
            continue;
        }
        switch (h.type) {
            case SHT_NULL:
            case SHT_NOBITS:
                break;
            case SHT_PROGBITS:
            case SHT_STRTAB:
            case SHT_NOTE:
            case 17:  // SHT_GROUP
                if (is_symtab) return decline("symbol records written as raw bytes");
                if (!have_data) break;  // no data: the write fails, nothing is written
                if (data.size() < h.size) return decline("section larger than its data");
                out.put_bytes(h.offset, data.substr(0, static_cast<size_t>(h.size)));
                break;
            case SHT_SYMTAB:
                if (!is_symtab) return decline("string table of type SHT_SYMTAB");
                out.put_bytes(h.offset, data);
                break;
            case SHT_RELA:
            case SHT_REL:
            case 18:  // SHT_SYMTAB_SHNDX
                return decline("record section named like a table");
            default:
                break;  // unsupported type: the write fails, nothing is written
        }
    }

    Ehdr e = in.ehdr;
    e.shoff = pos;
    if (bits == 32 && !fits32(e.shoff)) return decline("32-bit overflow in e_shoff");
    out.ehdr(e);
    for (size_t j = 0; j < phdrs.size(); ++j) out.phdr(e.phoff + j * phdr_size(bits), phdrs[j]);
    for (size_t i = 0; i < nsec; ++i) out.shdr(e.shoff + i * shdr_size(bits), shdrs[i]);
    x.ok = true;
    x.bytes = out.bytes();
    return x;
}

}  // namespace elfmaker
