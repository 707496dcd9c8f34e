// The program image's window layout, as the tests and benchmarks open it:
// the real "form" section, with each event binding pointed at a stand-in
// handler (the image's own code is not loaded here) that counts its calls.
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <string>

#include "form.h"

namespace cu::window::test {

inline constexpr std::uint32_t kWindow = 0x52010001;
inline constexpr std::uint32_t kWindowUnit = 0x06010000;
inline constexpr std::uint32_t kMenuRoot = 0x2601010C;
inline constexpr std::uint32_t kMenuOpen = 0x2601010D;
inline constexpr std::uint32_t kMenuCopy = 0x26010112;
inline constexpr std::uint32_t kMenuAbout = 0x2601011B;
inline constexpr std::uint32_t kStatusLabel = 0x16010105;
inline constexpr std::uint32_t kTypeLabel = 0x16010014;
inline constexpr std::uint32_t kCombo = 0x1601000F;
inline constexpr std::uint32_t kList = 0x16010009;
inline constexpr std::uint32_t kButton = 0x16010008;
inline constexpr std::uint32_t kKeywordLabel = 0x16010003;
inline constexpr std::uint32_t kKeywordBox = 0x16010002;

// The program's handlers by name, and one for a routine of any other name.
enum Handler { kToggleSearch, kShowListMenu, kOpenShare, kCopyShare, kShowAbout, kOtherRoutine, kHandlerCount };
extern std::atomic<int> handler_calls[kHandlerCount];

// The image's form section, parsed; the routine names of its map file by
// code offset. Both end the process with a message when the files are bad.
image::Form program_form();
std::map<std::uint32_t, std::string> program_routines();

// `form` with every handler offset pointing at the stand-in for the routine
// of that name, counted from test_code_base().
image::Form with_stand_in_handlers(image::Form form);
const void* test_code_base();

// GBK bytes of a UTF-8 literal.
std::string gbk(const char* utf8);

}  // namespace cu::window::test
