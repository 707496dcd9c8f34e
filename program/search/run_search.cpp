// RunSearch: from the window's keyword and type to rows in the result list.
// Runs on the worker thread; every way out ends with the end steps, which
// return the window to idle.
#include "search.h"

#include "text_codecs.h"
#include "search_state.h"
#include "unit_commands.h"

#ifndef CUMULO_SERVICE_HOST
#error "CUMULO_SERVICE_HOST (the share-search service's host, e.g. \"127.0.0.1:8930\") must be defined"
#endif

namespace {

// The encoded keyword must have at least this many bytes: two kept letters are
// refused, while one escaped byte already gives three.
constexpr int32_t kMinimumKeywordLength = 3;

// Result list columns.
enum : int32_t { kColumnNumber, kColumnName, kColumnType, kColumnSize, kColumnAddress };

#define TITLE_NOTICE "友情提示"

// What a run owns until its end steps.
struct Run {
    void* document = nullptr;
    char* encoded_keyword = nullptr;
    char* answer = nullptr;
};

// The end steps: the window back to idle with `status`, the worker's own
// handle released, then everything the run held.
void finish_run(Run& run, const char* status)
{
    set_search_inputs_disabled(false);
    prog::write_text_property(prog::status_label(), prog::kPropText, status);
    prog::write_text_property(prog::search_button(), prog::kPropCaption, CAPTION_IDLE);
    // A close from a worker releases that worker's own handle, so a search
    // started once the caption read "搜索" again keeps its handle.
    prog::close_thread_handle(*cu_var_address(WorkerHandle));
    prog::release(run.encoded_keyword);
    prog::release(run.answer);
    prog::release_document(run.document);
}

// A refused search: the message, then the end steps. The status label is
// emptied: the box has said why, and "稍等" must not stay behind.
void refuse(Run& run, const char* message)
{
    prog::message_box(message, TITLE_NOTICE);
    finish_run(run, nullptr);
}

// The query's type word for a combo item's value: the empty text for "默认"
// (no filter), null for a value that no item should carry. The literals pass
// through opaque so the choice never becomes a pointer table in const.
const char* type_word(int32_t value)
{
    if (value == 0) return prog::opaque("");
    if (value == 1) return prog::opaque("album");
    if (value == 2) return prog::opaque("file");
    if (value == 3) return prog::opaque("folder");
    return nullptr;
}

// The answer's English type words become Chinese, wherever they stand.
char* translate_type_words(const char* answer)
{
    const char* album = "album";
    const char* album_zh = "相册";
    const char* file = "file";
    const char* file_zh = "文件";
    const char* folder = "folder";
    const char* folder_zh = "文件夹";
    return ReplaceTextPairs(&answer, 0, 0, 0, 1, &album, &album_zh, &file, &file_zh, &folder, &folder_zh, nullptr,
                            nullptr, nullptr, nullptr);
}

// The text of member `key` of element `index` of the answer's "list", looked
// up from the root; every document obtained on the way is released at once.
char* element_member_text(void* document, int32_t index, const char* key)
{
    void* list = prog::document_member(document, "list");
    void* element = prog::document_element(list, index);
    void* member = prog::document_member(element, key);
    char* text = prog::checked_text(prog::document_value(member));
    prog::release_document(member);
    prog::release_document(element);
    prog::release_document(list);
    return text;
}

void write_member_cell(void* document, int32_t row, int32_t index, const char* key, int32_t column)
{
    char* text = element_member_text(document, index, key);
    prog::list_set_cell(prog::result_list(), row, column, text);
    prog::release(text);
}

void write_size_cell(void* document, int32_t row, int32_t index)
{
    char* size = element_member_text(document, index, "size");
    char* formatted = FormatSizeText(&size);
    prog::list_set_cell(prog::result_list(), row, kColumnSize, formatted);
    prog::release(formatted);
    prog::release(size);
}

// One row per element of "list", in array order; each row is complete before
// the next is appended.
void write_rows(void* document)
{
    void* list = prog::document_member(document, "list");
    const int32_t count = prog::document_element_count(list);
    prog::release_document(list);

    for (int32_t i = 1; i <= count; ++i) {
        const int32_t row = prog::list_append_row(prog::result_list());
        char* number = prog::int_text(i);
        prog::list_set_cell(prog::result_list(), row, kColumnNumber, number);
        prog::release(number);
        write_member_cell(document, row, i - 1, "name", kColumnName);
        write_member_cell(document, row, i - 1, "type", kColumnType);
        write_size_cell(document, row, i - 1);
        write_member_cell(document, row, i - 1, "idAuk", kColumnAddress);
    }
}

}  // namespace

extern "C" void RunSearch()
{
    Run run;
    run.document = prog::new_document();
    // Cleared before any check, so a refused search also leaves the list empty.
    prog::list_delete_all_rows(prog::result_list());

    char* keyword = prog::read_text_property(prog::keyword_box(), prog::kPropText);
    run.encoded_keyword = UrlEncodeText(&keyword, 1, 1, 1, 1);
    prog::release(keyword);

    const prog::Unit combo = prog::type_combo();
    const int32_t type_value = prog::combo_item_value(combo, prog::read_int_property(combo, prog::kPropComboSelection));

    // Both inputs are read before either check; the keyword is checked first.
    if (TextLength(run.encoded_keyword) < kMinimumKeywordLength) {
        refuse(run, "搜索关键词太短:编码后至少需要3个字节,一个汉字即可满足。");
        return;
    }
    const char* type = type_word(type_value);
    if (!type) {
        refuse(run, "选择的资源类型无效,请联系程序开发者!");
        return;
    }

    char* address = ConcatTexts(4, "http://" CUMULO_SERVICE_HOST "/api/v1/?key=", run.encoded_keyword,
                                "&limit=200&sort=size&desc=f&start=0&in=", type);
    uint8_t* body = prog::http_get(address);
    prog::release(address);
    run.answer = prog::bytes_text(body);
    prog::release(body);

    char* decoded = DecodeEscapedText(&run.answer);
    prog::release(run.answer);
    run.answer = decoded;
    char* translated = translate_type_words(run.answer);
    prog::release(run.answer);
    run.answer = translated;

    // An empty, unreadable or list-less answer simply gives no rows.
    prog::parse_document(run.document, run.answer);
    write_rows(run.document);
    finish_run(run, STATUS_DONE);
}
