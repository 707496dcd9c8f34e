// The loader and the services on small hand-assembled images.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <sys/resource.h>
#include <unistd.h>

#include "blocks.h"
#include "form.h"
#include "image.h"
#include "library_ids.h"
#include "loader.h"
#include "test_entry.h"
#include "worker.h"

extern "C" std::uintptr_t GetNewSock(std::int32_t magic);

namespace {

using cu::image::RelocationKind;
using cu::image::relocation_word;

const std::string kExtraId = "0123456789ABCDEF0123456789abcdef";  // the library's own, in other letter cases

// Routines of the test image, by code offset.
constexpr std::uint32_t kReportFive = 0;   // mov edi, 5; jmp [ReportRuntimeError]
constexpr std::uint32_t kVarAddress = 12;  // mov eax, var+0; ret
constexpr std::uint32_t kHello = 18;       // mov eax, const "hello"; ret
constexpr std::uint32_t kSelf = 24;        // mov eax, code+12; ret
constexpr std::uint32_t kStart = 30;       // ret
constexpr std::uint32_t kFreeLoop = 31;    // push rax; again: xor edi, edi; call [FreeBlock]; jmp again

struct Builder {
    cu::image::ImageParts parts;

    std::uint32_t add_text(const std::string& text)
    {
        const auto offset = static_cast<std::uint32_t>(parts.const_data.size());
        parts.const_data.insert(parts.const_data.end(), text.begin(), text.end());
        parts.const_data.push_back(0);
        return offset;
    }

    Builder()
    {
        parts.const_data = {0};
        EXPECT_EQ(add_text("hello"), 1u);
        parts.libraries = {{"ostal", CU_ID_OSTAL, 5, 3, "core"}, {"extra", kExtraId, 2, 0, "extra"}};
        declare("", "MultiByteToWideChar");
        declare("KERNEL32.DLL", "MultiByteToWideChar");
        declare("test.dll", "AddTwo");
        parts.code_data = {0xBF, 5, 0, 0, 0, 0xFF, 0x24, 0x25, 0x00, 0, 0, 0,  // report 5
                           0xB8, 0, 0, 0, 0, 0xC3,                           // var
                           0xB8, 1, 0, 0, 0, 0xC3,                           // "hello"
                           0xB8, 12, 0, 0, 0, 0xC3,                          // code + 12
                           0xC3,                                             // start
                           0x50, 0x31, 0xFF, 0xFF, 0x14, 0x25, 0x20, 0, 0, 0, 0xEB, 0xF5};  // free loop
        parts.relocations = {relocation_word(8, RelocationKind::Service), relocation_word(13, RelocationKind::Var),
                             relocation_word(19, RelocationKind::Const), relocation_word(25, RelocationKind::Code),
                             relocation_word(kFreeLoop + 6, RelocationKind::Service)};
        parts.form_data = cu::image::write_form({});
        parts.help_data = std::vector<std::uint8_t>(56, 0);
        parts.var_size = 4;
        parts.start = kStart;
    }

    void declare(const std::string& library, const std::string& function)
    {
        const std::uint32_t lib = library.empty() ? 0 : add_text(library);
        parts.dll_commands.push_back({lib, add_text(function)});
    }

    std::vector<std::uint8_t> bytes() const { return cu::image::write_image(parts); }
};

const std::string kCurrentDir = FIXTURE_DIR "/extra_current/";
const std::string kOlderDir = FIXTURE_DIR "/extra_older/";

cu_loaded_for_test loaded;

template <typename Fn>
Fn slot(std::uint32_t offset)
{
    return reinterpret_cast<Fn>(loaded.service_table[offset / 4]);
}

template <typename R>
R call_routine(std::uint32_t offset)
{
    return reinterpret_cast<R (*)()>(loaded.code_base + offset)();
}

std::string permissions_of(const void* p)
{
    std::ifstream maps("/proc/self/maps");
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    for (std::string line; std::getline(maps, line);) {
        std::uintptr_t begin, end;
        char perms[5] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &begin, &end, perms) == 3 && a >= begin && a < end) return perms;
    }
    return "";
}

class Loaded : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static const std::vector<std::uint8_t> image = Builder().bytes();
        cu_runtime_load_for_test(image.data(), image.size(), kCurrentDir.c_str(), &loaded);
    }
};

TEST_F(Loaded, RelocatesEveryKindBelowTwoGigabytes)
{
    EXPECT_LT(reinterpret_cast<std::uintptr_t>(loaded.code_base), 0x80000000u);
    EXPECT_EQ(call_routine<std::uintptr_t>(kVarAddress), reinterpret_cast<std::uintptr_t>(loaded.var_base));
    EXPECT_STREQ(call_routine<const char*>(kHello), "hello");
    EXPECT_EQ(call_routine<std::uintptr_t>(kSelf), reinterpret_cast<std::uintptr_t>(loaded.code_base + kVarAddress));
    EXPECT_EQ(loaded.start, reinterpret_cast<std::uintptr_t>(loaded.code_base + kStart));
    EXPECT_EQ(std::memcmp(loaded.var_base, "\0\0\0\0", 4), 0);
}

TEST_F(Loaded, CodeIsExecutableButNotWritableAndVarIsWritable)
{
    EXPECT_EQ(permissions_of(loaded.code_base), "r-xp");
    EXPECT_EQ(permissions_of(loaded.service_table), "r--p");
    EXPECT_EQ(permissions_of(loaded.var_base), "rw-p");
}

TEST_F(Loaded, FreeBlockLeavesLiteralsAlone)
{
    auto free_block = slot<cu_FreeBlock_fn>(CU_SLOT_FreeBlock);
    auto allocate = slot<cu_AllocateBlock_fn>(CU_SLOT_AllocateBlock);
    auto* hello = const_cast<char*>(call_routine<const char*>(kHello));
    free_block(hello);
    free_block(const_cast<std::uint8_t*>(loaded.const_base));  // the empty text
    EXPECT_STREQ(hello, "hello");
    auto* block = static_cast<std::uint8_t*>(allocate(64));
    for (int i = 0; i < 64; ++i) ASSERT_EQ(block[i], 0) << "byte " << i;
    free_block(block);
}

TEST_F(Loaded, MemoryExhaustionEndsTheProgramWithAMessage)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer's allocator ends the process itself";
#endif
    auto allocate_in_one_gigabyte = [] {
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = rlim_t{1} << 30;
        setrlimit(RLIMIT_AS, &limit);
        slot<cu_AllocateBlock_fn>(CU_SLOT_AllocateBlock)(0xFFFFFFFFu);
    };
    EXPECT_EXIT(allocate_in_one_gigabyte(), ::testing::ExitedWithCode(3), "out of memory: a block of 4294967295 bytes");
}

TEST_F(Loaded, CommandsAndDllCommandsDispatchByNumber)
{
    auto kernel = slot<cu_CallKernelCommand_fn>(CU_SLOT_CallKernelCommand);
    auto library = slot<cu_CallLibraryCommand_fn>(CU_SLOT_CallLibraryCommand);
    auto dll = slot<cu_CallDllCommand_fn>(CU_SLOT_CallDllCommand);
    const cu_value args[2] = {};
    EXPECT_EQ(kernel(0x130, 2, args).value, 102u);
    EXPECT_EQ(kernel(0x134, 0, args).tag, CU_TAG_OMITTED);  // a throwing command gives an empty value
    EXPECT_EQ(library(1, 0x10, 0, args).value, 7u);
    const std::uint64_t words[6] = {40, 2, 0, 0, 0, 0};
    EXPECT_EQ(dll(2, 2, words), 42u);
    EXPECT_EQ(dll(0, 6, words), 40u);  // no library named: matched by function name
    EXPECT_EQ(dll(1, 6, words), 40u);  // library names match in any letter case
}

TEST_F(Loaded, RuntimeErrorsEndTheProgramWithAMessage)
{
    EXPECT_EXIT(call_routine<void>(kReportFive), ::testing::ExitedWithCode(3), "runtime error 5: a value used as text");
    auto dll = slot<cu_CallDllCommand_fn>(CU_SLOT_CallDllCommand);
    const std::uint64_t words[7] = {};
    EXPECT_EXIT(dll(2, 3, words), ::testing::ExitedWithCode(3), "runtime error 6: .*wrong number of arguments");
    EXPECT_EXIT(dll(0, 7, words), ::testing::ExitedWithCode(3), "runtime error 6");
}

TEST_F(Loaded, UnknownNumbersAreRuntimeErrorsNotCrashes)
{
    auto kernel = slot<cu_CallKernelCommand_fn>(CU_SLOT_CallKernelCommand);
    auto library = slot<cu_CallLibraryCommand_fn>(CU_SLOT_CallLibraryCommand);
    auto dll = slot<cu_CallDllCommand_fn>(CU_SLOT_CallDllCommand);
    EXPECT_EXIT(kernel(0x999, 0, nullptr), ::testing::ExitedWithCode(3), "command 0x999 of library 0 \\(ostal\\)");
    EXPECT_EXIT(library(9, 0x10, 0, nullptr), ::testing::ExitedWithCode(3), "library 9, which the image does not list");
    EXPECT_EXIT(library(1, 0x14, 0, nullptr), ::testing::ExitedWithCode(3), "command 0x14 of library 1 \\(extra\\)");
    EXPECT_EXIT(dll(7, 0, nullptr), ::testing::ExitedWithCode(3), "DLL command 7");
    EXPECT_EXIT(slot<void (*)()>(CU_SLOT_Unused1C)(), ::testing::ExitedWithCode(3), "slot 0x1C");
}

TEST_F(Loaded, AStoppedWorkerEndsAtItsNextServiceCall)
{
    // Image code that calls FreeBlock for ever, run as a worker.
    const std::uint32_t h = cu::start_worker(reinterpret_cast<std::uint64_t>(loaded.code_base + kFreeLoop));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(cu::worker_known(h));
    cu::stop_worker(h);
    for (int i = 0; i < 2000 && cu::worker_known(h); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(cu::worker_known(h));
}

TEST_F(Loaded, EndProgramExitsWithItsCode)
{
    auto end = slot<cu_EndProgram_fn>(CU_SLOT_EndProgram);
    EXPECT_EXIT(end(0), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(end(4), ::testing::ExitedWithCode(4), "");
}

TEST(GetNewSock, AnswersOnlyTheMagicNumber)
{
    EXPECT_NE(GetNewSock(1000), 0u);
    EXPECT_EQ(GetNewSock(999), 0u);
    EXPECT_EQ(GetNewSock(0), 0u);
}

// Each failure is tried in a child process: a load that fails ends it.
void expect_refused(const Builder& builder, const std::string& dir, const std::string& message)
{
    const std::vector<std::uint8_t> image = builder.bytes();
    EXPECT_EXIT(cu::ostal::load_program(image, "broken", {dir, ".vlr"}), ::testing::ExitedWithCode(3),
                "image broken: " + message);
}

TEST(LoadFailure, MissingSupportLibraryIsNamed)
{
    Builder b;
    b.parts.libraries[1].short_name = "absent";
    expect_refused(b, kCurrentDir, "support library 1 \"absent\" \\(.*/absent.vlr\\): cannot be loaded");
}

TEST(LoadFailure, OlderSupportLibraryIsRefused)
{
    expect_refused(Builder(), kOlderDir, "support library 1 \"extra\".*version 1.9 is older than the version 2.0");
}

TEST(LoadFailure, NewerSupportLibraryIsAccepted)
{
    Builder b;
    b.parts.libraries[1].major = 2;
    b.parts.libraries[1].minor = 1;
    const std::vector<std::uint8_t> image = b.bytes();
    EXPECT_EXIT({
        cu::ostal::load_program(image, "fine", {kCurrentDir, ".vlr"});
        _exit(0);  // the child ends here; nothing of it needs tearing down
    }, ::testing::ExitedWithCode(0), "");
}

TEST(LoadFailure, OtherIdentifierIsRefused)
{
    Builder b;
    b.parts.libraries[1].identifier = "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF";
    expect_refused(b, kCurrentDir, "support library 1 \"extra\".*identifier 0123456789abcdef0123456789ABCDEF is not the one");
}

TEST(LoadFailure, KernelVersionIsCheckedToo)
{
    Builder b;
    b.parts.libraries[0].major = 6;
    expect_refused(b, kCurrentDir, "support library 0 \"ostal\" \\(the kernel library\\).*older");
}

TEST(LoadFailure, UnknownDllFunctionIsRefused)
{
    Builder b;
    b.declare("user32.dll", "MessageBoxA");
    expect_refused(b, kCurrentDir, "DLL command 3 names user32.dll function \"MessageBoxA\"");
}

TEST(LoadFailure, InvalidImageIsRefusedBeforeAnythingIsMapped)
{
    std::vector<std::uint8_t> image = Builder().bytes();
    image.resize(image.size() / 2);
    EXPECT_EXIT(cu::ostal::load_program(image, "cut", {kCurrentDir, ".vlr"}), ::testing::ExitedWithCode(3), "image cut: ");
}

}  // namespace
