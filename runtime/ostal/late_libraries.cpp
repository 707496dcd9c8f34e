#include "late_libraries.h"

#include <link.h>
#include <strings.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "errors.h"
#include "loader.h"

namespace cu::ostal {
namespace {

// The record of one late library: $XDG_RUNTIME_DIR/cumulo-search/bound-<name>,
// the user's own directory for the session (the home stays untouched, and the
// first start of a session checks again); empty without one.
std::string record_path(const LateLibrary& library)
{
    const char* runtime_dir = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime_dir || *runtime_dir != '/') return {};
    return std::string(runtime_dir) + "/cumulo-search/bound-" + library.wanted.short_name;
}

// What the binding depends on besides the files: the version wanted, the file
// named, and the loader's search path.
std::string record_header(const LateLibrary& library, const std::string& file)
{
    const char* search_path = std::getenv("LD_LIBRARY_PATH");
    return "wanted " + library.wanted.identifier + " " + std::to_string(library.wanted.major) + " " +
           std::to_string(library.wanted.minor) + " " + file + "\nsearch " + (search_path ? search_path : "") + "\n";
}

// One file as it is now: "<dev> <inode> <size> <mtime> <ctime> <path>"; empty
// when it cannot be looked at.
std::string file_line(const std::string& path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return {};
    std::ostringstream line;
    line << st.st_dev << ' ' << st.st_ino << ' ' << st.st_size << ' ' << st.st_mtim.tv_sec << '.' << st.st_mtim.tv_nsec
         << ' ' << st.st_ctim.tv_sec << '.' << st.st_ctim.tv_nsec << ' ' << path;
    return line.str();
}

int add_loaded_object(dl_phdr_info* info, std::size_t, void* data)
{
    if (info->dlpi_name && info->dlpi_name[0] == '/') static_cast<std::set<std::string>*>(data)->insert(info->dlpi_name);
    return 0;
}

std::set<std::string> loaded_objects()
{
    std::set<std::string> paths;
    dl_iterate_phdr(add_loaded_object, &paths);
    return paths;
}

// The libraries left for later, once set_late_libraries has run.
struct LateState {
    LateLibrary library;
    std::atomic<const BoundLibrary*> bound{nullptr};
};

std::mutex late_mutex;  // serialises binding
std::vector<std::unique_ptr<LateState>> late_states;
LibraryPlace late_place;
std::string late_image_name;

LateState* state_of(std::size_t index)
{
    for (const auto& state : late_states)
        if (state->library.index == index) return state.get();
    return nullptr;
}

// Binds `state` unless it is bound; the message of a failure, else empty.
std::string bind_once(LateState& state)
{
    if (state.bound.load(std::memory_order_acquire)) return {};
    std::lock_guard lock(late_mutex);
    if (state.bound.load(std::memory_order_relaxed)) return {};
    auto bound = std::make_unique<BoundLibrary>();
    std::string error;
    if (!bind_library(state.library.index, state.library.wanted, kernel_descriptor(), late_place, bound.get(), &error))
        return error;
    state.bound.store(bound.release(), std::memory_order_release);  // lives until the process ends
    return {};
}

// The thread of bind_late_libraries_soon, joined when the process ends.
struct SoonBinder {
    std::thread thread;
    ~SoonBinder()
    {
        if (thread.joinable()) thread.join();
    }
};
SoonBinder soon_binder;

}  // namespace

bool binds_late(std::string_view short_name)
{
    return short_name.size() == 6 && strncasecmp(short_name.data(), "netsup", 6) == 0;
}

bool bind_and_record(const LateLibrary& library, const LibraryPlace& place, BoundLibrary* bound, std::string* error)
{
    const std::set<std::string> before = loaded_objects();
    if (!bind_library(library.index, library.wanted, kernel_descriptor(), place, bound, error)) return false;
    const std::string path = record_path(library);
    if (path.empty()) return true;
    const std::string file = library_file(place, library.wanted.short_name);
    std::string record = record_header(library, file);
    std::set<std::string> files{file, "/etc/ld.so.cache"};
    for (const std::string& loaded : loaded_objects())
        if (!before.count(loaded)) files.insert(loaded);
    for (const std::string& f : files) {
        const std::string line = file_line(f);
        if (line.empty()) return true;  // nothing to compare with next time: no record
        record += line + '\n';
    }
    // Written aside and renamed, so a start never reads half a record.
    mkdir(path.substr(0, path.rfind('/')).c_str(), 0700);
    const std::string aside = path + ".new";
    if (std::ofstream(aside, std::ios::binary | std::ios::trunc) << record) std::rename(aside.c_str(), path.c_str());
    return true;
}

bool recorded_as_bound(const LateLibrary& library, const LibraryPlace& place)
{
    const std::string path = record_path(library);
    if (path.empty()) return false;
    std::ifstream in(path, std::ios::binary);
    const std::string header = record_header(library, library_file(place, library.wanted.short_name));
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.compare(0, header.size(), header) != 0) return false;
    std::istringstream lines(text.substr(header.size()));
    int files = 0;
    for (std::string line; std::getline(lines, line); ++files) {
        // The path is the last field: after the fifth space.
        std::size_t at = 0;
        for (int field = 0; field < 5; ++field) {
            at = line.find(' ', at);
            if (at == std::string::npos) return false;
            ++at;
        }
        if (file_line(line.substr(at)) != line) return false;
    }
    return files > 0;
}

void set_late_libraries(std::vector<LateLibrary> late, LibraryPlace place, std::string image_name)
{
    std::lock_guard lock(late_mutex);
    late_place = std::move(place);
    late_image_name = std::move(image_name);
    for (LateLibrary& l : late) {
        late_states.push_back(std::make_unique<LateState>());
        late_states.back()->library = std::move(l);
    }
}

const BoundLibrary& late_library(std::size_t index)
{
    LateState* state = state_of(index);
    if (!state) fatal("support library " + std::to_string(index) + " is not bound");
    if (std::string error = bind_once(*state); !error.empty()) fatal("image " + late_image_name + ": " + error);
    return *state->bound.load(std::memory_order_acquire);
}

void bind_late_libraries_soon()
{
    if (late_states.empty() || soon_binder.thread.joinable()) return;
    soon_binder.thread = std::thread([] {
        for (const auto& state : late_states) bind_once(*state);
    });
}

}  // namespace cu::ostal
