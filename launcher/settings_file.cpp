#include "settings_file.h"

#include <algorithm>
#include <fstream>

namespace cu::launcher {
namespace {

std::string trim(const std::string& s)
{
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// A value as QSettings writes it: optionally in double quotes, with
// backslash escapes for quotes and backslashes. Blanks at the end that are
// neither quoted nor escaped (before a comment) are no part of the value.
std::string unquote(const std::string& raw)
{
    std::string out;
    bool quoted = false;
    std::size_t kept = 0;  // out's length up to its last quoted or escaped character
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '"') {
            quoted = !quoted;
        } else if (c == '\\' && i + 1 < raw.size()) {
            const char n = raw[++i];
            out += n == 't' ? '\t' : n == 'n' ? '\n' : n == 'r' ? '\r' : n;
            kept = out.size();
        } else if (c == ';' && !quoted) {
            break;  // a comment
        } else {
            out += c;
            if (quoted) kept = out.size();
        }
    }
    const std::size_t last = out.find_last_not_of(" \t\r");
    out.resize(std::max(kept, last == std::string::npos ? 0 : last + 1));
    return out;
}

}  // namespace

std::optional<std::string> settings_file_path(const char* xdg_config_home, const char* home)
{
    std::string base;
    if (xdg_config_home && *xdg_config_home) base = xdg_config_home;
    else if (home && *home) base = std::string(home) + "/.config";
    else return std::nullopt;
    if (base.back() != '/') base += '/';
    return base + "Tarnwick/Ovra.conf";
}

std::optional<std::string> read_setting(const std::string& path, const std::string& group, const std::string& key)
{
    std::ifstream file(path);
    if (!file) return std::nullopt;
    bool in_group = false;
    for (std::string line; std::getline(file, line);) {
        line = trim(line);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line.front() == '[') {
            in_group = line == "[" + group + "]";
            continue;
        }
        const auto equals = line.find('=');
        if (in_group && equals != std::string::npos && trim(line.substr(0, equals)) == key)
            return unquote(trim(line.substr(equals + 1)));
    }
    return std::nullopt;
}

}  // namespace cu::launcher
