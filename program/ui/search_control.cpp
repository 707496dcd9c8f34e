// The Search button: starts the worker thread, or stops it. Its caption is
// the window's record of whether a search is running.
#include "search_state.h"

#include "search.h"
#include "unit_commands.h"

// Zero-initialised, so it lives in "var".
int32_t WorkerHandle = 0;

namespace {

bool caption_is_idle()
{
    char* caption = prog::read_text_property(prog::search_button(), prog::kPropCaption);
    const bool idle = CompareTexts(caption, CAPTION_IDLE) == 0;
    prog::release(caption);
    return idle;
}

void start_search()
{
    set_search_inputs_disabled(true);
    prog::write_text_property(prog::status_label(), prog::kPropText, STATUS_WAITING);
    prog::write_text_property(prog::search_button(), prog::kPropCaption, CAPTION_RUNNING);
    prog::start_thread(WorkerMain, cu_var_address(WorkerHandle));
}

// The worker ends at once: the runtime lets it run no further program code and
// drops whatever window call it still had queued, so nothing it does reaches
// the window after this; what it held, its handle included, is reclaimed by
// the runtime once it has ended.
void stop_search()
{
    prog::stop_thread(*cu_var_address(WorkerHandle));
    prog::write_text_property(prog::search_button(), prog::kPropCaption, CAPTION_IDLE);
    prog::write_text_property(prog::status_label(), prog::kPropText, STATUS_STOPPED);
    set_search_inputs_disabled(false);
}

}  // namespace

extern "C" void ToggleSearch()
{
    if (caption_is_idle())
        start_search();
    else
        stop_search();
}

extern "C" void WorkerMain() { RunSearch(); }
