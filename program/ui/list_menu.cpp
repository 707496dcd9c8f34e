// ShowListMenu: the result list's popup, its items chosen by the selection.
#include "list_commands.h"

#include "unit_commands.h"

namespace {

// A row a search wrote has its number in column 0; an empty cell means no row
// is selected.
bool row_selected()
{
    const prog::Unit list = prog::result_list();
    const int32_t row = prog::read_int_property(list, prog::kPropListSelection);
    char* number = prog::list_cell_text(list, row, 0);
    const bool selected = CompareTexts(number, prog::empty_text()) != 0;
    prog::release(number);
    return selected;
}

}  // namespace

extern "C" void ShowListMenu()
{
    const int32_t shown = row_selected() ? 1 : 0;
    prog::write_int_property(prog::menu_copy_address(), prog::kPropVisible, shown);
    prog::write_int_property(prog::menu_open_in_browser(), prog::kPropVisible, shown);
    prog::write_int_property(prog::menu_about(), prog::kPropVisible, 1);
    prog::pop_up_menu(prog::window_unit(), prog::menu_root());
}
