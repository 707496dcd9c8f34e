// Automation objects of the kernel library. The one class is "ScriptControl":
// once its "Language" is set to "JScript" it evaluates statements and runs
// global functions in a script engine of its own. The object's 8-byte block
// (allocated and zeroed by the program) holds the object's address; an
// unknown class, a call before the language is set or any script failure
// leaves the block or the result empty instead of stopping the program.
#include <cstring>
#include <memory>
#include <string_view>

#include "guarded_command.h"
#include "kernel_modules.h"
#include "script_engine.h"
#include "script_engine_spare.h"
#include "worker.h"

namespace cu::kernel {
namespace {

struct ScriptControl {
    std::unique_ptr<ScriptEngine> engine;  // present once the language is set

    ScriptControl() = default;
    ScriptControl(const ScriptControl&) = delete;
    ScriptControl& operator=(const ScriptControl&) = delete;
    ~ScriptControl() { drop_engine(); }

    void drop_engine()
    {
        if (engine) drop_script_engine(std::move(engine));
    }
};

bool same_name(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

void* block_of(const Args& a)
{
    const cu_value* v = a.at(0);
    return v ? reinterpret_cast<void*>(v->value) : nullptr;
}

ScriptControl* object_in(const Args& a)
{
    void* block = block_of(a);
    if (!block) return nullptr;
    ScriptControl* object;
    std::memcpy(&object, block, sizeof object);
    return object;
}

void destroy(void* object) { delete static_cast<ScriptControl*>(object); }

// Empties the block and destroys what it held.
void release_object(void* block)
{
    ScriptControl* object;
    std::memcpy(&object, block, sizeof object);
    if (!object) return;
    std::memset(block, 0, sizeof object);
    untrack_resource(object);
    destroy(object);
}

cu_value logical(bool v) { return {v ? 1u : 0u, 0, CU_TAG_LOGICAL}; }

// 0x91C (object, class name, omitted): whatever the block held is released first.
cu_value create_object(const Args& a)
{
    void* block = block_of(a);
    if (!block) return logical(false);
    release_object(block);
    if (!same_name(a.text(1), "ScriptControl")) return logical(false);
    auto* object = new ScriptControl;
    std::memcpy(block, &object, sizeof object);
    // On a worker, the runtime reclaims the object if the worker is stopped first.
    track_resource(object, destroy);
    return logical(true);
}

// 0x924 (object)
cu_value release(const Args& a)
{
    if (void* block = block_of(a)) release_object(block);
    return none_result();
}

// 0x948 (object, property, value): "Language" = "JScript" gives the object a
// fresh engine; any other property or language is refused.
cu_value set_property(const Args& a)
{
    ScriptControl* object = object_in(a);
    if (!object || !same_name(a.text(1), "Language")) return logical(false);
    object->drop_engine();
    if (!same_name(a.text(2), "JScript") && !same_name(a.text(2), "JavaScript")) return logical(false);
    object->engine = fresh_script_engine();
    return logical(true);
}

// Calls a method with one text argument: "ExecuteStatement" (and "AddCode")
// evaluates statements, "Run" calls the named global function, "Eval"
// evaluates an expression. Nothing on failure.
std::optional<std::string> call_method(const Args& a)
{
    ScriptControl* object = object_in(a);
    if (!object || !object->engine) return std::nullopt;
    const std::string_view method = a.text(1), argument = a.text(2);
    if (same_name(method, "ExecuteStatement") || same_name(method, "AddCode"))
        return object->engine->execute(argument) ? std::optional<std::string>("") : std::nullopt;
    if (same_name(method, "Run")) return object->engine->run(argument);
    if (same_name(method, "Eval")) return object->engine->evaluate(argument);
    return std::nullopt;
}

// 0x954 (object, method, argument): the result as text, empty on failure.
cu_value call_with_result(const Args& a) { return text_result(call_method(a).value_or("")); }

// 0x958 (object, method, argument): the result is dropped.
cu_value call_without_result(const Args& a) { return logical(call_method(a).has_value()); }

constexpr cu_command table[] = {
    {0x91C, guarded<create_object>},    {0x924, guarded<release>},
    {0x948, guarded<set_property>},     {0x954, guarded<call_with_result>},
    {0x958, guarded<call_without_result>},
};

}  // namespace

std::span<const cu_command> script_object_commands() { return table; }

}  // namespace cu::kernel
