// The share page of the selected row: its address, opened in the browser or
// put on the clipboard.
#include "list_commands.h"

#include "unit_commands.h"

#ifndef CUMULO_DRIVE_HOST
#error "CUMULO_DRIVE_HOST (the cloud drive's host, e.g. \"127.0.0.1:8930\") must be defined"
#endif

namespace {

constexpr int32_t kAddressColumn = 4;  // hidden "资源地址" column: the share's "idAuk"

// A one-dimensional text array: u32 dimension count, u32 element count, then
// 8-byte text pointers. A null array has no elements.
uint32_t array_count(const uint8_t* array)
{
    if (!array) return 0;
    uint32_t count;
    __builtin_memcpy(&count, array + 4, 4);
    return count;
}

// Element i; null past the end.
const char* array_text(const uint8_t* array, uint32_t i)
{
    if (i >= array_count(array)) return nullptr;
    const char* element;
    __builtin_memcpy(&element, array + 8 + 8 * i, 8);
    return element;
}

// Frees every element text of the array, then the array.
void release_text_array(uint8_t* array)
{
    if (!array) return;
    for (uint32_t i = 0, count = array_count(array); i < count; ++i) prog::release(array_text(array, i));
    prog::release(array);
}

}  // namespace

extern "C" char* BuildShareAddress()
{
    const prog::Unit list = prog::result_list();
    const int32_t row = prog::read_int_property(list, prog::kPropListSelection);
    char* cell = prog::list_cell_text(list, row, kAddressColumn);
    if (CompareTexts(cell, prog::empty_text()) == 0) {
        prog::release(cell);
        return const_cast<char*>(prog::empty_text());
    }

    // Piece 0 names the share, piece 1 its owner; further pieces are not used.
    uint8_t* pieces = prog::text_split(cell, "|");
    prog::release(cell);
    const char* share = array_text(pieces, 0);
    const char* owner = array_text(pieces, 1);

    // A share id is a positive number; anything else (0, negative, letters) is
    // a short code. Piece 0 goes in exactly as the cell holds it.
    char* address;
    if (prog::text_to_double(share) > 1e-7)
        address = ConcatTexts(4, "http://" CUMULO_DRIVE_HOST "/share/link?uk=", owner, "&shareid=", share);
    else
        address = ConcatTexts(2, "http://" CUMULO_DRIVE_HOST "/s/", share);
    release_text_array(pieces);
    return address;
}

extern "C" void OpenShareAddress()
{
    char* address = BuildShareAddress();
    if (CompareTexts(address, prog::empty_text()) != 0) prog::open_in_browser(address);
    prog::release(address);
}

extern "C" void CopyShareAddress()
{
    char* address = BuildShareAddress();
    if (CompareTexts(address, prog::empty_text()) != 0) prog::put_on_clipboard(address);
    prog::release(address);
}
