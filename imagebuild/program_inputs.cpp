#include "program_inputs.h"

#include <sstream>

#include "gbk_text.h"
#include "library_ids.h"

namespace cu::imagebuild {

std::optional<std::vector<DllDeclaration>> parse_dll_table(std::string_view text, std::string* error)
{
    std::vector<DllDeclaration> table;
    std::istringstream lines{std::string(text)};
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        if (std::size_t hash = line.find('#'); hash != std::string::npos) line.erase(hash);
        std::istringstream fields(line);
        std::string index, library, function, extra;
        if (!(fields >> index)) continue;
        auto fail = [&](const std::string& reason) {
            if (error) *error = "line " + std::to_string(number) + ": " + reason;
            return std::nullopt;
        };
        if (!(fields >> library >> function) || (fields >> extra))
            return fail("expected \"<index> <library or -> <function>\"");
        if (index != std::to_string(table.size()))
            return fail("index " + index + " where " + std::to_string(table.size()) + " comes next");
        table.push_back({library == "-" ? std::string() : library, function});
    }
    return table;
}

std::optional<std::vector<image::SupportLibrary>> support_libraries(std::string* error)
{
    std::vector<image::SupportLibrary> list;
#define CU_LIBRARY_ENTRY(name, id, major, minor, description) list.push_back({#name, id, major, minor, description});
    CU_SUPPORT_LIBRARIES(CU_LIBRARY_ENTRY)
#undef CU_LIBRARY_ENTRY
    for (image::SupportLibrary& lib : list) {
        std::optional<std::string> gbk = utf8_to_gbk(lib.description, error);
        if (!gbk) return std::nullopt;
        lib.description = std::move(*gbk);
    }
    return list;
}

}  // namespace cu::imagebuild
