// The launcher's road to the kernel library, case by case.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "error_report.h"
#include "launch.h"
#include "settings_file.h"

namespace {

namespace fs = std::filesystem;
using cu::launcher::Environment;
using cu::launcher::Trace;

enum class Kernel { None, Good, NoEntry, Refusing };

std::string fixture(Kernel k)
{
    switch (k) {
    case Kernel::Good: return GOOD_KERNEL;
    case Kernel::NoEntry: return NO_ENTRY_KERNEL;
    case Kernel::Refusing: return REFUSING_KERNEL;
    case Kernel::None: break;
    }
    return {};
}

const unsigned char image[16] = {1, 2, 3};

// A fresh tree per case: <root>/app/cumulo-search (never run: only its path
// matters), <root>/install/, <root>/config/Tarnwick/Ovra.conf.
struct Tree {
    fs::path root;
    explicit Tree(const std::string& name)
    {
        root = fs::temp_directory_path() / ("cumulo-launch-" + std::to_string(getpid()) + "-" + name);
        fs::remove_all(root);
        fs::create_directories(root / "app");
        fs::create_directories(root / "install");
        fs::create_directories(root / "config" / "Tarnwick");
    }
    ~Tree() { fs::remove_all(root); }

    void put(Kernel k, const fs::path& where) const
    {
        if (k != Kernel::None) fs::copy_file(fixture(k), where);
    }
    void settings(const std::string& text) const { std::ofstream(root / "config/Tarnwick/Ovra.conf") << text; }
    Environment env() const
    {
        static std::string config;
        config = (root / "config").string();
        return {(root / "app" / "cumulo-search").string(), config.c_str(), "/nonexistent-home", nullptr};
    }
};

bool still_loaded(const std::string& path)
{
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!h) return false;
    dlclose(h);
    return true;
}

const void* image_seen_by(const std::string& path)
{
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!h) return nullptr;
    auto* seen = static_cast<const void**>(dlsym(h, "fake_kernel_image"));
    dlclose(h);
    return seen ? *seen : nullptr;
}

struct Case {
    const char* name;
    Kernel beside;
    Kernel installed;
    std::optional<std::string> settings;  // "$INSTALL" stands for the installation directory
    int status;
    const char* loaded;                   // "beside", "installed" or ""
    bool released;
    bool settings_read;
};

class Launch : public ::testing::TestWithParam<Case> {};

TEST_P(Launch, FindsTheKernelOrFailsWithTheOneMessage)
{
    const Case& c = GetParam();
    Tree tree(c.name);
    const std::string beside = (tree.root / "app/ostal.vlr").string();
    const std::string installed = (tree.root / "install/ostal.vlx").string();
    tree.put(c.beside, beside);
    tree.put(c.installed, installed);
    if (c.settings) {
        std::string text = *c.settings;
        if (auto at = text.find("$INSTALL"); at != std::string::npos) text.replace(at, 8, (tree.root / "install").string());
        tree.settings(text);
    }

    Trace trace;
    testing::internal::CaptureStderr();
    const int status = cu::launcher::launch(tree.env(), image, &trace);
    const std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(status, c.status);
    EXPECT_EQ(trace.settings_read, c.settings_read);
    EXPECT_EQ(trace.released, c.released);
    const std::string expected_path = std::string(c.loaded) == "beside" ? beside
                                      : std::string(c.loaded) == "installed" ? installed
                                                                            : "";
    EXPECT_EQ(trace.loaded, expected_path);
    if (c.status == 0) {
        EXPECT_EQ(err, "");
        EXPECT_EQ(image_seen_by(expected_path), image);
    } else {
        EXPECT_EQ(err, "Error: Not found the kernel library or the kernel library is invalid!\n");
        if (!expected_path.empty()) EXPECT_FALSE(still_loaded(expected_path));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Launch,
    ::testing::Values(
        // Beside the executable: the settings file is never read, even a broken one.
        Case{"beside", Kernel::Good, Kernel::None, "garbage", 0, "beside", false, false},
        Case{"installed_with_separator", Kernel::None, Kernel::Good, "[Install]\nPath=$INSTALL/\n", 0, "installed",
             false, true},
        Case{"installed_without_separator", Kernel::None, Kernel::Good, "[Install]\nPath=$INSTALL\n", 0, "installed",
             false, true},
        Case{"installed_quoted", Kernel::None, Kernel::Good, "[General]\nPath=/elsewhere\n[Install]\nPath=\"$INSTALL\"\n",
             0, "installed", false, true},
        Case{"no_settings_file", Kernel::None, Kernel::Good, std::nullopt, 255, "", false, true},
        Case{"settings_without_key", Kernel::None, Kernel::Good, "[Install]\nOther=1\n[Path]\nPath=x\n", 255, "",
             false, true},
        Case{"missing_library_file", Kernel::None, Kernel::None, "[Install]\nPath=$INSTALL\n", 255, "", false, true},
        Case{"no_entry", Kernel::NoEntry, Kernel::Good, "[Install]\nPath=$INSTALL\n", 255, "beside", true, false},
        Case{"refusing", Kernel::None, Kernel::Refusing, "[Install]\nPath=$INSTALL\n", 255, "installed", true, true},
        Case{"too_long_path", Kernel::None, Kernel::Good, "[Install]\nPath=/" + std::string(5000, 'x') + "\n", 255,
             "", false, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LaunchPaths, AnExecutablePathLongerThanTheOldLimitIsUsedInFull)
{
    // 200 characters of directories: past the 128 the original limit allowed.
    Tree tree("long");
    fs::path deep = tree.root / "app";
    for (int i = 0; i < 10; ++i) deep /= std::string(20, 'd');
    fs::create_directories(deep);
    tree.put(Kernel::Good, deep / "ostal.vlr");
    Environment env = tree.env();
    env.executable = (deep / "cumulo-search").string();
    ASSERT_GT(env.executable.size(), 200u);
    Trace trace;
    EXPECT_EQ(cu::launcher::launch(env, image, &trace), 0);
    EXPECT_EQ(trace.loaded, (deep / "ostal.vlr").string());
}

// Started through a link in another directory (as /usr/bin/cumulo-search is),
// the launcher takes the kernel library beside the file the link leads to,
// through a chain of links and a linked directory alike.
TEST(LaunchPaths, ALinkLeadsToTheKernelBesideItsTarget)
{
    Tree tree("link");
    tree.put(Kernel::Good, tree.root / "app/ostal.vlr");
    std::ofstream(tree.root / "app/cumulo-search") << "launcher";
    fs::create_directories(tree.root / "bin");
    fs::create_symlink("../app/cumulo-search", tree.root / "bin/cumulo-search");
    fs::create_symlink("cumulo-search", tree.root / "bin/chained");
    fs::create_directory_symlink(tree.root / "app", tree.root / "linked-app");
    for (const char* start : {"bin/cumulo-search", "bin/chained", "linked-app/cumulo-search"}) {
        SCOPED_TRACE(start);
        Environment env = tree.env();
        env.executable = (tree.root / start).string();
        Trace trace;
        EXPECT_EQ(cu::launcher::launch(env, image, &trace), 0);
        EXPECT_EQ(trace.loaded, fs::canonical(tree.root / "app/ostal.vlr").string());
        EXPECT_FALSE(trace.settings_read);
    }
}

TEST(LaunchPaths, SettingsFileFollowsTheConfigurationDirectoryRules)
{
    EXPECT_EQ(cu::launcher::settings_file_path("/x/cfg", "/home/u"), "/x/cfg/Tarnwick/Ovra.conf");
    EXPECT_EQ(cu::launcher::settings_file_path("", "/home/u"), "/home/u/.config/Tarnwick/Ovra.conf");
    EXPECT_EQ(cu::launcher::settings_file_path(nullptr, "/home/u"), "/home/u/.config/Tarnwick/Ovra.conf");
    EXPECT_EQ(cu::launcher::settings_file_path(nullptr, nullptr), std::nullopt);
}

// Values as the install step writes them (quoted, with \ and " escaped) and
// as hand edits leave them: quoted or escaped characters are the value's own,
// unquoted blanks before a comment are not.
TEST(SettingsFile, ValuesReadAsWritten)
{
    const struct {
        const char* line;
        const char* value;
    } cases[] = {
        {R"(Path="/opt/a;b")", "/opt/a;b"},
        {R"(Path="/opt/ends with blank ")", "/opt/ends with blank "},
        {R"(Path=" /opt/starts with blank")", " /opt/starts with blank"},
        {R"(Path="/opt/back\\slash/\"quote\"")", R"(/opt/back\slash/"quote")"},
        {R"(Path="/opt/中文")", "/opt/中文"},
        {R"(Path=/opt/plain ; a comment)", "/opt/plain"},
        {R"(Path="/opt/q" ; a comment)", "/opt/q"},
    };
    const std::filesystem::path file = std::filesystem::temp_directory_path() /
                                       ("cumulo-settings-" + std::to_string(getpid()) + ".conf");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        std::ofstream(file, std::ios::trunc) << "[Install]\n" << c.line << "\n";
        EXPECT_EQ(cu::launcher::read_setting(file.string(), "Install", "Path"), c.value);
    }
    std::filesystem::remove(file);
}

TEST(LaunchPaths, ExecutablePathIsThisProcess)
{
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
    ASSERT_GT(n, 0);
    EXPECT_EQ(cu::launcher::executable_path(), std::string(buffer, n));
}

}  // namespace
