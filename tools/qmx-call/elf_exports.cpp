#include "tools/qmx-call/elf_exports.h"

#include <elf.h>

#include <cstdint>
#include <cstring>

namespace qmx {
namespace call {
namespace {

// A T copied from image at offset, which need not be aligned; false when it
// does not lie wholly inside.
template <typename T>
bool ReadAt(const std::string& image, uint64_t offset, T* value) {
  if (offset > image.size() || image.size() - offset < sizeof(T)) return false;
  std::memcpy(value, image.data() + offset, sizeof(T));
  return true;
}

bool Within(const std::string& image, uint64_t offset, uint64_t size) {
  return offset <= image.size() && image.size() - offset >= size;
}

bool IsExport(uint16_t section, unsigned char info, unsigned char other) {
  int binding = ELF32_ST_BIND(info);  // the same bits in both classes
  int visibility = ELF32_ST_VISIBILITY(other);
  return section != SHN_UNDEF &&
         (binding == STB_GLOBAL || binding == STB_WEAK || binding == STB_GNU_UNIQUE) &&
         (visibility == STV_DEFAULT || visibility == STV_PROTECTED);
}

// The names of the dynamic symbol table's exports; *found false when there
// is no such table.
template <typename Ehdr, typename Shdr, typename Sym>
bool ReadExports(const std::string& image, std::vector<std::string>* names,
                 bool* found) {
  Ehdr header;
  if (!ReadAt(image, 0, &header) || header.e_shentsize != sizeof(Shdr) ||
      header.e_shoff > image.size()) {
    return false;
  }
  for (uint64_t i = 0; i < header.e_shnum; ++i) {
    Shdr table, strings;
    if (!ReadAt(image, header.e_shoff + i * sizeof(Shdr), &table)) return false;
    if (table.sh_type != SHT_DYNSYM) continue;
    if (!ReadAt(image, header.e_shoff + uint64_t{table.sh_link} * sizeof(Shdr), &strings) ||
        !Within(image, strings.sh_offset, strings.sh_size) ||
        !Within(image, table.sh_offset, table.sh_size)) {
      return false;
    }
    const char* text = image.data() + strings.sh_offset;
    // Entry 0 is the undefined symbol every table starts with.
    for (uint64_t at = sizeof(Sym); at + sizeof(Sym) <= table.sh_size; at += sizeof(Sym)) {
      Sym symbol;
      ReadAt(image, table.sh_offset + at, &symbol);
      if (!IsExport(symbol.st_shndx, symbol.st_info, symbol.st_other)) continue;
      if (symbol.st_name >= strings.sh_size) return false;
      names->push_back(std::string(text + symbol.st_name,
                                   strnlen(text + symbol.st_name,
                                           strings.sh_size - symbol.st_name)));
    }
    *found = true;
    return true;
  }
  return true;
}

}  // namespace

bool ExportedSymbols(const std::string& image, std::vector<std::string>* names,
                     std::string* error) {
  names->clear();
  bool found = false;
  bool read = false;
  if (image.size() > EI_DATA && std::memcmp(image.data(), ELFMAG, SELFMAG) == 0 &&
      image[EI_DATA] == (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB
                                                                  : ELFDATA2MSB)) {
    if (image[EI_CLASS] == ELFCLASS32) {
      read = ReadExports<Elf32_Ehdr, Elf32_Shdr, Elf32_Sym>(image, names, &found);
    } else if (image[EI_CLASS] == ELFCLASS64) {
      read = ReadExports<Elf64_Ehdr, Elf64_Shdr, Elf64_Sym>(image, names, &found);
    }
  }
  if (read && found) return true;
  *error = read ? "no dynamic symbol table" : "not an ELF file this machine reads";
  return false;
}

}  // namespace call
}  // namespace qmx
