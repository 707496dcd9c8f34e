// The reader against damaged images: one case per field, each refused with a
// message naming the image and the fault; and every truncation refused.
#include <gtest/gtest.h>

#include <functional>

#include "bytes.h"
#include "image.h"
#include "test_images.h"

namespace cu::image::test {
namespace {

struct Offsets {
    std::uint32_t libraries = 0;  // first library record
    std::array<std::uint32_t, kSectionCount> header{};
    std::uint32_t code_data = 0;
    std::uint32_t reloc1_data = 0;
};

Offsets offsets_of(const std::vector<std::uint8_t>& bytes)
{
    std::optional<ImageView> v = read_image(bytes, "sample", nullptr);
    Offsets o;
    o.libraries = kHeaderSize + 8 * static_cast<std::uint32_t>(v->dll_commands.size());
    for (std::size_t i = 0; i < kSectionCount; ++i) o.header[i] = v->chain[i].offset;
    o.code_data = v->section(Section::Code).data_offset;
    o.reloc1_data = v->section(Section::Reloc1).data_offset;
    return o;
}

using Damage = std::function<void(std::vector<std::uint8_t>&, const Offsets&)>;

struct Case {
    const char* name;
    Damage damage;
    const char* reason;  // part of the expected message
};

void put(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) { store_u32(b.data() + at, v); }
std::uint32_t get(const std::vector<std::uint8_t>& b, std::size_t at) { return load_u32(b.data() + at); }

std::size_t header(const Offsets& o, Section s) { return o.header[static_cast<std::size_t>(s)]; }
std::size_t relocation(const Offsets& o, std::size_t i) { return header(o, Section::Code) + kSectionHeaderSize + 4 * i; }

const Case kCases[] = {
    {"short header", [](auto& b, auto&) { b.resize(0x50); }, "too short for the fixed header"},
    {"reserved header word", [](auto& b, auto&) { put(b, 0x10, 1); }, "reserved header word at 0x10"},
    {"header word 0x28", [](auto& b, auto&) { put(b, 0x28, 2); }, "header word at 0x28"},
    {"header word 0x34", [](auto& b, auto&) { put(b, 0x34, 0); }, "header word at 0x34"},
    {"header word 0x54", [](auto& b, auto&) { put(b, 0x54, 0); }, "header word at 0x54"},
    {"DLL count", [](auto& b, auto&) { put(b, 0x38, 0xFFFFFFFF); }, "DLL-command table"},
    {"library field count", [](auto& b, auto& o) { b[o.libraries + 5] = 'x'; }, "4 fields instead of 5"},
    {"library short name", [](auto& b, auto& o) { b[o.libraries] = '/'; }, "not a plain file stem"},
    {"library identifier", [](auto& b, auto& o) { b[o.libraries + 6] = 'G'; }, "identifier is not 32 hexadecimal"},
    {"library version", [](auto& b, auto& o) { b[o.libraries + 6 + 33] = 'x'; }, "version is not two decimal"},
    {"library list unterminated", [](auto& b, auto& o) { b.resize(o.libraries + 10); }, "has no terminating NUL"},
    {"first section", [](auto& b, auto&) { put(b, 0x24, get(b, 0x24) + 1); }, "the section chain starts at"},
    {"chain loop", [](auto& b, auto& o) { put(b, header(o, Section::Reloc1) + 4, header(o, Section::Const)); },
     "does not follow the previous section"},
    {"chain cut short", [](auto& b, auto& o) { put(b, header(o, Section::Form) + 4, kNone); }, "ends after 2 sections"},
    {"header length", [](auto& b, auto& o) { put(b, header(o, Section::Code), get(b, header(o, Section::Code)) + 4); },
     "does not match 4 relocation entries"},
    {"relocation count", [](auto& b, auto& o) { put(b, header(o, Section::Code) + 48, 0x40000000); },
     "does not match"},
    {"flags", [](auto& b, auto& o) { put(b, header(o, Section::Const) + 8, 0x03); }, "flags 0x3, expected 0x1"},
    {"section name", [](auto& b, auto& o) { b[header(o, Section::Const) + 12] = 'k'; }, "expected \"const\""},
    {"name padding", [](auto& b, auto& o) { b[header(o, Section::Help) + 12 + 20] = 'x'; }, "not NUL-padded"},
    {"name unterminated", [](auto& b, auto& o) { std::fill_n(b.begin() + header(o, Section::Help) + 12, 24, 'x'); },
     "not NUL-terminated"},
    {"section reserved word", [](auto& b, auto& o) { put(b, header(o, Section::Form) + 52, 1); }, "reserved word is not zero"},
    {"relocations outside code", [](auto& b, auto& o) { put(b, header(o, Section::Form) + 48, 1); },
     "header length 0x38 does not match 1"},
    {"memory size", [](auto& b, auto& o) { put(b, header(o, Section::Form) + 36, 1); }, "differs from stored size"},
    {"stored size", [](auto& b, auto& o) {
         put(b, header(o, Section::Reloc1) + 36, 0x1000);
         put(b, header(o, Section::Reloc1) + 40, 0x1000);
     }, "data runs past the end"},
    {"data offset", [](auto& b, auto& o) { put(b, header(o, Section::Help) + 44, get(b, header(o, Section::Help) + 44) + 1); },
     "is not right after the header"},
    {"var stored", [](auto& b, auto& o) { put(b, header(o, Section::Var) + 40, 4); }, "not stored has stored size 0x4"},
    {"var data offset", [](auto& b, auto& o) { put(b, header(o, Section::Var) + 44, 0); }, "data offset 0x0"},
    {"var size", [](auto& b, auto& o) { put(b, header(o, Section::Var) + 36, 0xFFFFFFF0); }, "is too large"},
    {"header slot", [](auto& b, auto&) { put(b, 0x44, get(b, 0x40)); }, "header slot at 0x44"},
    {"const empty text", [](auto& b, auto& o) { b[header(o, Section::Const) + kSectionHeaderSize] = 'x'; },
     "does not start with the empty text"},
    {"DLL library word", [](auto& b, auto&) { put(b, kHeaderSize + 4, 0x1000); }, "DLL command 1 library name at const offset 0x1000 lies outside"},
    {"DLL function word", [](auto& b, auto&) { put(b, kHeaderSize + 8, 0); }, "DLL command 0 names no function"},
    {"DLL text unterminated", [](auto& b, auto& o) { b[header(o, Section::Form) - 1] = 'x'; }, "has no terminating NUL"},
    {"start", [](auto& b, auto& o) { put(b, 0x3C, o.code_data + kSampleCodeSize); }, "start routine offset"},
    {"relocation kind", [](auto& b, auto& o) { put(b, relocation(o, 0), get(b, relocation(o, 0)) | 7); }, "unknown kind 7"},
    {"relocation operand", [](auto& b, auto& o) { put(b, relocation(o, 0), relocation_word(kSampleCodeSize - 3, RelocationKind::Const)); },
     "does not lie wholly inside the code"},
    {"relocation twice", [](auto& b, auto& o) { put(b, relocation(o, 1), get(b, relocation(o, 0))); },
     "operand at code offset 0x10 is listed twice"},
    {"service slot not aligned", [](auto& b, auto& o) { put(b, o.code_data + kServiceOperand, 0x06); }, "service slot offset 0x6"},
    {"service slot too high", [](auto& b, auto& o) { put(b, o.code_data + kServiceOperand, 0x34); }, "service slot offset 0x34"},
    {"operands overlap", [](auto& b, auto& o) { put(b, o.reloc1_data + 4, kConstOperand + 2); }, "overlap"},
    {"group operand outside code", [](auto& b, auto& o) { put(b, o.reloc1_data + 4, kSampleCodeSize); }, "\"@reloc1\" unit group entry 0: operand at code offset 0x40 does not lie wholly"},
    {"group operand twice", [](auto& b, auto& o) { put(b, o.reloc1_data + 12, kUnitOperand); }, "operand at code offset 0x20 is listed twice"},
    {"group count", [](auto& b, auto& o) { put(b, o.reloc1_data, 1000); }, "count runs past the end"},
    {"group bytes left over", [](auto& b, auto& o) { put(b, o.reloc1_data + 24, 0); }, "4 bytes after the four groups"},
    {"form record", [](auto& b, auto& o) { put(b, header(o, Section::Form) + kSectionHeaderSize, 7); }, "form: window table size"},
    {"form handler", [](auto& b, auto& o) {
         // The window's one event binding: its handler word, found by value.
         const std::size_t form = header(o, Section::Form) + kSectionHeaderSize;
         for (std::size_t at = form; at + 8 <= b.size(); ++at)
             if (get(b, at) == 0 && get(b, at + 4) == 0x30) {
                 put(b, at + 4, kSampleCodeSize);
                 break;
             }
     }, "binds a handler outside the code"},
};

class DamagedImage : public testing::TestWithParam<Case> {};

TEST_P(DamagedImage, IsRefusedWithItsReason)
{
    std::vector<std::uint8_t> bytes = sample_image();
    ASSERT_TRUE(read_image(bytes, "sample", nullptr));
    GetParam().damage(bytes, offsets_of(bytes));
    std::string error;
    EXPECT_FALSE(read_image(bytes, "sample.img", &error));
    EXPECT_EQ(error.rfind("image sample.img: ", 0), 0u) << error;
    EXPECT_NE(error.find(GetParam().reason), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(OneFieldEach, DamagedImage, testing::ValuesIn(kCases),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             for (char& c : name)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

TEST(ImageReader, ReadsTheSampleAsWritten)
{
    const std::vector<std::uint8_t> bytes = sample_image();
    std::string error;
    std::optional<ImageView> v = read_image(bytes, "sample", &error);
    ASSERT_TRUE(v) << error;
    EXPECT_EQ(parts_of(*v), sample_parts());
    EXPECT_EQ(v->bytes.size(), bytes.size());
    EXPECT_EQ(v->const_text(9), "lib.dll");
    EXPECT_EQ(v->section(Section::Var).data_offset, kNone);
    EXPECT_EQ(v->var_size, 4u);
    // Sections follow one another without gaps, each header's data right after it.
    for (std::size_t i = 0; i + 1 < kSectionCount; ++i) {
        const SectionHeader& h = v->chain[i];
        const std::uint64_t end = h.data_offset == kNone ? h.offset + h.header_length : h.data_offset + h.stored_size;
        EXPECT_EQ(h.next, end) << h.name;
    }
    EXPECT_EQ(v->chain.back().next, kNone);
    EXPECT_EQ(v->section(Section::Reloc1).stored_size, 4u * 4 + 4u * 4);
}

// Bytes after the image (the rest of the executable's data section) are not
// part of it.
TEST(ImageReader, IgnoresBytesAfterTheImage)
{
    std::vector<std::uint8_t> bytes = sample_image();
    const std::size_t size = bytes.size();
    bytes.resize(size + 4096, 0);
    std::optional<ImageView> v = read_image(bytes, "sample", nullptr);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->bytes.size(), size);
}

TEST(ImageReader, RefusesEveryTruncation)
{
    const std::vector<std::uint8_t> bytes = sample_image();
    for (std::size_t length = 0; length < bytes.size(); ++length) {
        // A copy of exactly `length` bytes, so a read past it is caught.
        const std::vector<std::uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
        std::string error;
        EXPECT_FALSE(read_image(cut, "cut", &error)) << length;
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
}  // namespace cu::image::test
