// Whether a shared object's file holds every byte the system loader will map
// from it, checked before it is loaded: the loader maps a truncated file
// without complaint, and the process then dies of SIGBUS at the first touch
// past its end. The shared objects it needs from its own directory are
// checked too (they are loaded with it). Header-only: the launcher uses it
// before any runtime library is loaded.
#pragma once
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace cu {

namespace shared_object_detail {

struct File {
    int fd = -1;
    std::uint64_t size = 0;
    explicit File(const std::string& path) : fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC))
    {
        struct stat st{};
        if (fd >= 0 && ::fstat(fd, &st) == 0) size = static_cast<std::uint64_t>(st.st_size);
    }
    ~File()
    {
        if (fd >= 0) ::close(fd);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    // Reads `n` bytes at `offset`; false unless all of them lie in the file.
    bool read(std::uint64_t offset, void* out, std::uint64_t n) const
    {
        return offset <= size && n <= size - offset &&
               ::pread(fd, out, n, static_cast<off_t>(offset)) == static_cast<ssize_t>(n);
    }
};

// The file offset of virtual address `address`, through the loadable segments.
inline bool file_offset(const std::vector<Elf64_Phdr>& segments, std::uint64_t address, std::uint64_t* offset)
{
    for (const Elf64_Phdr& s : segments)
        if (s.p_type == PT_LOAD && address >= s.p_vaddr && address - s.p_vaddr < s.p_filesz) {
            *offset = s.p_offset + (address - s.p_vaddr);
            return true;
        }
    return false;
}

// The DT_NEEDED names of a checked file (best effort: none when unreadable).
inline std::vector<std::string> needed(const File& f, const std::vector<Elf64_Phdr>& segments)
{
    std::vector<std::string> names;
    for (const Elf64_Phdr& s : segments) {
        if (s.p_type != PT_DYNAMIC) continue;
        std::vector<Elf64_Dyn> dynamic(s.p_filesz / sizeof(Elf64_Dyn));
        if (!f.read(s.p_offset, dynamic.data(), dynamic.size() * sizeof(Elf64_Dyn))) return names;
        std::uint64_t strtab = 0, strsz = 0;
        for (const Elf64_Dyn& d : dynamic) {
            if (d.d_tag == DT_STRTAB) strtab = d.d_un.d_ptr;
            if (d.d_tag == DT_STRSZ) strsz = d.d_un.d_val;
        }
        std::uint64_t strings = 0;
        if (!file_offset(segments, strtab, &strings) || strsz > (1u << 24)) return names;
        std::string table(strsz, '\0');
        if (!f.read(strings, table.data(), strsz)) return names;
        for (const Elf64_Dyn& d : dynamic)
            if (d.d_tag == DT_NEEDED && d.d_un.d_val < strsz) names.emplace_back(table.c_str() + d.d_un.d_val);
    }
    return names;
}

}  // namespace shared_object_detail

// Empty when `path` is no 64-bit ELF file (the loader's own refusal is clear
// then) or when it and the objects it needs from its directory hold all they
// map; otherwise what is wrong, naming the damaged file.
inline std::string shared_object_damage(const std::string& path, int depth = 0)
{
    using namespace shared_object_detail;
    const File f(path);
    Elf64_Ehdr header{};
    if (f.fd < 0 || !f.read(0, &header, sizeof header)) return {};
    if (header.e_ident[EI_MAG0] != ELFMAG0 || header.e_ident[EI_MAG1] != ELFMAG1 || header.e_ident[EI_MAG2] != ELFMAG2 ||
        header.e_ident[EI_MAG3] != ELFMAG3 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
        header.e_phentsize != sizeof(Elf64_Phdr))
        return {};
    std::vector<Elf64_Phdr> segments(header.e_phnum);
    if (!f.read(header.e_phoff, segments.data(), segments.size() * sizeof(Elf64_Phdr)))
        return path + " is truncated: its program headers lie past its end";
    for (const Elf64_Phdr& s : segments)
        if (s.p_type == PT_LOAD && (s.p_offset > f.size || s.p_filesz > f.size - s.p_offset))
            return path + " is truncated: it has " + std::to_string(f.size) + " bytes, its segments need " +
                   std::to_string(s.p_offset + s.p_filesz);
    if (depth > 4) return {};
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    for (const std::string& name : needed(f, segments)) {
        const std::string beside = directory + name;
        if (::access(beside.c_str(), F_OK) != 0) continue;  // found elsewhere by the loader
        if (std::string why = shared_object_damage(beside, depth + 1); !why.empty()) return why;
    }
    return {};
}

}  // namespace cu
