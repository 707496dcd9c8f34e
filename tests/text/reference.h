// Independent expectations for the text routines: code-page conversions
// through ICU's windows-936-2000 converter, the preparation of an answer for
// the script literal, a reference percent decoder, and runs of the external
// tools (node, python3) that the differential tests compare against.
#pragma once
#include <string>
#include <vector>

namespace texttest {

std::u16string gbk_to_utf16(const std::string& gbk);
std::string utf16_to_gbk(const std::u16string& units);  // '?' for what GBK cannot hold
std::string utf16_to_utf8(const std::u16string& units);

// The answer as the script literal's body, for text without JSON escapes:
// CR LF -> "{$}", a leading lone CR dropped, "\u" -> "%u" (never inside a
// GBK character), "'" -> the right single quote.
std::string prepared_for_script(const std::string& answer);

// The decoded text back from its travel form: right single quote -> "'",
// "{$}" -> CR LF.
std::string restored_after_script(const std::string& decoded);

// %uXXXX (when the leading decimal digits are not all zero) and %XX (unless
// their value comes out negative) decoded into GBK; everything else kept.
std::string reference_percent_decode(const std::string& text);

// Runs `command` (an argv vector, no shell) with `input` on standard input and
// returns its standard output; fails the test when it exits non-zero.
std::string run_tool(const std::vector<std::string>& command, const std::string& input);

}  // namespace texttest
