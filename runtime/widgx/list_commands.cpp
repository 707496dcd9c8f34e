// widgx, the extended controls library: the commands on a list unit. The
// first argument of each is the list (window id, unit id, type).
#include "cumulo_abi.h"
#include "guarded_command.h"
#include "library_ids.h"
#include "unit_arg.h"
#include "values.h"
#include "window_api.h"

namespace {

using cu::window::UnitArg;
using cu::window::unit_arg;

// 0xC0 list, row, column: the cell's text; the empty text when there is no such cell.
cu_value cell_text(const cu::Args& args)
{
    const UnitArg list = unit_arg(args, 0);
    return cu::pointer_result(cu::window::list_cell_text(list.window, list.unit, args.integer(1), args.integer(2)),
                              CU_TAG_TEXT);
}

// 0xD4 list, row, column, text.
cu_value set_cell_text(const cu::Args& args)
{
    const UnitArg list = unit_arg(args, 0);
    cu::window::set_list_cell_text(list.window, list.unit, args.integer(1), args.integer(2), args.text(3));
    return cu::none_result();
}

// 0x100 list, six omitted: appends an empty row; its 0-based index.
cu_value append_row(const cu::Args& args)
{
    const UnitArg list = unit_arg(args, 0);
    return cu::int_result(cu::window::append_list_row(list.window, list.unit));
}

// 0x108 list: deletes every row.
cu_value delete_rows(const cu::Args& args)
{
    const UnitArg list = unit_arg(args, 0);
    cu::window::delete_list_rows(list.window, list.unit);
    return cu::none_result();
}

constexpr cu_command commands[] = {
    {0xC0, cu::guarded<cell_text>},
    {0xD4, cu::guarded<set_cell_text>},
    {0x100, cu::guarded<append_row>},
    {0x108, cu::guarded<delete_rows>},
};

constexpr cu_library descriptor = {
    "widgx", CU_ID_WIDGX, 2, 0, "extended controls: the result list", commands,
    sizeof commands / sizeof commands[0],
};

}  // namespace

extern "C" __attribute__((visibility("default"))) const cu_library* cu_library_descriptor()
{
    return &descriptor;
}
