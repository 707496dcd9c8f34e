#include "test_images.h"

#include <fstream>
#include <iterator>

#include "bytes.h"

namespace cu::image::test {

Form sample_form()
{
    Form form;
    FormWindow& w = form.windows.emplace_back();
    w.id = 0x52010001;
    Unit window;
    window.id = 0x06010000;
    window.type = CU_LTYPE_WINDOW;
    window.left = 50, window.top = 50, window.width = 380, window.height = 215;
    window.flags = kFlagVisible;
    window.events = {{0, 0x30}};
    window.window.emplace().caption = "caption";
    w.units.push_back(window);
    Unit menu;
    menu.id = 0x2601010D;
    menu.type = CU_LTYPE_MENU;
    menu.menu_level = 1;
    menu.menu_caption = "open";
    menu.menu_handler = 0x34;
    w.units.push_back(menu);
    Unit combo;
    combo.id = 0x1601000F;
    combo.type = CU_LTYPE_COMBO;
    combo.flags = kFlagVisible | kFlagTakesFocus;
    combo.combo.emplace().items = {{"a", 0}, {"b", 7}};
    w.units.push_back(combo);
    return form;
}

ImageParts sample_parts()
{
    ImageParts p;
    p.libraries = {{"ostal", "0123456789abcdef0123456789ABCDEF", 5, 3, "core"},
                   {"widgx", "FEDCBA9876543210FEDCBA9876543210", 2, 0, "widgets"}};
    // const: empty text, empty array at 1, then "lib.dll" at 9 and "Fn" at 0x11.
    const std::uint8_t const_data[] = {0, 1, 0, 0, 0, 0, 0, 0, 0, 'l', 'i', 'b', '.', 'd', 'l', 'l', 0, 'F', 'n', 0};
    p.const_data.assign(std::begin(const_data), std::end(const_data));
    p.dll_commands = {{0, 0x11}, {9, 0x11}};
    p.form_data = write_form(sample_form());
    p.help_data.assign(kSectionHeaderSize, 0);
    p.code_data.assign(kSampleCodeSize, 0x90);
    auto put = [&](std::uint32_t at, std::uint32_t v) { store_u32(p.code_data.data() + at, v); };
    put(kServiceOperand, 0x08);
    put(kConstOperand, 1);
    put(kVarOperand, 0);
    put(kCodeOperand, 0x20);
    put(kUnitOperand, 0x52010001);
    put(kDllOperand, 1);
    put(kLibraryOperand, 1);
    put(kTypeOperand, 0x10001);
    p.var_size = 4;
    // Stored out of offset order on purpose.
    p.relocations = {relocation_word(kVarOperand, RelocationKind::Var), relocation_word(kConstOperand, RelocationKind::Const),
                     relocation_word(kCodeOperand, RelocationKind::Code),
                     relocation_word(kServiceOperand, RelocationKind::Service)};
    p.groups = {{{kUnitOperand}, {kDllOperand}, {kLibraryOperand}, {kTypeOperand}}};
    p.start = 0x30;
    return p;
}

std::vector<std::uint8_t> sample_image() { return write_image(sample_parts()); }

std::vector<std::uint8_t> read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace cu::image::test
