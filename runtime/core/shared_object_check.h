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

#include <algorithm>
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
    // Whether the file has `n` bytes at `offset` (checked without overflow).
    bool holds(std::uint64_t offset, std::uint64_t n) const { return offset <= size && n <= size - offset; }
    // Reads `n` bytes at `offset`; false unless all of them lie in the file.
    bool read(std::uint64_t offset, void* out, std::uint64_t n) const
    {
        return holds(offset, n) && ::pread(fd, out, n, static_cast<off_t>(offset)) == static_cast<ssize_t>(n);
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

// What is wrong with the dynamic segment `d` (empty when nothing is): it
// must lie in the file, clear of the headers, and where its loaded segment
// puts its address, since the system loader reads it through the address.
inline std::string dynamic_segment_damage(const File& f, const Elf64_Ehdr& header,
                                          const std::vector<Elf64_Phdr>& segments, const Elf64_Phdr& d)
{
    if (!f.holds(d.p_offset, d.p_filesz))
        return "is truncated: it has " + std::to_string(f.size) + " bytes, its dynamic segment claims " +
               std::to_string(d.p_filesz) + " at " + std::to_string(d.p_offset);
    const std::uint64_t headers_end = std::max<std::uint64_t>(
        sizeof(Elf64_Ehdr), header.e_phoff + std::uint64_t{header.e_phnum} * sizeof(Elf64_Phdr));
    const bool after_headers = d.p_offset >= headers_end;
    const bool before_headers = d.p_offset + d.p_filesz <= header.e_phoff && d.p_offset >= sizeof(Elf64_Ehdr);
    if (!after_headers && !before_headers) return "is damaged: its dynamic segment overlaps its headers";
    std::uint64_t mapped = 0;
    if (!file_offset(segments, d.p_vaddr, &mapped) || mapped != d.p_offset)
        return "is damaged: its dynamic segment lies outside its loaded segments";
    return {};
}

// The DT_NEEDED names of a checked file whose dynamic segments passed
// dynamic_segment_damage (best effort: none when unreadable).
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
        // Sized from the file only once the file is known to hold that many bytes.
        if (!file_offset(segments, strtab, &strings) || !f.holds(strings, strsz)) return names;
        std::string table(strsz, '\0');
        if (!f.read(strings, table.data(), strsz)) return names;
        for (const Elf64_Dyn& d : dynamic)
            if (d.d_tag == DT_NEEDED && d.d_un.d_val < strsz) names.emplace_back(table.c_str() + d.d_un.d_val);
    }
    return names;
}

// The check itself; may throw (std::bad_alloc) where memory runs out.
inline std::string damage(const std::string& path, int depth)
{
    const File f(path);
    Elf64_Ehdr header{};
    if (f.fd < 0 || !f.read(0, &header, sizeof header)) return {};
    if (header.e_ident[EI_MAG0] != ELFMAG0 || header.e_ident[EI_MAG1] != ELFMAG1 || header.e_ident[EI_MAG2] != ELFMAG2 ||
        header.e_ident[EI_MAG3] != ELFMAG3 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
        header.e_phentsize != sizeof(Elf64_Phdr))
        return {};
    // Counts and offsets come from the file: each is checked against its size
    // before anything is sized from it.
    const std::uint64_t header_bytes = std::uint64_t{header.e_phnum} * sizeof(Elf64_Phdr);
    if (!f.holds(header.e_phoff, header_bytes))
        return path + " is truncated: its program headers lie past its end";
    std::vector<Elf64_Phdr> segments(header.e_phnum);
    if (!f.read(header.e_phoff, segments.data(), header_bytes))
        return path + " is truncated: its program headers lie past its end";
    for (const Elf64_Phdr& s : segments)
        if (s.p_type == PT_LOAD && !f.holds(s.p_offset, s.p_filesz))
            return path + " is truncated: it has " + std::to_string(f.size) + " bytes, its segments need " +
                   std::to_string(s.p_offset + s.p_filesz);
    // Never read by the system loader, but they come last in the file, so a
    // file cut short (past what it maps) loses them first.
    const std::uint64_t section_bytes = std::uint64_t{header.e_shnum} * header.e_shentsize;
    if (header.e_shnum != 0 && !f.holds(header.e_shoff, section_bytes))
        return path + " is truncated: its section headers lie past its end";
    for (const Elf64_Phdr& s : segments)
        if (s.p_type == PT_DYNAMIC)
            if (std::string why = dynamic_segment_damage(f, header, segments, s); !why.empty()) return path + " " + why;
    if (depth > 4) return {};
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    for (const std::string& name : needed(f, segments)) {
        const std::string beside = directory + name;
        if (::access(beside.c_str(), F_OK) != 0) continue;  // found elsewhere by the loader
        if (std::string why = damage(beside, depth + 1); !why.empty()) return why;
    }
    return {};
}

}  // namespace shared_object_detail

// Empty when `path` is no 64-bit ELF file (the loader's own refusal is clear
// then) or when it and the objects it needs from its directory hold all they
// map; otherwise what is wrong, naming the damaged file. Throws nothing.
inline std::string shared_object_damage(const std::string& path) noexcept
{
    try {
        return shared_object_detail::damage(path, 0);
    } catch (...) {
        // A refusal all the same; short enough to be kept without allocating.
        return "out of memory";
    }
}

}  // namespace cu
