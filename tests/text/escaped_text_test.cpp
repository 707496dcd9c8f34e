// DecodeEscapedText inside the built image with the real runtime and its
// script engine: the edge cases on both paths (the script engine, and
// PercentDecode when a lone line feed makes the script statement invalid),
// JSON answers staying JSON, and generated answers against node evaluating
// the same statement.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <random>
#include <sstream>

#include "image_routines.h"
#include "reference.h"

namespace texttest {
namespace {

struct DecodeCase {
    const char* name;
    std::string answer;
    std::string decoded;  // GBK
};

TEST(DecodeEscapedText, EdgeCasesOnTheScriptPath)
{
    const DecodeCase cases[] = {
        {"unicode escapes", R"({"name":"\u4e2d\u6587.txt","size":"1"})",
         "{\"name\":\"\xD6\xD0\xCE\xC4.txt\",\"size\":\"1\"}"},  // 中文.txt
        {"apostrophe survives", "it's", "it's"},
        {"right single quote becomes an apostrophe", "a\xA1\xAF" "b", "a'b"},
        {"marker already there becomes CR LF", "a{$}b", "a\r\nb"},
        {"CR LF pairs survive", "a\r\nb\r\n", "a\r\nb\r\n"},
        {"leading lone CR dropped", "\rabc", "abc"},
        {"leading CR LF kept", "\r\nabc", "\r\nabc"},
        {"percent escape already there", "my%20file", "my file"},
        {"unescape decodes what PercentDecode keeps", "%u00E9", "\xA8\xA6"},  // é
        {"doubled backslash before u", R"(\\u0041)", "A"},
        {"escaped slash resolved", R"(a\/b)", "a/b"},
        {"JSON quote escape kept", R"(say \"hi\")", R"(say \"hi\")"},
        {"JSON backslash escape kept", R"(a\\b)", R"(a\\b)"},
        {"JSON control escapes kept", R"(\t\n\r\b\f)", R"(\t\n\r\b\f)"},
        {"escaped backslash then an escape", R"(\\\u0041)", R"(\\A)"},
        {"negative two-digit escape kept", "%G1%zz", "%G1%zz"},
        {"GBK character whose trail byte is a backslash", "\x95\x5Cu0041", "\x95\x5Cu0041"},  // 昞u0041
        {"empty", "", ""},
    };
    for (const DecodeCase& c : cases) EXPECT_EQ(decode_escaped(c.answer), c.decoded) << c.name;
}

TEST(DecodeEscapedText, EdgeCasesOnThePercentDecodePath)
{
    const DecodeCase cases[] = {
        // The lone line feed invalidates the statement; %u00E9 shows the path taken.
        {"lone line feed", "\\u4e2d\n%u00E9", "\xD6\xD0\n%u00E9"},
        {"percent escape already there", "my%20file\n", "my file\n"},
        {"escaped slash stays", "a\\/b\n", "a\\/b\n"},
        {"apostrophes", "it's \xA1\xAF\n", "it's '\n"},
        {"CR LF and marker", "a\r\nb{$}\n", "a\r\nb\r\n\n"},
        {"doubled backslash before u", "\\\\u0041\n", "A\n"},
        {"JSON escapes kept", "\\\"\\\\\\t\n", "\\\"\\\\\\t\n"},
        {"lone CR inside", "a\rb%u00E9", "a\rb%u00E9"},
        {"trailing backslash", "x%u00E9\\", "x%u00E9\\"},
        {"GBK character whose trail byte is a backslash", "\x95\x5Cu0041\n", "\x95\x5Cu0041\n"},
    };
    for (const DecodeCase& c : cases) EXPECT_EQ(decode_escaped(c.answer), c.decoded) << c.name;
}

// Names with quotes, backslashes, tabs, slashes, apostrophes and Chinese come
// through as valid JSON with the names intact, on both paths.
TEST(DecodeEscapedText, JsonAnswerStaysJsonOnBothPaths)
{
    const std::string answer = R"({"list":[)"
                               R"({"name":"say \"hi\"","type":"file"},)"
                               R"({"name":"tab\there","type":"file"},)"
                               R"({"name":"back\\slash \\\\ two \\\u4e2d","type":"dir"},)"
                               R"({"name":"\u4e2d\u6587 a\/b it's","type":"file"},)"
                               R"({"name":"line\r\nfeed \b\f","type":"album"}]})";
    const char* const names[] = {
        "say \"hi\"", "tab\there", "back\\slash \\\\ two \\\xD6\xD0", "\xD6\xD0\xCE\xC4 a/b it's", "line\r\nfeed \b\f"};
    // JSON whitespace may hold a line feed; here it forces PercentDecode.
    const std::string forced = "{\n" + answer.substr(1);
    for (const std::string& text : {answer, forced}) {
        const std::string decoded = decode_escaped(text);
        rapidjson::Document document;
        document.Parse(decoded.c_str());
        ASSERT_FALSE(document.HasParseError()) << decoded;
        const auto& list = document["list"];
        ASSERT_EQ(list.Size(), std::size(names));
        for (rapidjson::SizeType i = 0; i < list.Size(); ++i)
            EXPECT_EQ(std::string(list[i]["name"].GetString(), list[i]["name"].GetStringLength()), names[i]);
    }
}

// Random answers mixing the escapes the decoder must handle; none holds a
// JSON escape (\" \\ \t \n \r \b \f, kept by design where unescape would not
// keep them), a lone CR or LF, or a backslash that ends the text.
class AnswerGenerator {
public:
    explicit AnswerGenerator(unsigned seed) : rng_(seed) {}

    std::string answer(bool doubled_backslash_u)
    {
        std::string s;
        const int pieces = pick(1, 30);
        for (int i = 0; i < pieces; ++i) s += piece(doubled_backslash_u);
        return s;
    }

    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }

private:
    std::string hex4(int value, bool upper)
    {
        char digits[5];
        std::snprintf(digits, sizeof digits, upper ? "%04X" : "%04x", value);
        return digits;
    }

    std::string gbk_text()
    {
        std::string s;
        for (int n = pick(1, 3); n > 0; --n) {
            s += static_cast<char>(pick(0xB0, 0xD6));
            s += static_cast<char>(pick(0xA1, 0xFE));
        }
        return s;
    }

    std::string piece(bool doubled_backslash_u)
    {
        static const char* const ascii_pieces[] = {"name", " ", ":", ",", "{", "}", "[", "]", "\"", "a.txt", "42"};
        static const char* const backslash_followers[] = {"/", "a", "z", "%", ".", "{", "'", "\xD6\xD0"};
        static const int other_units[] = {0x00E9, 0xFF0C, 0x2019, 0x3000, 0x00B7, 0x0080};
        switch (pick(0, 14)) {
        case 0: return "\\u" + hex4(pick(0x4E00, 0x9FA5), pick(0, 1));
        case 1: return "\\u" + hex4(pick(0x20, 0x7E), pick(0, 1));
        case 2: return "\\u" + hex4(other_units[pick(0, 5)], pick(0, 1));
        case 3: {
            char escape[4];
            std::snprintf(escape, sizeof escape, pick(0, 1) ? "%%%02X" : "%%%02x", pick(0x20, 0xFF));
            return escape;
        }
        case 4: {
            static const char* const odd[] = {"%", "%G1", "%zz", "%0Z", "%1G", "%u", "%u4E2D", "%u00e9"};
            return odd[pick(0, 7)];
        }
        case 5: return "'";
        case 6: return "\xA1\xAF";  // ’
        case 7: return "{$}";
        case 8: return "\r\n";
        case 9: return std::string("\\") + backslash_followers[pick(0, 7)];
        case 10:
            // A doubled backslash before u: the literal turns it into %u on the
            // script path; the fallback path decodes it the same way, which the
            // edge cases check (the reference model leaves that backslash).
            if (doubled_backslash_u) return "\\\\u" + hex4(pick(0x4E00, 0x9FA5), true);
            return gbk_text();
        case 11: return "\x95\x5Cu0041";  // a GBK character whose trail byte is 0x5C, then u0041
        case 12:
        case 13: return gbk_text();
        default: return ascii_pieces[pick(0, 10)];
        }
    }

    std::mt19937 rng_;
};

std::string unescaped_by_node(const std::vector<std::string>& statements_gbk, std::vector<std::string>* results)
{
    std::string input;
    for (const std::string& s : statements_gbk) input += utf16_to_utf8(gbk_to_utf16(s)) + "\n";
    const std::string script = R"(
const lines = require('fs').readFileSync(0, 'utf8').split('\n');
lines.pop();
for (const line of lines) {
    let r = '';
    try { r = new Function(line + ';return xx();')(); } catch (e) { r = ''; }
    let hex = '';
    for (let i = 0; i < r.length; i++) hex += r.charCodeAt(i).toString(16).padStart(4, '0');
    console.log(hex || '-');
}
)";
    std::istringstream lines(run_tool({"node", "-e", script}, input));
    std::string hex;
    while (lines >> hex) {
        std::u16string units;
        if (hex != "-")
            for (std::size_t i = 0; i + 3 < hex.size(); i += 4)
                units += static_cast<char16_t>(std::stoi(hex.substr(i, 4), nullptr, 16));
        results->push_back(utf16_to_gbk(units));
    }
    return input;
}

std::string hex_dump(const std::string& s)
{
    std::string out;
    char byte[4];
    for (unsigned char c : s) {
        std::snprintf(byte, sizeof byte, "%02X ", c);
        out += byte;
    }
    return out;
}

TEST(DecodeEscapedText, ScriptPathAgreesWithNode)
{
    AnswerGenerator generator(7);
    std::vector<std::string> answers, statements;
    for (int i = 0; i < 300; ++i) {
        answers.push_back(generator.answer(true));
        statements.push_back("function xx(){var x='" + prepared_for_script(answers.back()) +
                             "';return unescape(x);}");
    }
    std::vector<std::string> evaluated;
    unescaped_by_node(statements, &evaluated);
    ASSERT_EQ(evaluated.size(), answers.size());
    for (std::size_t i = 0; i < answers.size(); ++i) {
        ASSERT_FALSE(evaluated[i].empty() && !answers[i].empty()) << "node refused " << statements[i];
        EXPECT_EQ(decode_escaped(answers[i]), restored_after_script(evaluated[i]))
            << "answer " << hex_dump(answers[i]);
    }
}

TEST(DecodeEscapedText, PercentDecodePathAgreesWithReference)
{
    AnswerGenerator generator(11);
    for (int i = 0; i < 300; ++i) {
        std::string answer = generator.answer(false);
        // A lone line feed anywhere but inside a CR LF pair or a GBK character,
        // or after a backslash (which would make it a line continuation).
        std::size_t at = static_cast<std::size_t>(generator.pick(0, static_cast<int>(answer.size())));
        while (at > 0 && (answer[at - 1] == '\r' || answer[at - 1] == '\\' ||
                          static_cast<unsigned char>(answer[at - 1]) >= 0x81))
            --at;
        answer.insert(at, "\n");
        const std::string expected = restored_after_script(reference_percent_decode(prepared_for_script(answer)));
        EXPECT_EQ(decode_escaped(answer), expected) << "answer " << hex_dump(answer);
    }
}

}  // namespace
}  // namespace texttest
