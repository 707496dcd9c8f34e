// Kernel commands on texts and byte arrays. Texts are GBK byte strings:
// positions and lengths count bytes (1-based where the program passes
// positions), searches never match inside a double-byte character, and
// out-of-range positions and counts are clamped to the text, so no command
// reads past its argument.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "blocks.h"
#include "gbk_search.h"
#include "guarded_command.h"
#include "kernel_modules.h"
#include "values.h"

namespace cu::kernel {
namespace {

using Bytes = std::span<const std::uint8_t>;

std::string_view as_text(Bytes b) { return {reinterpret_cast<const char*>(b.data()), b.size()}; }

Bytes as_bytes(std::string_view s) { return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}; }

// A 1-based position turned into a 0-based offset within `size` (below 1 reads as 1).
std::size_t offset_from_position(std::int64_t position, std::size_t size)
{
    return static_cast<std::size_t>(std::clamp<std::int64_t>(position - 1, 0, static_cast<std::int64_t>(size)));
}

// A count clamped to what is available (a negative count is none).
std::size_t clamp_count(std::int64_t count, std::size_t available)
{
    return static_cast<std::size_t>(std::clamp<std::int64_t>(count, 0, static_cast<std::int64_t>(available)));
}

// The replacement limit of a replace command: omitted or negative means all.
std::size_t replacement_limit(const Args& a, std::uint32_t i)
{
    if (a.omitted(i)) return std::numeric_limits<std::size_t>::max();
    const std::int32_t n = a.integer(i);
    return n < 0 ? std::numeric_limits<std::size_t>::max() : static_cast<std::size_t>(n);
}

// Replaces at most `limit` occurrences from byte offset `from`, left to right,
// never re-examining inserted text.
std::string replace_all(std::string_view text, std::string_view find, std::string_view replacement,
                        std::size_t from, std::size_t limit, bool exact_case, bool on_boundaries)
{
    std::string out;
    out.reserve(text.size());
    std::size_t copied = 0;
    auto next = [&, finder = gbk_search::Finder(text, find, exact_case)](std::size_t at) mutable {
        return on_boundaries ? finder.next(at) : (find.empty() ? std::string_view::npos : text.find(find, at));
    };
    for (std::size_t done = 0, at = next(from); done < limit && at != std::string_view::npos;
         ++done, at = next(at + find.size())) {
        out.append(text, copied, at - copied);
        out.append(replacement);
        copied = at + find.size();
    }
    out.append(text, copied);
    return out;
}

// The first at most `limit` bytes of a text argument, measured no further:
// taking a few bytes from a long text costs what the few bytes cost.
std::string_view text_prefix(const Args& a, std::uint32_t i, std::int64_t limit)
{
    const cu_value* r = a.at(i);
    if (!r || r->tag != CU_TAG_TEXT || r->value == 0 || limit <= 0) return {};
    const auto* p = reinterpret_cast<const char*>(r->value);
    return {p, strnlen(p, static_cast<std::size_t>(limit))};
}

// --- texts --------------------------------------------------------------

cu_value text_length(const Args& a) { return int_result(static_cast<std::int32_t>(a.text(0).size())); }

cu_value text_left(const Args& a) { return text_result(text_prefix(a, 0, a.integer(1))); }

cu_value text_mid(const Args& a)
{
    const std::int64_t start = std::max<std::int64_t>(a.integer(1, 1), 1), count = a.integer(2);
    if (count <= 0) return text_result({});
    const std::string_view t = text_prefix(a, 0, start - 1 + count);
    return text_result(t.substr(std::min<std::size_t>(static_cast<std::size_t>(start - 1), t.size())));
}

cu_value byte_text(const Args& a)
{
    const char byte = static_cast<char>(a.integer(0));
    return text_result(std::string_view(&byte, byte ? 1 : 0));
}

// The logical asks for letter case to be ignored; the program passes false.
cu_value text_find(const Args& a)
{
    const std::string_view t = a.text(0);
    const std::size_t from = offset_from_position(a.integer(2, 1), t.size());
    const bool ignore_case = a.integer(3, 0) != 0;
    const std::size_t at = gbk_search::Finder(t, a.text(1), !ignore_case).next(from);
    return int_result(at == std::string_view::npos ? -1 : static_cast<std::int32_t>(at + 1));
}

cu_value text_upper(const Args& a)
{
    std::string t(a.text(0));
    for (std::size_t i = 0; i < t.size(); i += gbk_search::char_width(t, i))
        if (t[i] >= 'a' && t[i] <= 'z') t[i] = static_cast<char>(t[i] - 32);
    return text_result(t);
}

// The leading decimal number (blanks, sign, digits, fraction, exponent); 0
// when the text does not start with one.
cu_value text_to_double(const Args& a)
{
    const std::string_view t = a.text(0);
    std::size_t i = t.find_first_not_of(" \t");
    if (i == std::string_view::npos) return double_result(0);
    const bool negative = t[i] == '-';
    if (t[i] == '-' || t[i] == '+') ++i;
    double value = 0;
    // from_chars reads digits, fraction and exponent but no sign, hex or "inf".
    const std::string_view rest = t.substr(i);
    if (!rest.empty() && (std::isdigit(static_cast<unsigned char>(rest[0])) || rest[0] == '.'))
        std::from_chars(rest.data(), rest.data() + rest.size(), value, std::chars_format::general);
    return double_result(negative ? -value : value);
}

// The leading run of decimal digits (after blanks and a sign), clamped to 32
// bits; 0 when there is none ("4E2D" reads as 4).
cu_value text_to_int(const Args& a)
{
    const std::string_view t = a.text(0);
    std::size_t i = t.find_first_not_of(" \t");
    if (i == std::string_view::npos) return int_result(0);
    const bool negative = t[i] == '-';
    if (t[i] == '-' || t[i] == '+') ++i;
    std::int64_t value = 0;
    for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i)
        value = std::min<std::int64_t>(value * 10 + (t[i] - '0'), std::int64_t{1} << 31);
    value = negative ? -value : std::min<std::int64_t>(value, std::numeric_limits<std::int32_t>::max());
    return int_result(static_cast<std::int32_t>(value));
}

// A byte array's bytes (the text ends at its first NUL), a copy of a text,
// or the decimal form of a number.
cu_value value_to_text(const Args& a)
{
    const cu_value* v = a.at(0);
    switch (v ? v->tag : CU_TAG_OMITTED) {
    case CU_TAG_BYTES: return text_result(as_text(a.bytes(0)));
    case CU_TAG_TEXT: return text_result(a.text(0));
    case CU_TAG_BYTE:
    case CU_TAG_INT:
    case CU_TAG_LOGICAL: return text_result(std::to_string(a.integer(0)));
    case CU_TAG_LONG: return text_result(std::to_string(a.long_integer(0)));
    case CU_TAG_DOUBLE: {
        double d;
        std::memcpy(&d, &v->value, sizeof d);
        char buffer[32];
        const auto end = std::to_chars(buffer, buffer + sizeof buffer, d).ptr;
        return text_result(std::string_view(buffer, static_cast<std::size_t>(end - buffer)));
    }
    default: return text_result({});
    }
}

cu_value text_copy(const Args& a) { return text_result(a.text(0)); }

cu_value text_replace(const Args& a)
{
    const std::string_view t = a.text(0);
    const std::size_t from = offset_from_position(a.integer(3, 1), t.size());
    const bool exact_case = a.omitted(5) || a.integer(5) != 0;
    return text_result(replace_all(t, a.text(1), a.text(2), from, replacement_limit(a, 4), exact_case, true));
}

cu_value blank_text(const Args& a) { return text_result(std::string(clamp_count(a.integer(0), INT32_MAX), ' ')); }

// An array of texts: u32 1 (dimensions), u32 count, then count 8-byte
// pointers to texts owned by the array. An empty text gives no pieces; an
// empty delimiter gives the whole text; a given third argument caps the count.
cu_value text_split(const Args& a)
{
    const std::string_view t = a.text(0), delimiter = a.text(1);
    const std::size_t cap = a.omitted(2) || a.integer(2) < 0 ? std::numeric_limits<std::size_t>::max()
                                                             : static_cast<std::size_t>(a.integer(2));
    std::vector<std::string_view> pieces;
    gbk_search::Finder finder(t, delimiter, true);
    for (std::size_t from = 0; !t.empty() && pieces.size() < cap;) {
        const std::size_t at = finder.next(from);
        pieces.push_back(t.substr(from, at == std::string_view::npos ? std::string_view::npos : at - from));
        if (at == std::string_view::npos) break;
        from = at + delimiter.size();
    }
    const auto count = static_cast<std::uint32_t>(pieces.size());
    auto* block = static_cast<std::uint8_t*>(allocate_block(8 + std::size_t{8} * count));
    const std::uint32_t head[2] = {1, count};
    std::memcpy(block, head, sizeof head);
    for (std::uint32_t i = 0; i < count; ++i) {
        const char* piece = new_text(pieces[i]);
        std::memcpy(block + 8 + std::size_t{8} * i, &piece, 8);
    }
    return pointer_result(block, CU_TAG_OMITTED);  // arrays of texts have no tag of their own
}

// --- byte arrays ------------------------------------------------------------

cu_value bytes_length(const Args& a) { return int_result(static_cast<std::int32_t>(a.bytes(0).size())); }

// A text's bytes without the NUL, or a number's little-endian bytes.
cu_value value_to_bytes(const Args& a)
{
    const cu_value* v = a.at(0);
    std::uint8_t raw[8];
    const std::uint64_t word = v ? v->value : 0;
    switch (v ? v->tag : CU_TAG_OMITTED) {
    case CU_TAG_TEXT: return bytes_result(as_bytes(a.text(0)));
    case CU_TAG_BYTES: return bytes_result(a.bytes(0));
    case CU_TAG_BYTE: raw[0] = static_cast<std::uint8_t>(word); return bytes_result(Bytes(raw, 1));
    case CU_TAG_INT:
    case CU_TAG_LOGICAL: {
        const auto n = static_cast<std::uint32_t>(word);
        std::memcpy(raw, &n, 4);
        return bytes_result(Bytes(raw, 4));
    }
    case CU_TAG_LONG: {
        const auto n = static_cast<std::uint64_t>(a.long_integer(0));
        std::memcpy(raw, &n, 8);
        return bytes_result(Bytes(raw, 8));
    }
    case CU_TAG_DOUBLE: std::memcpy(raw, &word, 8); return bytes_result(Bytes(raw, 8));
    default: return bytes_result({});
    }
}

// A value of the given type read from the start of the bytes. Type codes:
// 1 byte, 2 short, 3 integer, 4 long, 5 float, 6 double, 7 logical, 10 text
// (the bytes up to the first zero, all of them when there is none). Too few
// bytes for the type read as zero.
cu_value bytes_to_value(const Args& a)
{
    const Bytes b = a.bytes(0);
    auto read = [&](auto zero) {
        if (b.size() >= sizeof zero) std::memcpy(&zero, b.data(), sizeof zero);
        return zero;
    };
    switch (a.integer(1)) {
    case 1: return {read(std::uint8_t{}), 0, CU_TAG_BYTE};
    case 2: return int_result(read(std::int16_t{}));
    case 3: return int_result(read(std::int32_t{}));
    case 4: return long_result(read(std::int64_t{}));
    case 5: return double_result(read(float{}));
    case 6: return double_result(read(double{}));
    case 7: return {read(std::int32_t{}) != 0 ? 1u : 0u, 0, CU_TAG_LOGICAL};
    case 10: {
        const std::string_view t = as_text(b);
        return text_result(t.substr(0, t.find('\0')));
    }
    default: return none_result();
    }
}

cu_value bytes_left(const Args& a)
{
    const Bytes b = a.bytes(0);
    return bytes_result(b.first(clamp_count(a.integer(1), b.size())));
}

// Arguments: bytes, find, replacement, start (1-based, omitted: 1), count
// (omitted: all). Byte arrays are not texts: matches may start anywhere.
cu_value bytes_replace(const Args& a)
{
    const std::string_view b = as_text(a.bytes(0));
    const std::size_t from = offset_from_position(a.integer(3, 1), b.size());
    const std::string out = replace_all(b, as_text(a.bytes(1)), as_text(a.bytes(2)), from,
                                        replacement_limit(a, 4), true, false);
    return bytes_result(as_bytes(out));
}

cu_value zero_bytes(const Args& a)
{
    const auto n = static_cast<std::uint32_t>(clamp_count(a.integer(0), INT32_MAX));
    auto* block = static_cast<std::uint8_t*>(allocate_block(std::size_t{8} + n));
    const std::uint32_t head[2] = {1, n};
    std::memcpy(block, head, sizeof head);
    std::memset(block + 8, 0, n);
    return pointer_result(block, CU_TAG_BYTES);
}

// Upper-case hexadecimal digits without leading zeros: a byte gives one or
// two digits, a negative integer its 32-bit two's complement, a long its 64 bits.
cu_value hex_text(const Args& a)
{
    const cu_value* v = a.at(0);
    std::uint64_t n = 0;
    if (v && v->tag == CU_TAG_LONG) n = static_cast<std::uint64_t>(a.long_integer(0));
    else if (v && v->tag == CU_TAG_BYTE) n = static_cast<std::uint8_t>(a.integer(0));
    else n = static_cast<std::uint32_t>(a.integer(0));
    char buffer[16];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, n, 16).ptr;
    for (char* p = buffer; p != end; ++p)
        if (*p >= 'a') *p = static_cast<char>(*p - 32);
    return text_result(std::string_view(buffer, static_cast<std::size_t>(end - buffer)));
}

constexpr cu_command table[] = {
    {0x130, guarded<text_length>},   {0x134, guarded<text_left>},      {0x13C, guarded<text_mid>},
    {0x140, guarded<byte_text>},     {0x148, guarded<text_find>},      {0x150, guarded<text_upper>},
    {0x164, guarded<text_to_double>}, {0x168, guarded<value_to_text>}, {0x174, guarded<text_copy>},
    {0x180, guarded<text_replace>},  {0x184, guarded<blank_text>},     {0x190, guarded<text_split>},
    {0x194, guarded<bytes_length>},  {0x198, guarded<value_to_bytes>}, {0x19C, guarded<bytes_to_value>},
    {0x1A0, guarded<bytes_left>},    {0x1B8, guarded<bytes_replace>},  {0x1BC, guarded<zero_bytes>},
    {0x1D4, guarded<hex_text>},      {0x9DC, guarded<text_to_int>},
};

}  // namespace

std::span<const cu_command> text_commands() { return table; }

}  // namespace cu::kernel
