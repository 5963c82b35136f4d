// Loading the input executable: the whole-file reader and the ET_EXEC gate.
//
// The two refusals a user meets most often (not ELF, not an executable) are
// written straight to standard error without the diagnostics prefix; they
// are answers about the file, not failures of the tool.
#include "genelf/codec.h"
#include "genelf/symtable.h"
#include "shared/genmem.h"

int32_t ElfWordSize = 0;

namespace {

// genelf_readfile's steps.  With `phdr_table` the program header table is
// only checked and located at its turn, and left for the caller to read.
int read_file(Elf64_Ehdr* ehdr, Elf64_Phdr** phdrs, Elf64_Shdr** shdrs, Elf64_Sym** syms, uint8_t** strtab,
              uint8_t** shstrtab, uint32_t* nsyms, FILE* stream, const char* name, ElfFileTable* phdr_table) {
    if (ehdr == nullptr) return 0;
    if (!genelf_is_elf(stream)) {
        std::fprintf(stderr, "File %s is not a valid ELF file.\n", name != nullptr ? name : "");
        return 0;
    }
    std::rewind(stream);
    elfbits bits = genelf_elfbits(stream, 0);
    // An unknown class leaves the header empty; the symbol reader below
    // then stops with "Unexpected elfbits".
    genelf_readheader(stream, ehdr, bits);
    if (phdrs != nullptr && phdr_table == nullptr)
        *phdrs = genelf_readprogheaders(stream, nullptr, ehdr->e_phnum, ehdr->e_phoff, ehdr->e_phentsize, bits);
    else if (phdrs != nullptr && ehdr->e_phnum > 0)
        genelf_locate_progheaders(stream, ehdr->e_phnum, ehdr->e_phoff, ehdr->e_phentsize, bits, phdr_table);
    if (ehdr->e_shoff == 0 && ehdr->e_shnum != 0)
        genelf_errorf("e_shoff is 0 but e_shnum is %u: the file has no section header table to read",
                      ehdr->e_shnum);
    if (ehdr->e_shoff != 0 && shdrs != nullptr && shstrtab != nullptr) {
        if (std::fseek(stream, 0, SEEK_SET) != 0) return 0;
        if (genelf_read_section_headers(stream, shdrs, shstrtab) == 0) return 0;
    }
    if (syms != nullptr && strtab != nullptr) {
        if (std::fseek(stream, 0, SEEK_SET) != 0) return 0;
        uint64_t count = genelf_read_symtab(stream, syms, strtab);
        if (nsyms != nullptr) *nsyms = static_cast<uint32_t>(count);
    }
    return 1;
}

}  // namespace

int genelf_readfile(Elf64_Ehdr* ehdr, Elf64_Phdr** phdrs, Elf64_Shdr** shdrs, Elf64_Sym** syms, uint8_t** strtab,
                    uint8_t** shstrtab, uint32_t* nsyms, FILE* stream, const char* name) {
    return read_file(ehdr, phdrs, shdrs, syms, strtab, shstrtab, nsyms, stream, name, nullptr);
}

int load_executable(ElfImage* image, FILE* stream, const char* name) {
    // The symbol table is located from the section headers read here, and
    // its entries and names stay in the file (genelf_defer_symtab); see
    // genelf.h for why.  The program headers are read last, when nothing can
    // refuse the file any more: a table of 65535 of them claimed by a file
    // of a few bytes, often refused for its sections, then costs nothing.
    ElfFileTable phdr_table = {};
    int result = read_file(&image->ehdr, &image->phdrs, &image->shdrs, nullptr, nullptr, &image->shstrtab,
                           &image->nsyms, stream, name, &phdr_table);
    if (result != 1) return result;
    if (image->shstrtab != nullptr) image->shstrtab_size = image->shdrs[image->ehdr.e_shstrndx].sh_size;
    genelf_defer_symtab(stream, image);
    if (image->ehdr.e_type != ET_EXEC) {
        std::fprintf(stderr, "ELF file %s is not a valid executable program with e_type ET_EXEC (2), e_type is %d.\n",
                     name != nullptr ? name : "", static_cast<int>(image->ehdr.e_type));
        return 0;
    }
    const uint16_t phnum = image->ehdr.e_phnum;
    if (phnum > 0) {
        image->phdrs = static_cast<Elf64_Phdr*>(AllocHook(phnum, sizeof(Elf64_Phdr)));
        genelf_read_progheader_table(phdr_table, phnum, image->phdrs);
    }
    ElfWordSize = image->ehdr.e_ident[EI_CLASS] == ELFCLASS32 ? 4 : 8;
    return 1;
}
