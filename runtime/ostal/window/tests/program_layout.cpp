#include "program_layout.h"

#include <QString>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "image.h"
#include "qt_text.h"

namespace cu::window::test {

std::atomic<int> handler_calls[kHandlerCount];

namespace {

[[noreturn]] void fail(const std::string& message)
{
    std::fprintf(stderr, "program layout: %s\n", message.c_str());
    std::exit(2);
}

template <Handler h>
void count_call()
{
    ++handler_calls[h];
}

using HandlerFn = void (*)();
constexpr HandlerFn handlers[kHandlerCount] = {count_call<kToggleSearch>, count_call<kShowListMenu>,
                                               count_call<kOpenShare>,    count_call<kCopyShare>,
                                               count_call<kShowAbout>,    count_call<kOtherRoutine>};

std::uintptr_t lowest_handler()
{
    std::uintptr_t lowest = UINTPTR_MAX;
    for (HandlerFn h : handlers) lowest = std::min(lowest, reinterpret_cast<std::uintptr_t>(h));
    return lowest;
}

std::uint32_t stand_in(const std::string& routine)
{
    static const std::map<std::string, Handler> by_name = {
        {"ToggleSearch", kToggleSearch}, {"ShowListMenu", kShowListMenu}, {"OpenShareAddress", kOpenShare},
        {"CopyShareAddress", kCopyShare}, {"ShowAbout", kShowAbout},
    };
    auto it = by_name.find(routine);
    const HandlerFn h = handlers[it == by_name.end() ? kOtherRoutine : it->second];
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(h) - lowest_handler());
}

std::vector<std::uint8_t> read_file(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) fail(std::string("cannot read ") + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

image::Form program_form()
{
    const std::vector<std::uint8_t> bytes = read_file(PROGRAM_IMAGE);
    std::string error;
    const std::optional<image::ImageView> view = image::read_image(bytes, PROGRAM_IMAGE, &error);
    if (!view) fail(error);
    std::optional<image::Form> form = image::parse_form(view->form_data, &error);
    if (!form) fail(error);
    return *form;
}

// Lines "code <offset> <size> <name>".
std::map<std::uint32_t, std::string> program_routines()
{
    std::ifstream in(PROGRAM_MAP);
    if (!in) fail(std::string("cannot read ") + PROGRAM_MAP);
    std::map<std::uint32_t, std::string> routines;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string section, offset, size, name;
        if (fields >> section >> offset >> size >> name && section == "code")
            routines[static_cast<std::uint32_t>(std::stoul(offset, nullptr, 16))] = name;
    }
    return routines;
}

image::Form with_stand_in_handlers(image::Form form)
{
    const std::map<std::uint32_t, std::string> routines = program_routines();
    auto routine_at = [&](std::uint32_t offset) {
        auto it = routines.find(offset);
        return it == routines.end() ? std::string() : it->second;
    };
    for (image::FormWindow& window : form.windows)
        for (image::Unit& unit : window.units) {
            for (image::EventBinding& binding : unit.events) binding.handler = stand_in(routine_at(binding.handler));
            if (unit.menu_handler != image::kNoHandler)
                unit.menu_handler =
                    static_cast<std::int32_t>(stand_in(routine_at(static_cast<std::uint32_t>(unit.menu_handler))));
        }
    return form;
}

const void* test_code_base() { return reinterpret_cast<const void*>(lowest_handler()); }

std::string gbk(const char* utf8) { return to_gbk(QString::fromUtf8(utf8)); }

}  // namespace cu::window::test
