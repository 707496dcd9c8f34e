// The program image: a fixed header, the DLL-command table, the
// support-library list and the section chain "const", "form", "help", "code",
// "var", "@reloc1", laid out byte for byte with no alignment.
//
// read_image() validates everything before anything is used and returns a
// view whose spans point into the caller's bytes; write_image() lays the
// pieces out again. Every integer is a little-endian u32; offsets are
// image-relative unless a field says code- or const-relative.
//
// A loader keeps the image in one piece at a 16-byte-aligned address (code
// reaches const PC-relative, and the builder aligned constants relative to
// the image base), gives "var" its own zeroed block, and keeps all three and
// the service table below 2 GiB.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace cu::image {

inline constexpr std::uint32_t kNone = 0xFFFFFFFFu;  // "-1": no next section, nothing stored
inline constexpr std::uint32_t kHeaderSize = 0x58;
inline constexpr std::uint32_t kSectionHeaderSize = 56;
inline constexpr std::uint32_t kSectionNameSize = 24;

// Words of the fixed header that no code reads; a writer stores these values.
inline constexpr std::uint32_t kHeaderWord28 = 1;
inline constexpr std::uint32_t kHeaderWord2C = 3;
inline constexpr std::uint32_t kHeaderWord30 = 0;
inline constexpr std::uint32_t kHeaderWord34 = 0x00010120;

enum SectionFlag : std::uint32_t {
    kReadable = 0x01,
    kWritable = 0x02,
    kExecutable = 0x04,
    kNotStored = 0x10,  // zero-filled at load
};

// The six sections in their fixed order.
enum class Section { Const, Form, Help, Code, Var, Reloc1 };
inline constexpr std::size_t kSectionCount = 6;
const char* section_name(Section s);
std::uint32_t section_flags(Section s);

// Internal relocation kinds: what the loader adds to the stored operand.
enum class RelocationKind : std::uint8_t {
    Service = 0,  // stored: slot byte offset 0x00..0x30; written: that slot's address
    Const = 1,    // stored: const-relative offset
    Var = 2,      // stored: offset within "var"
    Code = 3,     // stored: code-relative offset
};
inline constexpr std::uint32_t kMaxServiceOffset = 0x30;
inline constexpr std::size_t kServiceSlots = kMaxServiceOffset / 4 + 1;

// A relocation word is (code-relative operand offset) * 8 + kind.
inline std::uint32_t relocation_word(std::uint32_t operand, RelocationKind kind)
{
    return operand << 3 | static_cast<std::uint32_t>(kind);
}

// "@reloc1" groups, in stored order: operands holding numbers the runtime
// may give its own values.
enum class Group { Unit = 0, Dll = 1, Library = 2, LibraryType = 3 };
inline constexpr std::size_t kGroupCount = 4;
const char* group_name(Group g);

struct DllCommand {
    std::uint32_t library_word = 0;   // const-relative; 0: the empty text, no library named
    std::uint32_t function_word = 0;  // const-relative
    bool operator==(const DllCommand&) const = default;
};

struct SupportLibrary {
    std::string short_name;   // file stem
    std::string identifier;   // 32 hex digits, either case
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::string description;  // system code page
    bool operator==(const SupportLibrary&) const = default;
};

struct SectionHeader {
    std::uint32_t offset = 0;            // where this header starts (image-relative)
    std::uint32_t header_length = 0;     // 56 + 4 * relocation_count
    std::uint32_t next = kNone;
    std::uint32_t flags = 0;
    std::string name;
    std::uint32_t memory_size = 0;
    std::uint32_t stored_size = 0;
    std::uint32_t data_offset = kNone;
    std::uint32_t relocation_count = 0;
};

// Everything an image is made of: what the writer takes and what a read
// image can be turned back into.
struct ImageParts {
    std::vector<DllCommand> dll_commands;
    std::vector<SupportLibrary> libraries;  // index 0: the kernel library
    std::vector<std::uint8_t> const_data;   // starts with the empty text
    std::vector<std::uint8_t> form_data;
    std::vector<std::uint8_t> help_data;
    std::vector<std::uint8_t> code_data;
    std::uint32_t var_size = 0;
    std::vector<std::uint32_t> relocations;  // relocation words, in the order to store them
    std::array<std::vector<std::uint32_t>, kGroupCount> groups;  // code-relative operand offsets
    std::uint32_t start = 0;                 // code-relative offset of the start routine
    bool operator==(const ImageParts&) const = default;
};

// A validated image. Spans point into the bytes given to read_image.
struct ImageView {
    std::string name;                       // for messages
    std::span<const std::uint8_t> bytes;    // the image alone: [0, end of the last section)
    std::uint32_t first_section = 0;
    std::uint32_t start = 0;                // image-relative, as stored at 0x3C
    std::vector<DllCommand> dll_commands;
    std::vector<SupportLibrary> libraries;
    std::vector<SectionHeader> chain;       // the six sections, in their fixed order

    std::span<const std::uint8_t> const_data, form_data, help_data, code_data;
    std::uint32_t var_size = 0;
    std::vector<std::uint32_t> relocations;  // stored order, each checked
    std::array<std::vector<std::uint32_t>, kGroupCount> groups;

    const SectionHeader& section(Section s) const { return chain[static_cast<std::size_t>(s)]; }
    std::uint32_t start_in_code() const { return start - section(Section::Code).data_offset; }
    // A const text by its const-relative offset (validated to be terminated).
    std::string_view const_text(std::uint32_t offset) const;
};

// Validates and reads an image held in `bytes` (which may go on past the
// image's end). On failure returns nothing and sets *error to
// "image <name>: <reason>".
std::optional<ImageView> read_image(std::span<const std::uint8_t> bytes, std::string_view name, std::string* error);

// Lays the pieces out in the fixed order with no gaps and exact sizes.
// Throws std::length_error when a piece does not fit the format's 32-bit
// fields.
std::vector<std::uint8_t> write_image(const ImageParts& parts);

// The pieces of a read image, for rewriting it.
ImageParts parts_of(const ImageView& view);

// Where the loader put things. Every address must lie below 2 GiB: the code
// uses them as sign-extended 32-bit operands.
struct Addresses {
    std::uint64_t const_base = 0;
    std::uint64_t var_base = 0;
    std::uint64_t code_base = 0;
    std::array<std::uint64_t, kServiceSlots> slot_address{};  // by slot offset / 4; 0: no such service
};

// The runtime's number for something the image numbers (identity keeps the
// image's own numbering).
using Renumber = std::function<std::uint32_t(Group group, std::uint32_t image_number)>;

// Fixes up a copy of the code (view.code_data.size() bytes): every internal
// relocation once, in stored order, from the stored values in view.code_data,
// then every "@reloc1" operand through `renumber` (empty: identity). Every
// value is computed and checked before any byte is written, so a refused
// relocation leaves code_copy as it was. Returns false and sets *error
// ("image <name>: <reason>") when an address would not fit below 2 GiB or a
// needed service slot has no address.
bool relocate(const ImageView& view, std::uint8_t* code_copy, const Addresses& addresses, const Renumber& renumber,
              std::string* error);

}  // namespace cu::image
