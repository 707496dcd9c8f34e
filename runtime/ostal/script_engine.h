// One script engine instance (Duktape) behind a script object: its own heap
// with a memory cap, no host objects (a script reaches no file, process or
// network), texts converted between GBK and the engine's strings.
#pragma once
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

struct duk_hthread;

namespace cu {

class ScriptEngine {
public:
    static constexpr std::size_t memory_cap = 256u << 20;
    // A script still allocating after this long is refused memory and fails.
    static constexpr std::chrono::seconds time_budget{10};

    ScriptEngine();
    ~ScriptEngine();
    ScriptEngine(const ScriptEngine&) = delete;
    ScriptEngine& operator=(const ScriptEngine&) = delete;

    // Evaluates GBK statements in the global scope; false when they fail.
    bool execute(std::string_view statements);
    // Calls the global function `name` without arguments; its result as GBK
    // text (undefined and null give the empty text), nothing on failure.
    std::optional<std::string> run(std::string_view name);
    // Evaluates a GBK expression; its value as GBK text, nothing on failure.
    std::optional<std::string> evaluate(std::string_view expression);

    // The allocator's bookkeeping, reached through the heap's user data.
    struct Budget {
        std::size_t used = 0;
        std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
        bool ending = false;       // the call has been refused an allocation for a stop or its time
        std::size_t reserve = 0;   // what the engine may still allocate to raise its error then
    };

private:
    std::optional<std::string> take_result(bool ok);

    Budget budget_;
    duk_hthread* context_ = nullptr;
};

}  // namespace cu
