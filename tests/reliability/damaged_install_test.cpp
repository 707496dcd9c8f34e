// The launcher and the runtime's loader against damaged installations: a copy
// of the built installation (launcher, kernel library, support libraries,
// cumulo_core) in a scratch directory, damaged one way per case. Each ends
// with one clear message and a failure status, never a crash or a hang.
#include <gtest/gtest.h>

#include <elf.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "run_program.h"

namespace {

namespace fs = std::filesystem;

const std::string kLauncherMessage = "Error: Not found the kernel library or the kernel library is invalid!\n";

using Finished = cu::test::ProgramOutcome;

Finished run_program(const fs::path& program, const std::vector<std::string>& env)
{
    return cu::test::run_program(program.string(), env);
}

// A scratch copy of the installation: everything the launcher loads.
class Installation {
public:
    Installation()
    {
        static int serial = 0;
        dir_ = fs::temp_directory_path() /
               ("cumulo-damaged-" + std::to_string(getpid()) + "-" + std::to_string(serial++));
        fs::create_directories(dir_ / "bin");
        fs::create_directories(dir_ / "config/Tarnwick");
        fs::create_directories(dir_ / "run");
        fs::permissions(dir_ / "run", fs::perms::owner_all);
        for (const auto& entry : fs::directory_iterator(RUNTIME_DIR)) {
            const std::string name = entry.path().filename().string();
            if (name == "cumulo-search" || entry.path().extension() == ".vlr" || name.find(".so") != std::string::npos)
                fs::copy_file(entry.path(), dir_ / "bin" / name);
        }
    }
    ~Installation()
    {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    fs::path bin(const std::string& name = {}) const { return dir_ / "bin" / name; }
    fs::path settings() const { return dir_ / "config/Tarnwick/Ovra.conf"; }
    fs::path root() const { return dir_; }

    // `preload`: a library for the loader to map first, as LD_PRELOAD.
    Finished start(bool close_window = false, const std::string& preload = {}) const
    {
        std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen", "HOME=" + dir_.string(),
                                        "XDG_CONFIG_HOME=" + (dir_ / "config").string(),
                                        "XDG_RUNTIME_DIR=" + (dir_ / "run").string(),
                                        // A failing start is not where leaks are looked for; the
                                        // preloaded closer cannot come before the sanitizer runtime.
                                        "ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0"};
        std::string preloaded = close_window ? WINDOW_CLOSER : "";
        if (!preload.empty()) preloaded += (preloaded.empty() ? "" : ":") + preload;
        if (!preloaded.empty()) env.push_back("LD_PRELOAD=" + preloaded);
        return run_program(bin("cumulo-search"), env);
    }

private:
    fs::path dir_;
};

// Where the last loaded segment of a shared object ends in its file (what
// follows, such as debug sections, is never mapped).
std::uint64_t loaded_extent(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    Elf64_Ehdr header{};
    in.read(reinterpret_cast<char*>(&header), sizeof header);
    std::uint64_t end = 0;
    for (int i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr segment{};
        in.seekg(static_cast<std::streamoff>(header.e_phoff + i * sizeof segment));
        in.read(reinterpret_cast<char*>(&segment), sizeof segment);
        if (in && segment.p_type == PT_LOAD) end = std::max<std::uint64_t>(end, segment.p_offset + segment.p_filesz);
    }
    return end;
}

// Rewrites the first program header of type `type` (and the ELF header) with
// `change`, in place.
void patch_elf(const fs::path& file, std::uint32_t type, const std::function<void(Elf64_Ehdr&, Elf64_Phdr&)>& change)
{
    std::fstream io(file, std::ios::binary | std::ios::in | std::ios::out);
    Elf64_Ehdr header{};
    io.read(reinterpret_cast<char*>(&header), sizeof header);
    for (int i = 0; io && i < header.e_phnum; ++i) {
        const auto at = static_cast<std::streamoff>(header.e_phoff + i * sizeof(Elf64_Phdr));
        Elf64_Phdr segment{};
        io.seekg(at);
        io.read(reinterpret_cast<char*>(&segment), sizeof segment);
        if (!io || segment.p_type != type) continue;
        change(header, segment);
        io.seekp(at);
        io.write(reinterpret_cast<const char*>(&segment), sizeof segment);
        io.seekp(0);
        io.write(reinterpret_cast<const char*>(&header), sizeof header);
        ASSERT_TRUE(io) << file;
        return;
    }
    FAIL() << file << " has no program header of type " << type;
}

// A dynamic segment that claims far more bytes than the file has (sizing
// anything from it would ask for petabytes).
void enlarge_dynamic(const fs::path& file)
{
    patch_elf(file, PT_DYNAMIC, [](Elf64_Ehdr&, Elf64_Phdr& d) { d.p_filesz = d.p_memsz = std::uint64_t{1} << 52; });
}

// A dynamic segment laid over the file's own headers, at an address where
// the first loaded segment maps them.
void overlap_dynamic(const fs::path& file)
{
    patch_elf(file, PT_DYNAMIC, [](Elf64_Ehdr&, Elf64_Phdr& d) {
        d.p_offset = 0;
        d.p_vaddr = d.p_paddr = 0;
    });
}

// Section headers said to start past the end of the file.
void misplace_section_headers(const fs::path& file)
{
    const std::uint64_t size = fs::file_size(file);
    patch_elf(file, PT_LOAD, [size](Elf64_Ehdr& h, Elf64_Phdr&) { h.e_shoff = size + 4096; });
}

// Cut in the middle of what the loader maps.
void truncate_file(const fs::path& file)
{
    const std::uint64_t extent = loaded_extent(file);
    ASSERT_GT(extent, 0u) << file;
    fs::resize_file(file, extent / 2);
}

void replace_with(const fs::path& file, const fs::path& other)
{
    fs::remove(file);
    fs::copy_file(other, file);
}

void write_file(const fs::path& file, const std::string& bytes)
{
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

// Some shared object of the system that is no library of ours.
fs::path foreign_shared_object()
{
    for (const char* candidate : {"/usr/lib/x86_64-linux-gnu/libz.so.1", "/lib/x86_64-linux-gnu/libz.so.1"})
        if (fs::exists(candidate)) return candidate;
    return "/lib/x86_64-linux-gnu/libc.so.6";
}

TEST(DamagedInstallation, TheIntactCopyRuns)
{
    const Installation install;
    const Finished r = install.start(true);
    EXPECT_EQ(r.status, 0) << r.err;
}

struct Case {
    const char* name;
    std::function<void(const Installation&)> damage;
    int status;
    const char* message;  // regular expression over all of stderr; null: the launcher's message
};

class Damaged : public ::testing::TestWithParam<int> {};

const std::vector<Case>& cases()
{
    static const std::vector<Case> all = {
        {"kernel library truncated", [](const Installation& i) { truncate_file(i.bin("ostal.vlr")); }, 255, nullptr},
        {"kernel library empty", [](const Installation& i) { write_file(i.bin("ostal.vlr"), ""); }, 255, nullptr},
        {"kernel library a text file", [](const Installation& i) { write_file(i.bin("ostal.vlr"), "not a library\n"); },
         255, nullptr},
        {"kernel library a foreign shared object",
         [](const Installation& i) { replace_with(i.bin("ostal.vlr"), foreign_shared_object()); }, 255, nullptr},
        {"kernel library missing, no settings file", [](const Installation& i) { fs::remove(i.bin("ostal.vlr")); },
         255, nullptr},
        {"kernel library with a huge dynamic segment", [](const Installation& i) { enlarge_dynamic(i.bin("ostal.vlr")); },
         255, nullptr},
        {"kernel library with its dynamic segment over its headers",
         [](const Installation& i) { overlap_dynamic(i.bin("ostal.vlr")); }, 255, nullptr},
        {"kernel library with section headers past its end",
         [](const Installation& i) { misplace_section_headers(i.bin("ostal.vlr")); }, 255, nullptr},
        {"kernel library a directory",
         [](const Installation& i) {
             fs::remove(i.bin("ostal.vlr"));
             fs::create_directory(i.bin("ostal.vlr"));
         },
         255, nullptr},
        {"cumulo_core missing", [](const Installation& i) { fs::remove(i.bin("libcumulo_core.so")); }, 255, nullptr},
        {"cumulo_core truncated", [](const Installation& i) { truncate_file(i.bin("libcumulo_core.so")); }, 255,
         nullptr},
        {"support library truncated", [](const Installation& i) { truncate_file(i.bin("jdoc.vlr")); }, 3,
         "cumulo-search: image embedded in the executable: support library [0-9]+ \"jdoc\" \\(.*/jdoc\\.vlr\\): "
         ".*/jdoc\\.vlr is truncated: it has [0-9]+ bytes, its segments need [0-9]+\n"},
        {"support library with a huge dynamic segment", [](const Installation& i) { enlarge_dynamic(i.bin("jdoc.vlr")); }, 3,
         "cumulo-search: image embedded in the executable: support library [0-9]+ \"jdoc\" \\(.*/jdoc\\.vlr\\): "
         ".*/jdoc\\.vlr is truncated: it has [0-9]+ bytes, its dynamic segment claims [0-9]+ at [0-9]+\n"},
        {"support library with its dynamic segment over its headers",
         [](const Installation& i) { overlap_dynamic(i.bin("jdoc.vlr")); }, 3,
         "cumulo-search: image embedded in the executable: support library [0-9]+ \"jdoc\" \\(.*/jdoc\\.vlr\\): "
         ".*/jdoc\\.vlr is damaged: its dynamic segment overlaps its headers\n"},
        {"support library with section headers past its end",
         [](const Installation& i) { misplace_section_headers(i.bin("jdoc.vlr")); }, 3,
         "cumulo-search: image embedded in the executable: support library [0-9]+ \"jdoc\" \\(.*/jdoc\\.vlr\\): "
         ".*/jdoc\\.vlr is truncated: its section headers lie past its end\n"},
        {"support library empty", [](const Installation& i) { write_file(i.bin("jdoc.vlr"), ""); }, 3,
         "cumulo-search: image embedded in the executable: support library [0-9]+ \"jdoc\" \\(.*/jdoc\\.vlr\\): cannot be loaded: [^\n]*\n"},
        {"support library a directory",
         [](const Installation& i) {
             fs::remove(i.bin("jdoc.vlr"));
             fs::create_directory(i.bin("jdoc.vlr"));
         },
         3, "cumulo-search: image embedded in the executable: support library [0-9]+ \"jdoc\" \\(.*/jdoc\\.vlr\\): cannot be loaded: [^\n]*\n"},
        {"support library missing", [](const Installation& i) { fs::remove(i.bin("netsup.vlr")); }, 3,
         "cumulo-search: image embedded in the executable: support library [0-9]+ \"netsup\" \\(.*/netsup\\.vlr\\): cannot be loaded: [^\n]*\n"},
        {"support library a foreign shared object",
         [](const Installation& i) { replace_with(i.bin("parlo.vlr"), foreign_shared_object()); }, 3,
         "cumulo-search: image embedded in the executable: support library [0-9]+ \"parlo\" \\(.*/parlo\\.vlr\\): it exports no [^\n]*\n"},
        {"support library another of ours", [](const Installation& i) { replace_with(i.bin("widgx.vlr"), i.bin("jdoc.vlr")); },
         3, "cumulo-search: image embedded in the executable: support library [0-9]+ \"widgx\" \\(.*/widgx\\.vlr\\): its identifier [^\n]* is not the one "
            "the image asks for[^\n]*\n"},
        {"support library older",
         [](const Installation& i) { replace_with(i.bin("jdoc.vlr"), OLDER_JDOC); }, 3,
         "cumulo-search: image embedded in the executable: support library [0-9]+ \"jdoc\" \\(.*/jdoc\\.vlr\\): its version [0-9.]+ is older than the "
         "version [0-9.]+ the image needs\n"},
    };
    return all;
}

TEST_P(Damaged, OneClearMessage)
{
    const Case& c = cases()[GetParam()];
    SCOPED_TRACE(c.name);
    const Installation install;
    c.damage(install);
    const Finished r = install.start();
    EXPECT_EQ(r.status, c.status) << r.err;
    if (c.message) {
        EXPECT_TRUE(std::regex_match(r.err, std::regex(c.message))) << r.err;
    } else {
        EXPECT_EQ(r.err, kLauncherMessage);
    }
}

INSTANTIATE_TEST_SUITE_P(Installations, Damaged, ::testing::Range(0, static_cast<int>(cases().size())));

// The internet library is left unmapped at start while a record from an
// earlier start says nothing its binding depends on has changed. Damaged
// after a good start, or made to pick other files (a foreign libcurl where
// the loader looks first, a preloaded one), it is still found at the next
// start, before any window.
TEST(DamagedInstallation, TheInternetLibraryDamagedAfterAGoodStartIsFoundAtTheNext)
{
    struct LateCase {
        const char* name;
        std::function<void(const Installation&)> damage;
        std::string preload;  // for the start after the damage
        const char* message;
    };
    const std::string prefix =
        "cumulo-search: image embedded in the executable: support library [0-9]+ \"netsup\" \\(.*/netsup\\.vlr\\): ";
    const auto untouched = [](const Installation&) {};
    const std::vector<LateCase> after_a_good_start = {
        {"missing", [](const Installation& i) { fs::remove(i.bin("netsup.vlr")); }, {}, "cannot be loaded: [^\n]*\n"},
        {"truncated", [](const Installation& i) { truncate_file(i.bin("netsup.vlr")); }, {},
         ".*/netsup\\.vlr is truncated: [^\n]*\n"},
        {"a foreign shared object", [](const Installation& i) { replace_with(i.bin("netsup.vlr"), foreign_shared_object()); },
         {}, "it exports no [^\n]*\n"},
        {"another of ours", [](const Installation& i) { replace_with(i.bin("netsup.vlr"), i.bin("jdoc.vlr")); }, {},
         "its identifier [^\n]* is not the one the image asks for[^\n]*\n"},
        {"a foreign libcurl.so.4 beside the runtime",
         [](const Installation& i) { fs::copy_file(FOREIGN_LIBCURL, i.bin("libcurl.so.4")); }, {},
         "cannot be loaded: .*undefined symbol: [^\n]*\n"},
        {"a foreign libcurl.so.4 preloaded", untouched, FOREIGN_LIBCURL,
         "cannot be loaded: .*undefined symbol: [^\n]*\n"},
    };
    for (const LateCase& c : after_a_good_start) {
        SCOPED_TRACE(c.name);
        const Installation install;
        const Finished good = install.start(true);
        ASSERT_EQ(good.status, 0) << good.err;
        ASSERT_TRUE(fs::exists(install.root() / "run/cumulo-search/bound-netsup")) << "no record after a good start";
        EXPECT_EQ(install.start(true).status, 0) << "a start with the record";
        c.damage(install);
        const Finished r = install.start(false, c.preload);
        EXPECT_EQ(r.status, 3) << r.err;
        EXPECT_TRUE(std::regex_match(r.err, std::regex(prefix + c.message))) << r.err;
    }
}

// The launcher alone (the runtime elsewhere), with a settings file that is
// junk or names a damaged installation: the launcher's one message.
TEST(DamagedSettings, JunkOrDamagedTargetsGiveTheOneMessage)
{
    const std::pair<const char*, std::function<std::string(const Installation&)>> cases[] = {
        {"binary junk", [](const Installation&) { return std::string("\x7f\x45\x4c\x46\0\xff\xfe[Install\n\0Path", 20); }},
        {"a megabyte line", [](const Installation&) { return std::string(1 << 20, 'P'); }},
        {"path without a value", [](const Installation&) { return std::string("[Install]\nPath=\n"); }},
        {"path names a file", [](const Installation& i) { return "[Install]\nPath=" + i.bin("cumulo-search").string() + "\n"; }},
        {"path names a directory with a truncated kernel",
         [](const Installation& i) {
             fs::create_directories(i.root() / "lib");
             fs::copy_file(i.bin("ostal.vlr"), i.root() / "lib/ostal.vlx");
             truncate_file(i.root() / "lib/ostal.vlx");
             return "[Install]\nPath=" + (i.root() / "lib").string() + "\n";
         }},
        {"path in another section", [](const Installation& i) { return "[Other]\nPath=" + i.bin().string() + "\n"; }},
    };
    for (const auto& [name, settings] : cases) {
        SCOPED_TRACE(name);
        const Installation install;
        write_file(install.settings(), settings(install));
        // The launcher alone in its directory: only the settings can lead to a runtime.
        fs::remove(install.bin("ostal.vlr"));
        const Finished r = install.start();
        EXPECT_EQ(r.status, 255) << r.err;
        EXPECT_EQ(r.err, kLauncherMessage);
    }
}

}  // namespace
