#include "row_order.h"

#include <unicode/coll.h>
#include <unicode/locid.h>

#include <algorithm>
#include <array>
#include <memory>

namespace cu::window {
namespace {

bool is_digit(QChar c) { return c >= u'0' && c <= u'9'; }

// The units after "bytes", each 1024 times the one before.
constexpr std::array<const char16_t*, 6> kUnits{u"KB", u"MB", u"GB", u"TB", u"PB", u"EB"};

// ICU's collator for Chinese sorts Han characters by pinyin (what a reader in
// mainland China expects of a file list, and what GBK's own byte order gives
// only for its first 3,755 characters), covers every character GBK can
// encode, and puts digits before Han and Han before Latin letters. Cell texts were
// decoded from GBK when they were written, so they compare as Unicode. Only
// read after it is made, so one instance serves every caller.
const icu::Collator* chinese_collator()
{
    static const std::unique_ptr<icu::Collator> collator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::Collator> made(icu::Collator::createInstance(icu::Locale("zh"), status));
        if (U_FAILURE(status)) return std::unique_ptr<icu::Collator>();
        made->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
        return U_SUCCESS(status) ? std::move(made) : std::unique_ptr<icu::Collator>();
    }();
    return collator.get();
}

// Code point order where the collator is missing or fails.
int collate(const QString& a, const QString& b)
{
    if (const icu::Collator* collator = chinese_collator()) {
        UErrorCode status = U_ZERO_ERROR;
        const UCollationResult order =
            collator->compare(reinterpret_cast<const char16_t*>(a.utf16()), static_cast<std::int32_t>(a.size()),
                              reinterpret_cast<const char16_t*>(b.utf16()), static_cast<std::int32_t>(b.size()), status);
        if (U_SUCCESS(status)) return order;
    }
    return a.compare(b);
}

// A cell's place: its kind first, then the key of that kind.
struct CellKey {
    enum Kind { empty, size, text } kind = empty;
    std::uint64_t bytes = 0;
};

CellKey cell_key(const QString& text)
{
    if (text.isEmpty()) return {};
    if (const auto bytes = smallest_byte_count(text)) return {CellKey::size, *bytes};
    return {CellKey::text};
}

}  // namespace

std::optional<std::uint64_t> smallest_byte_count(QStringView shown)
{
    // "<digits>[.<digits>] <unit>": at most four digits before the point
    // ("1023 bytes") and two after it, as the formatter writes.
    qsizetype at = 0;
    std::uint64_t whole = 0;
    for (; at < shown.size() && is_digit(shown[at]); ++at) {
        if (at == 4) return std::nullopt;
        whole = whole * 10 + static_cast<std::uint64_t>(shown[at].unicode() - u'0');
    }
    if (at == 0) return std::nullopt;
    std::uint64_t scaled = whole;  // the shown number times `scale`
    std::uint64_t scale = 1;
    if (at < shown.size() && shown[at] == u'.') {
        for (++at; at < shown.size() && is_digit(shown[at]); ++at) {
            if (scale == 100) return std::nullopt;
            scaled = scaled * 10 + static_cast<std::uint64_t>(shown[at].unicode() - u'0');
            scale *= 10;
        }
        if (scale == 1) return std::nullopt;
    }
    if (at >= shown.size() || shown[at] != u' ') return std::nullopt;
    const QStringView unit_name = shown.sliced(at + 1);

    if (unit_name == u"bytes") return scale == 1 ? std::optional(whole) : std::nullopt;
    const auto unit = std::find_if(kUnits.begin(), kUnits.end(), [&](const char16_t* u) { return unit_name == u; });
    if (unit == kUnits.end()) return std::nullopt;
    const auto k = static_cast<unsigned>(unit - kUnits.begin());
    const unsigned __int128 unit_bytes = static_cast<unsigned __int128>(1024) << (10 * k);

    // The formatter shows floor(bytes * scale / unit_bytes): the fewest bytes
    // that show `scaled` round its product up. A unit above KB begins at 1000
    // of the unit below ("0.97 MB" is never less than 1000 KB).
    unsigned __int128 fewest = (static_cast<unsigned __int128>(scaled) * unit_bytes + scale - 1) / scale;
    if (k > 0) fewest = std::max(fewest, 1000 * (unit_bytes / 1024));
    if (fewest > UINT64_MAX) return std::nullopt;
    return static_cast<std::uint64_t>(fewest);
}

int compare_cell_texts(const QString& a, const QString& b)
{
    const CellKey ka = cell_key(a);
    const CellKey kb = cell_key(b);
    if (ka.kind != kb.kind) return ka.kind < kb.kind ? -1 : 1;
    switch (ka.kind) {
    case CellKey::size:
        return ka.bytes < kb.bytes ? -1 : ka.bytes > kb.bytes ? 1 : 0;
    case CellKey::text:
        return collate(a, b);
    default:
        return 0;
    }
}

}  // namespace cu::window
