#include "script_engine_spare.h"

#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace cu {
namespace {

// The thread that builds the next engine and destroys dropped ones; started
// with the first engine asked for, joined when the process ends.
class EngineWorkshop {
public:
    ~EngineWorkshop()
    {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
        }
        work_.notify_one();
        if (thread_.joinable()) thread_.join();
    }

    std::unique_ptr<ScriptEngine> take()
    {
        std::unique_ptr<ScriptEngine> ready;
        {
            std::lock_guard lock(mutex_);
            ready = std::move(spare_);
            spare_wanted_ = true;
            start_once();
        }
        work_.notify_one();
        return ready ? std::move(ready) : std::make_unique<ScriptEngine>();
    }

    void drop(std::unique_ptr<ScriptEngine> engine)
    {
        {
            std::lock_guard lock(mutex_);
            if (closing_) return;  // destroyed here, as `engine` goes
            dropped_.push_back(std::move(engine));
            start_once();
        }
        work_.notify_one();
    }

private:
    void start_once()
    {
        if (!thread_.joinable() && !closing_) thread_ = std::thread([this] { run(); });
    }

    void run()
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            work_.wait(lock, [this] { return closing_ || !dropped_.empty() || (spare_wanted_ && !spare_); });
            if (closing_) break;
            std::vector<std::unique_ptr<ScriptEngine>> dropped = std::move(dropped_);
            dropped_.clear();
            const bool build = spare_wanted_ && !spare_;
            lock.unlock();
            dropped.clear();
            std::unique_ptr<ScriptEngine> built;
            if (build) {
                try {
                    built = std::make_unique<ScriptEngine>();
                } catch (const std::bad_alloc&) {
                    // Left to the next taker, which builds its own and reports.
                }
            }
            lock.lock();
            if (build) {
                spare_ = std::move(built);
                spare_wanted_ = false;
            }
        }
        spare_.reset();
        dropped_.clear();
    }

    std::mutex mutex_;
    std::condition_variable work_;
    std::unique_ptr<ScriptEngine> spare_;
    std::vector<std::unique_ptr<ScriptEngine>> dropped_;
    bool spare_wanted_ = false;
    bool closing_ = false;
    std::thread thread_;
};

EngineWorkshop& workshop()
{
    static EngineWorkshop one;
    return one;
}

}  // namespace

std::unique_ptr<ScriptEngine> fresh_script_engine() { return workshop().take(); }

void drop_script_engine(std::unique_ptr<ScriptEngine> engine) { workshop().drop(std::move(engine)); }

}  // namespace cu
