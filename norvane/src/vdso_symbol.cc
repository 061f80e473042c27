// The kernel maps the vDSO into every process as a small ELF shared object
// and passes its address in the auxiliary vector. Its symbols are read here
// from its dynamic section (symbol, string, hash and version tables), the
// way a dynamic loader would, so that no C library's help is needed.
#include <elf.h>
#include <link.h>
#include <sys/auxv.h>

#include <cstdint>
#include <cstring>

#include "platform.h"

namespace norvane::platform {
namespace {

// Vdso is the view of the mapped vDSO needed to look symbols up: addresses
// in its dynamic section are link-time addresses, `bias` apart from where
// it is mapped.
struct Vdso {
    std::uintptr_t bias = 0;
    const ElfW(Sym)* symbols = nullptr;
    const char* strings = nullptr;
    std::size_t string_size = 0;
    std::size_t symbol_count = 0;
    const ElfW(Half)* versym = nullptr;
    const ElfW(Verdef)* verdef = nullptr;
};

template <class T>
const T* at(std::uintptr_t bias, ElfW(Addr) addr) noexcept {
    return reinterpret_cast<const T*>(bias + addr);
}

// gnu_hash_symbol_count is the number of symbols a DT_GNU_HASH table
// covers: one past the last symbol of the longest chain.
std::size_t gnu_hash_symbol_count(const std::uint32_t* table) noexcept {
    const std::uint32_t nbuckets = table[0], symoffset = table[1], bloom_size = table[2];
    const std::uint32_t* buckets =
        reinterpret_cast<const std::uint32_t*>(reinterpret_cast<const ElfW(Addr)*>(table + 4) + bloom_size);
    const std::uint32_t* chains = buckets + nbuckets;
    std::uint32_t last = 0;
    for (std::uint32_t i = 0; i < nbuckets; ++i) {
        if (buckets[i] > last) {
            last = buckets[i];
        }
    }
    if (last < symoffset) {
        return symoffset;
    }
    while ((chains[last - symoffset] & 1) == 0) {
        ++last;
    }
    return last + 1;
}

bool read_vdso(Vdso& v) noexcept {
    const auto base = static_cast<std::uintptr_t>(getauxval(AT_SYSINFO_EHDR));
    if (base == 0) {
        return false;
    }
    const auto* ehdr = reinterpret_cast<const ElfW(Ehdr)*>(base);
    if (std::memcmp(ehdr->e_ident, ELFMAG, SELFMAG) != 0 || ehdr->e_phentsize != sizeof(ElfW(Phdr))) {
        return false;
    }
    const auto* phdrs = reinterpret_cast<const ElfW(Phdr)*>(base + ehdr->e_phoff);
    const ElfW(Dyn)* dynamic = nullptr;
    bool loaded = false;
    for (std::size_t i = 0; i < ehdr->e_phnum; ++i) {
        if (phdrs[i].p_type == PT_LOAD && !loaded) {
            v.bias = base + phdrs[i].p_offset - phdrs[i].p_vaddr;
            loaded = true;
        } else if (phdrs[i].p_type == PT_DYNAMIC) {
            dynamic = reinterpret_cast<const ElfW(Dyn)*>(base + phdrs[i].p_offset);
        }
    }
    if (!loaded || dynamic == nullptr) {
        return false;
    }
    const std::uint32_t* sysv_hash = nullptr;
    const std::uint32_t* gnu_hash = nullptr;
    for (const ElfW(Dyn)* d = dynamic; d->d_tag != DT_NULL; ++d) {
        switch (d->d_tag) {
            case DT_SYMTAB: v.symbols = at<ElfW(Sym)>(v.bias, d->d_un.d_ptr); break;
            case DT_STRTAB: v.strings = at<char>(v.bias, d->d_un.d_ptr); break;
            case DT_STRSZ: v.string_size = d->d_un.d_val; break;
            case DT_HASH: sysv_hash = at<std::uint32_t>(v.bias, d->d_un.d_ptr); break;
            case DT_GNU_HASH: gnu_hash = at<std::uint32_t>(v.bias, d->d_un.d_ptr); break;
            case DT_VERSYM: v.versym = at<ElfW(Half)>(v.bias, d->d_un.d_ptr); break;
            case DT_VERDEF: v.verdef = at<ElfW(Verdef)>(v.bias, d->d_un.d_ptr); break;
            default: break;
        }
    }
    if (v.symbols == nullptr || v.strings == nullptr || (sysv_hash == nullptr && gnu_hash == nullptr)) {
        return false;
    }
    // DT_HASH's chain count is the symbol count; a vDSO linked with only
    // DT_GNU_HASH gives it through its chains.
    v.symbol_count = sysv_hash != nullptr ? sysv_hash[1] : gnu_hash_symbol_count(gnu_hash);
    return true;
}

bool names(const Vdso& v, ElfW(Word) offset, const char* want) noexcept {
    const std::size_t len = std::strlen(want);
    return offset < v.string_size && v.string_size - offset > len &&
           std::memcmp(v.strings + offset, want, len + 1) == 0;
}

// has_version tells whether symbol i is defined with the given version.
// Without version tables every definition matches.
bool has_version(const Vdso& v, std::size_t i, const char* version) noexcept {
    if (v.versym == nullptr || v.verdef == nullptr) {
        return true;
    }
    const ElfW(Half) index = v.versym[i] & 0x7fff;
    for (const ElfW(Verdef)* d = v.verdef;;
         d = reinterpret_cast<const ElfW(Verdef)*>(reinterpret_cast<const char*>(d) + d->vd_next)) {
        if ((d->vd_flags & VER_FLG_BASE) == 0 && d->vd_ndx == index) {
            const auto* aux = reinterpret_cast<const ElfW(Verdaux)*>(reinterpret_cast<const char*>(d) + d->vd_aux);
            return names(v, aux->vda_name, version);
        }
        if (d->vd_next == 0) {
            return false;
        }
    }
}

}  // namespace

void* vdso_symbol(const VdsoSymbol& symbol) noexcept {
    Vdso v;
    if (symbol.name == nullptr || !read_vdso(v)) {
        return nullptr;
    }
    for (std::size_t i = 0; i < v.symbol_count; ++i) {
        const ElfW(Sym)& s = v.symbols[i];
        // The type and binding fields are alike in both ELF classes.
        const unsigned type = ELF64_ST_TYPE(s.st_info), bind = ELF64_ST_BIND(s.st_info);
        if (s.st_shndx == SHN_UNDEF || type != STT_FUNC || (bind != STB_GLOBAL && bind != STB_WEAK)) {
            continue;
        }
        if (names(v, s.st_name, symbol.name) && has_version(v, i, symbol.version)) {
            return reinterpret_cast<void*>(v.bias + s.st_value);
        }
    }
    return nullptr;
}

}  // namespace norvane::platform
