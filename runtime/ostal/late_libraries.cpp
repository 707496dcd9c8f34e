#include "late_libraries.h"

#include <dlfcn.h>
#include <link.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string_view>
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

// What the loader's choice depends on besides files: the version wanted, the
// file named, and the environment the loader reads (its search path, the
// libraries it maps first, and the tunables that pick hardware subdirectories).
std::string record_header(const LateLibrary& library, const std::string& file)
{
    const auto variable = [](const char* name) {
        const char* value = std::getenv(name);
        return std::string(name) + "=" + (value ? value : "") + "\n";
    };
    return "wanted " + library.wanted.identifier + " " + std::to_string(library.wanted.major) + " " +
           std::to_string(library.wanted.minor) + " " + file + "\n" + variable("LD_LIBRARY_PATH") +
           variable("LD_PRELOAD") + variable("GLIBC_TUNABLES");
}

constexpr std::string_view kAbsent = "absent ";

// One path as it is now: "<dev> <inode> <size> <mtime> <ctime> <path>", or
// "absent <path>" when nothing can be looked at there (for the loader, a
// path it cannot open is no candidate either).
std::string path_line(const std::string& path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return std::string(kAbsent) + path;
    std::ostringstream line;
    line << st.st_dev << ' ' << st.st_ino << ' ' << st.st_size << ' ' << st.st_mtim.tv_sec << '.' << st.st_mtim.tv_nsec
         << ' ' << st.st_ctim.tv_sec << '.' << st.st_ctim.tv_nsec << ' ' << path;
    return line.str();
}

// The path a record line is about; empty when the line is not one.
std::string path_of(const std::string& line)
{
    if (line.compare(0, kAbsent.size(), kAbsent) == 0) return line.substr(kAbsent.size());
    std::size_t at = 0;
    for (int field = 0; field < 5; ++field) {
        at = line.find(' ', at);
        if (at == std::string::npos) return {};
        ++at;
    }
    return line.substr(at);
}

// An object the loader has mapped: its file, and from its dynamic section the
// name it answers to and the names it needs.
struct MappedObject {
    std::string path;
    std::string soname;
    std::vector<std::string> needed;
};

int add_mapped_object(dl_phdr_info* info, std::size_t, void* data)
{
    if (!info->dlpi_name || info->dlpi_name[0] != '/') return 0;
    MappedObject object{info->dlpi_name, {}, {}};
    const ElfW(Dyn)* dynamic = nullptr;
    for (int i = 0; i < info->dlpi_phnum; ++i)
        if (info->dlpi_phdr[i].p_type == PT_DYNAMIC)
            dynamic = reinterpret_cast<const ElfW(Dyn)*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
    const char* strings = nullptr;
    for (const ElfW(Dyn)* d = dynamic; d && d->d_tag != DT_NULL; ++d)
        if (d->d_tag == DT_STRTAB)
            // The loader relocates the address in place where the section is
            // writable (as on x86-64); a read-only one still holds the offset.
            strings = reinterpret_cast<const char*>(d->d_un.d_ptr < info->dlpi_addr ? info->dlpi_addr + d->d_un.d_ptr
                                                                                   : d->d_un.d_ptr);
    for (const ElfW(Dyn)* d = dynamic; strings && d && d->d_tag != DT_NULL; ++d) {
        if (d->d_tag == DT_NEEDED) object.needed.emplace_back(strings + d->d_un.d_val);
        if (d->d_tag == DT_SONAME) object.soname = strings + d->d_un.d_val;
    }
    static_cast<std::vector<MappedObject>*>(data)->push_back(std::move(object));
    return 0;
}

std::vector<MappedObject> mapped_objects()
{
    std::vector<MappedObject> objects;
    dl_iterate_phdr(add_mapped_object, &objects);
    return objects;
}

// The directories the loader searches, in order, for what `path` needs: the
// run paths of it and its loaders, LD_LIBRARY_PATH, its RUNPATH (with $ORIGIN
// filled in), then the default directories. ld.so.cache, consulted before the
// default directories, is recorded on its own.
std::vector<std::string> search_directories(const std::string& path)
{
    std::vector<std::string> directories;
    void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (!handle) return directories;
    Dl_serinfo size{};
    if (dlinfo(handle, RTLD_DI_SERINFOSIZE, &size) == 0) {
        std::vector<std::max_align_t> storage(size.dls_size / sizeof(std::max_align_t) + 1);
        auto* info = reinterpret_cast<Dl_serinfo*>(storage.data());
        *info = size;
        if (dlinfo(handle, RTLD_DI_SERINFO, info) == 0)
            for (unsigned i = 0; i < info->dls_cnt; ++i) directories.emplace_back(info->dls_serpath[i].dls_name);
    }
    dlclose(handle);
    return directories;
}

// Under each search directory the loader also tries subdirectories named for
// the processor (glibc-hwcaps/x86-64-v3/, and the older tls/, x86_64/, haswell/
// ... ones); these are their first components.
constexpr const char* kHardwareSubdirectories[] = {"glibc-hwcaps", "tls", "x86_64", "haswell", "xeon_phi", "avx512_1"};

// `directory` and every directory that exists under its hardware
// subdirectories: a file added to any of them changes that directory's
// modification time.
std::vector<std::string> places_searched_in(const std::string& directory)
{
    std::vector<std::string> places{directory};
    for (const char* name : kHardwareSubdirectories) {
        const std::filesystem::path top = directory + "/" + name;
        std::error_code error;
        if (!std::filesystem::is_directory(top, error)) continue;
        places.push_back(top.string());
        for (std::filesystem::recursive_directory_iterator it(top, error), end; !error && it != end; it.increment(error))
            if (it->is_directory(error)) places.push_back(it->path().string());
    }
    return places;
}

// Every path whose change could change what the loader picked for the objects
// mapped since `before`: each object's file; for each name such an object
// needs, every directory searched before the one it was found in (and that
// one), with its hardware subdirectories (present or absent) and any file of
// that name there that the loader passed over.
std::set<std::string> paths_behind_the_choice(const std::set<std::string>& before)
{
    const std::vector<MappedObject> objects = mapped_objects();
    std::map<std::string, std::string> chosen;  // a needed name -> the file that answers to it
    for (const MappedObject& o : objects) {
        chosen.emplace(std::filesystem::path(o.path).filename().string(), o.path);
        if (!o.soname.empty()) chosen.emplace(o.soname, o.path);
    }
    std::set<std::string> paths{"/etc/ld.so.cache", "/etc/ld.so.preload"};
    std::map<std::string, std::vector<std::string>> places_of;  // a search directory -> places_searched_in
    for (const MappedObject& o : objects) {
        if (before.count(o.path)) continue;
        paths.insert(o.path);
        const std::vector<std::string> directories = search_directories(o.path);
        for (const std::string& name : o.needed) {
            if (name.find('/') != std::string::npos) continue;
            const auto found = chosen.find(name);
            for (std::string directory : directories) {
                while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
                auto [places, fresh] = places_of.try_emplace(directory);
                if (fresh) {
                    places->second = places_searched_in(directory);
                    for (const char* sub : kHardwareSubdirectories) paths.insert(directory + "/" + sub);
                }
                for (const std::string& place : places->second) {
                    paths.insert(place);
                    if (std::string candidate = place + "/" + name; access(candidate.c_str(), F_OK) == 0)
                        paths.insert(candidate);
                }
                if (found != chosen.end() && found->second.compare(0, directory.size() + 1, directory + "/") == 0)
                    break;
            }
        }
    }
    return paths;
}

std::set<std::string> loaded_paths()
{
    std::set<std::string> paths;
    for (const MappedObject& o : mapped_objects()) paths.insert(o.path);
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

// Set once the window has shown (bind_late_libraries_soon is called then).
std::atomic<bool> window_shown{false};

// A late library that cannot be bound after all ends the program as a start
// that finds it unbindable does, and its record goes, so the next start binds
// it before its window and says so there.
[[noreturn]] void fail_late(const LateState& state, const std::string& error)
{
    if (const std::string path = record_path(state.library); !path.empty()) std::remove(path.c_str());
    std::string message = "image " + late_image_name + ": " + error;
    if (window_shown.load()) message += " (found after the window had shown)";
    fatal(message);
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
    const std::set<std::string> before = loaded_paths();
    if (!bind_library(library.index, library.wanted, kernel_descriptor(), place, bound, error)) return false;
    const std::string path = record_path(library);
    if (path.empty()) return true;
    const std::string file = library_file(place, library.wanted.short_name);
    std::string record = record_header(library, file);
    std::set<std::string> paths = paths_behind_the_choice(before);
    paths.insert(file);
    for (const std::string& p : paths) record += path_line(p) + '\n';
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
    const std::string file = library_file(place, library.wanted.short_name);
    const std::string header = record_header(library, file);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.compare(0, header.size(), header) != 0) return false;
    std::istringstream lines(text.substr(header.size()));
    bool library_seen = false;
    for (std::string line; std::getline(lines, line);) {
        const std::string about = path_of(line);
        if (about.empty() || path_line(about) != line) return false;
        library_seen = library_seen || (about == file && line.compare(0, kAbsent.size(), kAbsent) != 0);
    }
    return library_seen;
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
    if (std::string error = bind_once(*state); !error.empty()) fail_late(*state, error);
    return *state->bound.load(std::memory_order_acquire);
}

void bind_late_libraries_soon()
{
    window_shown = true;
    if (late_states.empty() || soon_binder.thread.joinable()) return;
    soon_binder.thread = std::thread([] {
        for (const auto& state : late_states)
            if (std::string error = bind_once(*state); !error.empty()) fail_late(*state, error);
    });
}

}  // namespace cu::ostal
