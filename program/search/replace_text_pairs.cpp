// ReplaceTextPairs: several find-and-replace pairs applied in turn.
#include "search.h"

#include "program.h"

namespace {

// The text a by-reference parameter names; an omitted parameter reads as empty.
const char* referenced_text(const char* const* reference) { return reference ? *reference : nullptr; }

}  // namespace

extern "C" char* ReplaceTextPairs(const char* const* text, int32_t count, int32_t count_given, int32_t start,
                                  int32_t match_case, const char* const* find1, const char* const* replace1,
                                  const char* const* find2, const char* const* replace2,
                                  const char* const* find3, const char* const* replace3,
                                  const char* const* find4, const char* const* replace4,
                                  const char* const* find5, const char* const* replace5)
{
    const char* const* pairs[5][2] = {
        {find1, replace1}, {find2, replace2}, {find3, replace3}, {find4, replace4}, {find5, replace5},
    };
    const int32_t first = start == 0 ? 1 : start;
    const cu_value limit = count_given ? prog::arg_int(count) : prog::arg_omitted();

    // Each pass works on the previous pass's result; the caller's text is only
    // read, since the replace command always returns a new text.
    const char* current = referenced_text(text);
    char* result = nullptr;
    for (auto& pair : pairs) {
        char* next = prog::text_replace_from(current, referenced_text(pair[0]), referenced_text(pair[1]), first,
                                             limit, match_case != 0);
        prog::release(result);
        result = next;
        current = next;
    }
    return result;
}
