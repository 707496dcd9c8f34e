// How the result list orders its rows by the text of one column.
#pragma once
#include <QString>
#include <QStringView>

#include <cstdint>
#include <optional>

namespace cu::window {

// The fewest bytes that the byte-size formatter writes as `shown` ("532 bytes",
// "1.30 KB", "0.97 MB", "5.00 GB"); nullopt for a text that is not a number
// and a unit. The formatter truncates and moves to the next unit at 1000, so
// the number a text reads as is not its order ("999 KB" is less than
// "0.97 MB"); the fewest bytes behind each text are, since larger counts never
// show a smaller text.
std::optional<std::uint64_t> smallest_byte_count(QStringView shown);

// Orders two cell texts: negative, 0 or positive as `a` sorts before, with or
// after `b`. Empty cells come first, then sizes by the bytes behind them,
// then every other text in Chinese order: digits, Han characters by their
// pinyin, Latin letters; runs of digits by their value ("第2集" before
// "第10集").
int compare_cell_texts(const QString& a, const QString& b);

}  // namespace cu::window
