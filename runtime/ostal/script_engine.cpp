#include "script_engine.h"

#include <duktape.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "errors.h"
#include "gbk.h"
#include "worker.h"

namespace cu {
namespace {

using Clock = std::chrono::steady_clock;

// Every engine allocation carries its size in a header, so the heap's total
// can be capped. An allocation also fails once the calling worker is asked
// to stop or the call has run past its time budget, which ends a runaway
// script that allocates.
struct alignas(16) AllocationHeader {
    std::size_t size;
};

// After the first refusal for a stop or the time, the engine raises an error,
// and building the error allocates: an engine refused everything raises
// errors about errors until the thread's stack runs out (seen as a stack
// overflow when a search was stopped during its decoding). So it gets a small
// reserve for that, then is refused again.
constexpr std::size_t unwind_reserve = 1u << 20;

bool may_allocate(ScriptEngine::Budget& b, std::size_t more)
{
    if (more > ScriptEngine::memory_cap - std::min(b.used, ScriptEngine::memory_cap)) return false;
    // Outside a budgeted call (building the heap) there is no clock to read.
    if (!stop_requested() && (b.deadline == Clock::time_point::max() || Clock::now() < b.deadline)) return true;
    if (!b.ending) {
        b.ending = true;
        b.reserve = unwind_reserve;
        return false;
    }
    if (more > b.reserve) return false;
    b.reserve -= more;
    return true;
}

void* engine_alloc(void* udata, duk_size_t size)
{
    auto& budget = *static_cast<ScriptEngine::Budget*>(udata);
    if (size == 0 || !may_allocate(budget, size)) return nullptr;
    auto* h = static_cast<AllocationHeader*>(std::malloc(sizeof(AllocationHeader) + size));
    if (!h) return nullptr;
    h->size = size;
    budget.used += size;
    return h + 1;
}

void engine_free(void* udata, void* p)
{
    if (!p) return;
    auto* h = static_cast<AllocationHeader*>(p) - 1;
    static_cast<ScriptEngine::Budget*>(udata)->used -= h->size;
    std::free(h);
}

void* engine_realloc(void* udata, void* p, duk_size_t size)
{
    if (!p) return engine_alloc(udata, size);
    if (size == 0) {
        engine_free(udata, p);
        return nullptr;
    }
    auto& budget = *static_cast<ScriptEngine::Budget*>(udata);
    auto* h = static_cast<AllocationHeader*>(p) - 1;
    const std::size_t old = h->size;
    if (size > old && !may_allocate(budget, size - old)) return nullptr;
    auto* moved = static_cast<AllocationHeader*>(std::realloc(h, sizeof(AllocationHeader) + size));
    if (!moved) return nullptr;
    moved->size = size;
    budget.used = budget.used - old + size;
    return moved + 1;
}

// Reached only on the engine's internal failures (every call here is protected).
void engine_fatal(void*, const char* message)
{
    fatal(std::string("the script engine failed: ") + (message ? message : "no reason given"));
}

// Run by duk_safe_call (anything that may allocate can throw, and only a
// protected call catches it): looks the function's name (the engine string
// `udata` points at) up on the global object, calls it without arguments and
// leaves its result as a string ("" for undefined and null).
duk_ret_t call_global(duk_context* ctx, void* udata)
{
    const auto& name = *static_cast<const std::string*>(udata);
    duk_push_global_object(ctx);
    duk_push_lstring(ctx, name.data(), name.size());
    duk_get_prop(ctx, -2);
    if (!duk_is_function(ctx, -1)) return duk_error(ctx, DUK_ERR_TYPE_ERROR, "not a function");
    duk_call(ctx, 0);
    if (duk_is_null_or_undefined(ctx, -1)) duk_push_string(ctx, "");
    else duk_to_string(ctx, -1);
    return 1;
}

// Run by duk_safe_call: the value at the stack top as a string.
duk_ret_t value_to_string(duk_context* ctx, void*)
{
    if (duk_is_null_or_undefined(ctx, -1)) duk_push_string(ctx, "");
    else duk_to_string(ctx, -1);
    return 1;
}

// Sets the time budget for one call and lifts it afterwards.
class BudgetedCall {
public:
    explicit BudgetedCall(ScriptEngine::Budget& b) : budget_(b)
    {
        b.deadline = Clock::now() + ScriptEngine::time_budget;
        b.ending = false;
    }
    ~BudgetedCall() { budget_.deadline = Clock::time_point::max(); }
    BudgetedCall(const BudgetedCall&) = delete;
    BudgetedCall& operator=(const BudgetedCall&) = delete;

private:
    ScriptEngine::Budget& budget_;
};

}  // namespace

ScriptEngine::ScriptEngine()
    : context_(duk_create_heap(engine_alloc, engine_realloc, engine_free, &budget_, engine_fatal))
{
    if (!context_) throw std::bad_alloc();
}

ScriptEngine::~ScriptEngine() { duk_destroy_heap(context_); }

bool ScriptEngine::execute(std::string_view statements)
{
    BudgetedCall call(budget_);
    const std::string source = utf16_to_cesu8(gbk_to_utf16(statements));
    const bool ok = duk_peval_lstring(context_, source.data(), source.size()) == 0;
    duk_set_top(context_, 0);
    return ok;
}

std::optional<std::string> ScriptEngine::run(std::string_view name)
{
    BudgetedCall call(budget_);
    std::string engine_name = utf16_to_cesu8(gbk_to_utf16(name));
    return take_result(duk_safe_call(context_, call_global, &engine_name, 0, 1) == DUK_EXEC_SUCCESS);
}

std::optional<std::string> ScriptEngine::evaluate(std::string_view expression)
{
    BudgetedCall call(budget_);
    const std::string source = utf16_to_cesu8(gbk_to_utf16(expression));
    bool ok = duk_peval_lstring(context_, source.data(), source.size()) == 0;
    ok = ok && duk_safe_call(context_, value_to_string, nullptr, 1, 1) == DUK_EXEC_SUCCESS;
    return take_result(ok);
}

// The string at the stack top (when `ok`) converted to GBK; empties the stack.
std::optional<std::string> ScriptEngine::take_result(bool ok)
{
    std::optional<std::string> result;
    if (ok && duk_is_string(context_, -1)) {
        duk_size_t length = 0;
        const char* p = duk_get_lstring(context_, -1, &length);
        result = utf16_to_gbk(cesu8_to_utf16(std::string_view(p, length)));
    }
    duk_set_top(context_, 0);
    return result;
}

}  // namespace cu
