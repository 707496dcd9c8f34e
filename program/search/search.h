// The search routine that a worker thread runs, and its two text helpers.
// Image code; extern "C" so that tests can find the routines by name in the
// image's map file.
#pragma once
#include <stdint.h>

extern "C" {

// Reads the keyword and the type from the window, asks the share-search
// service, fills the result list and returns the window to idle. Runs on the
// worker thread that the Search button starts.
void RunSearch();

// `text` with each pair k (1..5) of find k / replace k applied in turn, each on
// the result of the one before. `count` (when `count_given` is non-zero) caps
// the replacements of every pair, otherwise every occurrence is replaced;
// `start` is the 1-based position where every pair begins (0 stands for 1);
// `match_case` goes to every replacement as its letter-case flag. Texts come by
// reference and are only read; find2..find5 and replace2..replace5 may be null
// (omitted), which counts as empty. Returns a new text owned by the caller.
char* ReplaceTextPairs(const char* const* text, int32_t count, int32_t count_given, int32_t start,
                       int32_t match_case, const char* const* find1, const char* const* replace1,
                       const char* const* find2, const char* const* replace2, const char* const* find3,
                       const char* const* replace3, const char* const* find4, const char* const* replace4,
                       const char* const* find5, const char* const* replace5);

// The short size text ("532 bytes", "2.28 MB", "5.00 GB") of a byte count
// given as decimal digits; the empty text when the digits read as 0 (or there
// are none). The full 64-bit count is formatted, so folders above 4 GB show
// their true size. Returns a new text owned by the caller.
char* FormatSizeText(const char* const* size_text);

}
