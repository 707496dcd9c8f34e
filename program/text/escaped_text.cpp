// Decoding of the escaped answer text: the text becomes the body of a
// one-line script function that applies unescape to it, and the script
// engine runs it; when the engine yields nothing, PercentDecode decodes the
// same prepared text.
#include "program.h"
#include "text_builder.h"
#include "text_codecs.h"

namespace {

// While the text is a single-quoted script literal, CR LF pairs travel as a
// marker and apostrophes as the right single quote (GBK A1 AF).
const char* const kLineBreak = "\r\n";
const char* const kLineBreakMarker = "{$}";
const char* const kApostrophe = "'";
const char* const kApostropheSubstitute = "’";

bool is_gbk_lead(uint8_t byte) { return byte >= 0x81 && byte <= 0xFE; }
bool is_gbk_trail(uint8_t byte) { return byte >= 0x40 && byte <= 0xFE && byte != 0x7F; }

// The escapes that JSON itself writes inside strings, other than \u and \/.
bool is_json_escape(char c)
{
    return c == '"' || c == '\\' || c == 't' || c == 'n' || c == 'r' || c == 'b' || c == 'f';
}

// Prepares the backslash escapes of `source` for decoding, left to right:
// - \u becomes %u, the form unescape decodes; so does \\u (a JSON-escaped
//   backslash before u, which the engine's literal turns into %u as well);
// - the other JSON escapes (\" \\ \t \n \r \b \f) are kept as JSON wrote
//   them: with every backslash doubled when the text is to be a script
//   literal (`for_literal`), so the literal gives them back unchanged, and
//   as they are for PercentDecode, which leaves backslashes alone;
// - any other backslash is left for the literal's own rules (\/ gives /).
// A GBK character is copied whole: its trail byte may be 0x5C, which is no
// backslash.
char* prepare_escapes(const char* source, bool for_literal)
{
    const char* in = source ? source : prog::empty_text();
    text::TextBuilder out;
    for (uint32_t i = 0; in[i];) {
        const auto c = static_cast<uint8_t>(in[i]);
        if (is_gbk_lead(c) && is_gbk_trail(static_cast<uint8_t>(in[i + 1]))) {
            out.append(in + i, 2);
            i += 2;
        } else if (c != '\\') {
            out.append_byte(in[i]);
            i += 1;
        } else if (in[i + 1] == 'u') {
            out.append("%u", 2);
            i += 2;
        } else if (in[i + 1] == '\\' && in[i + 2] == 'u') {
            out.append("%u", 2);
            i += 3;
        } else if (is_json_escape(in[i + 1])) {
            if (for_literal) {
                // Every backslash of the pair doubled (\" -> \\", \\ -> \\\\),
                // so the literal gives the pair back as it was.
                out.append("\\\\", 2);
                if (in[i + 1] == '\\') out.append_byte('\\');
            } else {
                out.append_byte('\\');
            }
            out.append_byte(in[i + 1]);
            i += 2;
        } else {
            out.append_byte('\\');
            i += 1;
        }
    }
    return out.take();
}

// Replaces every `find` in the text held by `text` (exact letter case), and
// frees the old text.
void replace_all(char*& text, const char* find, const char* replacement)
{
    char* replaced = prog::text_replace(text, find, replacement);
    prog::release(text);
    text = replaced;
}

// The prepared text: escapes prepared, apostrophes substituted.
char* prepared_text(const char* lines_marked, bool for_literal)
{
    char* prepared = prepare_escapes(lines_marked, for_literal);
    replace_all(prepared, kApostrophe, kApostropheSubstitute);
    return prepared;
}

// Runs unescape over `literal_body` in a fresh script object; the empty text
// when the engine yields nothing.
char* run_script_unescape(void* script, const char* literal_body)
{
    prog::object_create(script, "ScriptControl");
    prog::object_set_property(script, "Language", "JScript");
    char* statement = ConcatTexts(3, "function xx(){var x='", literal_body, "';return unescape(x);}");
    prog::object_call(script, "ExecuteStatement", statement);
    prog::release(statement);
    return prog::object_call_text(script, "Run", "xx");
}

}  // namespace

extern "C" char* DecodeEscapedText(const char* const* text)
{
    char* lines_marked = prog::text_replace(*text, kLineBreak, kLineBreakMarker);
    if (lines_marked && lines_marked[0] == '\r') {
        // A lone carriage return at the start (a CR LF there became the marker).
        char* rest = prog::text_mid(lines_marked, 2, static_cast<int32_t>(TextLength(lines_marked)) - 1);
        prog::release(lines_marked);
        lines_marked = rest;
    }
    char* literal_body = prepared_text(lines_marked, true);

    prog::dll(CU_ABS(__dll_2), 0);  // CoInitialize(null)
    void* script = prog::new_object_block();
    char* result = run_script_unescape(script, literal_body);
    if (TextLength(result) == 0) {
        prog::release(result);
        char* plain_body = prepared_text(lines_marked, false);
        result = PercentDecode(&plain_body);
        prog::release(plain_body);
    }
    prog::object_release(script);
    prog::release(script);
    prog::dll(CU_ABS(__dll_5));  // CoUninitialize

    prog::release(literal_body);
    prog::release(lines_marked);
    replace_all(result, kApostropheSubstitute, kApostrophe);
    replace_all(result, kLineBreakMarker, kLineBreak);
    return result;
}
