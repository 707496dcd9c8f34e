// Typed wrappers for the runtime calls the window handlers and the search make:
// unit properties, the result list, the combo box, the popup menu, message
// boxes, the clipboard, the browser, JSON documents, worker threads and HTTP.
// Same rules as program.h: every number the runtime may renumber goes through
// CU_ABS, results are fresh blocks owned by the caller, arguments are never
// consumed.
#pragma once
#include "program.h"

namespace prog {

// A unit of the main window as the property services and commands name it.
struct Unit {
    uint32_t window;
    uint32_t unit;
    uint32_t type;
};

#define PROG_UNIT(unit_hex, ltype_hex) \
    (::prog::Unit{CU_ABS(__unit_52010001), CU_ABS(__unit_##unit_hex), CU_ABS(__ltype_##ltype_hex)})

// The units the program touches; their ids are the window layout's.
inline Unit window_unit() { return PROG_UNIT(06010000, 10001); }
inline Unit menu_root() { return PROG_UNIT(2601010C, 10003); }          // "右键", the popup root
inline Unit menu_open_in_browser() { return PROG_UNIT(2601010D, 10003); } // "浏览器打开"
inline Unit menu_copy_address() { return PROG_UNIT(26010112, 10003); }    // "复制地址"
inline Unit menu_about() { return PROG_UNIT(2601011B, 10003); }           // "关于"
inline Unit status_label() { return PROG_UNIT(16010105, 1000A); }         // 标签_提示
inline Unit type_combo() { return PROG_UNIT(1601000F, 1000E); }           // 组合框
inline Unit result_list() { return PROG_UNIT(16010009, 20004); }          // 超级列表框
inline Unit search_button() { return PROG_UNIT(16010008, 1000B); }        // 按钮_搜索
inline Unit keyword_box() { return PROG_UNIT(16010002, 10005); }          // 编辑框_关键词

// Property numbers.
enum : uint32_t {
    kPropVisible = 3,    // menu item: 1 shown, 0 hidden
    kPropDisabled = 6,   // input control: 1 disabled, 0 enabled
    kPropText = 8,       // label text, edit box content
    kPropCaption = 0x0A, // button caption
    kPropComboSelection = 0x13,
    kPropListSelection = 0x23,
};

inline cu_value arg_unit(Unit u) { return arg_unit(u.window, u.unit, u.type); }

// --- properties --------------------------------------------------------------

inline void write_int_property(Unit u, uint32_t property, int32_t value)
{
    __svc_WriteUnitProperty(u.window, u.unit, property, -1, static_cast<uint32_t>(value), 0);
}

inline void write_text_property(Unit u, uint32_t property, const char* text)
{
    const char* p = text ? text : empty_text();
    __svc_WriteUnitProperty(u.window, u.unit, property, -1, reinterpret_cast<uint64_t>(opaque(p)), 0);
}

inline int32_t read_int_property(Unit u, uint32_t property)
{
    return static_cast<int32_t>(__svc_ReadUnitProperty(u.window, u.unit, property, -1));
}

// A fresh copy of a text property, owned by the caller.
inline char* read_text_property(Unit u, uint32_t property)
{
    return reinterpret_cast<char*>(__svc_ReadUnitProperty(u.window, u.unit, property, -1));
}

inline void set_disabled(Unit u, bool disabled) { write_int_property(u, kPropDisabled, disabled ? 1 : 0); }

// --- the result list (widgx) ---------------------------------------------------

inline void list_delete_all_rows(Unit list) { library(CU_ABS(__lib_1), 0x108, arg_unit(list)); }

// Appends an empty row at the end; its 0-based index.
inline int32_t list_append_row(Unit list)
{
    return result_int(library(CU_ABS(__lib_1), 0x100, arg_unit(list), arg_omitted(), arg_omitted(), arg_omitted(),
                              arg_omitted(), arg_omitted(), arg_omitted()));
}

inline void list_set_cell(Unit list, int32_t row, int32_t column, const char* text)
{
    library(CU_ABS(__lib_1), 0xD4, arg_unit(list), arg_int(row), arg_int(column), arg_text(text));
}

// A fresh text; the empty text when there is no such row.
inline char* list_cell_text(Unit list, int32_t row, int32_t column)
{
    return result_text(library(CU_ABS(__lib_1), 0xC0, arg_unit(list), arg_int(row), arg_int(column)));
}

// --- window commands of the kernel ---------------------------------------------

// The integer attached to the combo box's item at `index`.
inline int32_t combo_item_value(Unit combo, int32_t index)
{
    return result_int(kernel(0x3B4, arg_unit(combo), arg_int(index)));
}

// Pops up the visible sub-items of `root` at the mouse position.
inline void pop_up_menu(Unit window, Unit root)
{
    kernel(0x394, arg_unit(window), arg_unit(root), arg_omitted(), arg_omitted());
}

// A modal box with one OK button, no icon and no owner; returns when closed.
inline void message_box(const char* message, const char* title)
{
    kernel(0x300, arg_text(message), arg_int(0), arg_text(title), arg_omitted());
}

inline void put_on_clipboard(const char* text) { kernel(0x2C8, arg_text(text)); }

// --- browser (sysbind) ---------------------------------------------------------

inline void open_in_browser(const char* address) { library(CU_ABS(__lib_5), 0xE0, arg_text(address)); }

// --- HTTP (netsup) -------------------------------------------------------------

// The body of an HTTP GET as a fresh byte array (empty when nothing came back).
inline uint8_t* http_get(const char* address) { return result_bytes(library(CU_ABS(__lib_2), 0x1C, arg_text(address))); }

// --- JSON documents (jdoc) -------------------------------------------------------
// A document is a zeroed 8-byte block in which the library keeps its object. A
// lookup returns a new document, released by the caller with release_document.

inline cu_value arg_document(void* document) { return arg_object(document, CU_ABS(__ltype_40001)); }

inline void* new_document()
{
    void* document = new_object_block();
    library(CU_ABS(__lib_3), 0x00, arg_document(document));
    return document;
}

// Finalises the document and frees its block; null is ignored.
inline void release_document(void* document)
{
    if (!document) return;
    library(CU_ABS(__lib_3), 0x04, arg_document(document));
    release(document);
}

// Parses `text` into the document; the outcome is not reported.
inline void parse_document(void* document, const char* text)
{
    library(CU_ABS(__lib_3), 0x0C, arg_document(document), arg_text(text));
}

inline void* document_member(void* document, const char* key)
{
    return reinterpret_cast<void*>(library(CU_ABS(__lib_3), 0x30, arg_document(document), arg_text(key)).value);
}

// Number of elements of the array the document holds; 0 when it holds none.
inline int32_t document_element_count(void* document)
{
    return result_int(library(CU_ABS(__lib_3), 0x3C, arg_document(document)));
}

inline void* document_element(void* document, int32_t index)
{
    return reinterpret_cast<void*>(library(CU_ABS(__lib_3), 0x4C, arg_document(document), arg_int(index)).value);
}

// The document's value as a general value.
inline cu_value document_value(void* document) { return library(CU_ABS(__lib_3), 0x1C, arg_document(document)); }

// --- worker threads (parlo) ------------------------------------------------------

// Starts a thread running `routine`; its handle is in *handle when this returns.
inline void start_thread(void (*routine)(), int32_t* handle)
{
    library(CU_ABS(__lib_4), 0x00, arg_subroutine(routine), arg_omitted(), arg_int_ref(handle));
}

// Ends the thread: it runs no further code of the program.
inline void stop_thread(int32_t handle) { library(CU_ABS(__lib_4), 0x18, arg_int(handle)); }

// Releases a thread handle; from a worker it releases that worker's own.
inline void close_thread_handle(int32_t handle) { library(CU_ABS(__lib_4), 0x1C, arg_int(handle)); }

}  // namespace prog
