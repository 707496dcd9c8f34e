#include "reference.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unicode/ucnv.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>

extern char** environ;

namespace texttest {
namespace {

UConverter* gbk_converter()
{
    static UConverter* converter = [] {
        UErrorCode status = U_ZERO_ERROR;
        UConverter* c = ucnv_open("windows-936-2000", &status);
        if (U_FAILURE(status)) {
            std::fprintf(stderr, "ICU cannot open windows-936-2000: %s\n", u_errorName(status));
            std::abort();
        }
        ucnv_setSubstChars(c, "?", 1, &status);
        return c;
    }();
    return converter;
}

bool double_byte_at(const std::string& s, std::size_t i)
{
    const auto lead = static_cast<unsigned char>(s[i]);
    if (lead < 0x81 || lead > 0xFE || i + 1 >= s.size()) return false;
    const auto trail = static_cast<unsigned char>(s[i + 1]);
    return trail >= 0x40 && trail <= 0xFE && trail != 0x7F;
}

// Replaces `find` wherever it starts at a GBK character boundary.
std::string replace_gbk(const std::string& s, const std::string& find, const std::string& replacement)
{
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        if (s.compare(i, find.size(), find) == 0) {
            out += replacement;
            i += find.size();
        } else {
            const std::size_t width = double_byte_at(s, i) ? 2 : 1;
            out.append(s, i, width);
            i += width;
        }
    }
    return out;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -2;
}

bool leading_decimal_nonzero(const std::string& digits)
{
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        if (c != '0') return true;
    }
    return false;
}

std::string unit_text(long value)
{
    if (value == 0) return {};
    return utf16_to_gbk(std::u16string(1, static_cast<char16_t>(value)));
}

}  // namespace

std::u16string gbk_to_utf16(const std::string& gbk)
{
    UErrorCode status = U_ZERO_ERROR;
    std::u16string out(gbk.size() + 1, u'\0');
    const int32_t n = ucnv_toUChars(gbk_converter(), out.data(), static_cast<int32_t>(out.size()), gbk.data(),
                                    static_cast<int32_t>(gbk.size()), &status);
    EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string utf16_to_gbk(const std::u16string& units)
{
    UErrorCode status = U_ZERO_ERROR;
    std::string out(units.size() * 2 + 1, '\0');
    const int32_t n = ucnv_fromUChars(gbk_converter(), out.data(), static_cast<int32_t>(out.size()), units.data(),
                                      static_cast<int32_t>(units.size()), &status);
    EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string utf16_to_utf8(const std::u16string& units)
{
    std::string out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t c = units[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF)
            c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string prepared_for_script(const std::string& answer)
{
    std::string s = replace_gbk(answer, "\r\n", "{$}");
    if (!s.empty() && s[0] == '\r') s.erase(0, 1);
    s = replace_gbk(s, "\\u", "%u");
    return replace_gbk(s, "'", "\xA1\xAF");
}

std::string restored_after_script(const std::string& decoded)
{
    return replace_gbk(replace_gbk(decoded, "\xA1\xAF", "'"), "{$}", "\r\n");
}

std::string reference_percent_decode(const std::string& text)
{
    std::string out;
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        if (text[i] != '%') {
            out += text[i++];
            continue;
        }
        if (i + 1 < n && text[i + 1] == 'u' && i + 6 <= n) {
            const std::string digits = text.substr(i + 2, 4);
            if (leading_decimal_nonzero(digits)) {
                long value = 0;
                for (char c : digits) value = value * 16 + hex_digit(c);
                out += unit_text(value);
                i += 6;
            } else {
                out += text[i++];
            }
            continue;
        }
        if (i + 3 <= n) {
            const long value = hex_digit(text[i + 1]) * 16L + hex_digit(text[i + 2]);
            if (value >= 0) {
                out += unit_text(value);
                i += 3;
                continue;
            }
        }
        out += text[i++];
    }
    return out;
}

std::string run_tool(const std::vector<std::string>& command, const std::string& input)
{
    char input_path[] = "/tmp/cumulo-text-input-XXXXXX";
    const int input_fd = mkstemp(input_path);
    EXPECT_GE(input_fd, 0);
    EXPECT_EQ(write(input_fd, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    close(input_fd);

    int out_pipe[2];
    EXPECT_EQ(pipe(out_pipe), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input_path, O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_addclose(&actions, out_pipe[0]);
    std::vector<char*> argv;
    for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    std::string output;
    if (spawned == 0) {
        char buffer[65536];
        ssize_t got;
        while ((got = read(out_pipe[0], buffer, sizeof buffer)) > 0) output.append(buffer, static_cast<std::size_t>(got));
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command[0] << " failed";
    } else {
        ADD_FAILURE() << "cannot run " << command[0];
    }
    close(out_pipe[0]);
    unlink(input_path);
    return output;
}

}  // namespace texttest
