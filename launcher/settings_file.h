// The per-user settings file the runtime's installer writes: an INI file as
// Qt's QSettings lays it out ("[Install]" group, "Path=..." key).
#pragma once
#include <optional>
#include <string>

namespace cu::launcher {

// ${XDG_CONFIG_HOME:-$HOME/.config}/Tarnwick/Ovra.conf; nothing when neither
// variable is set.
std::optional<std::string> settings_file_path(const char* xdg_config_home, const char* home);

// The value of `key` in `[group]` of the INI file at `path`, unquoted and
// unescaped; nothing when the file, the group or the key is missing.
std::optional<std::string> read_setting(const std::string& path, const std::string& group, const std::string& key);

}  // namespace cu::launcher
