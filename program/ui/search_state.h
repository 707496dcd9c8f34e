// What the window and the search share about a run: the worker handle, and
// the captions and status texts that mark the idle and the running state.
// The texts are written in Chinese; image code is compiled with
// -fexec-charset=GBK, so the image holds them as GBK.
#pragma once
#include <stdint.h>

#include "unit_commands.h"

// The handle of the current worker thread: 0 at start, stored by the thread
// start, read by the stop and by the worker's own end steps. The program's
// one global; reach it only through cu_var_address.
extern "C" int32_t WorkerHandle;

#define CAPTION_IDLE "搜索"  // a click starts a search
#define CAPTION_RUNNING "停止"  // a click stops it
#define STATUS_WAITING "稍等"
#define STATUS_STOPPED "终止"
#define STATUS_DONE "完成"

// The keyword box, the combo box and the result list, in this order: disabled
// exactly while a search runs.
inline void set_search_inputs_disabled(bool disabled)
{
    prog::set_disabled(prog::keyword_box(), disabled);
    prog::set_disabled(prog::type_combo(), disabled);
    prog::set_disabled(prog::result_list(), disabled);
}

extern "C" {
// The Search button's click handler: starts a search from the idle state,
// stops the running one otherwise.
void ToggleSearch();
// The worker thread's entry: runs one search.
void WorkerMain();
}
