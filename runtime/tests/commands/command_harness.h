// Calling command tables the way image code does: argument records in, a
// result record out, result blocks freed after they are read.
#pragma once
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "blocks.h"
#include "cumulo_abi.h"

namespace cu::test {

inline cu_value text(const char* t) { return {reinterpret_cast<std::uint64_t>(t), 0, CU_TAG_TEXT}; }
inline cu_value integer(std::int32_t v) { return {static_cast<std::uint32_t>(v), 0, CU_TAG_INT}; }
inline cu_value byte(std::uint8_t v) { return {v, 0, CU_TAG_BYTE}; }
inline cu_value logical(bool v) { return {v ? 1u : 0u, 0, CU_TAG_LOGICAL}; }
inline cu_value omitted() { return {0, 0, CU_TAG_OMITTED}; }
inline cu_value long_integer(std::int64_t v)
{
    const auto u = static_cast<std::uint64_t>(v);
    return {u & 0xFFFFFFFFu, static_cast<std::uint32_t>(u >> 32), CU_TAG_LONG};
}
inline cu_value object(void* block, std::uint32_t type) { return {reinterpret_cast<std::uint64_t>(block), 0, type}; }

// A byte-array block kept alive by the test.
class ByteArray {
public:
    explicit ByteArray(std::string_view bytes) : block_(8 + bytes.size())
    {
        const std::uint32_t head[2] = {1, static_cast<std::uint32_t>(bytes.size())};
        std::memcpy(block_.data(), head, 8);
        std::memcpy(block_.data() + 8, bytes.data(), bytes.size());
    }
    cu_value record() { return {reinterpret_cast<std::uint64_t>(block_.data()), 0, CU_TAG_BYTES}; }

private:
    std::vector<std::uint8_t> block_;
};

// Calls command `number` of `table`; fails the test when there is none.
inline cu_value call(std::span<const cu_command> table, std::uint32_t number, std::vector<cu_value> args)
{
    for (const cu_command& c : table)
        if (c.number == number) return c.run(static_cast<std::uint32_t>(args.size()), args.data());
    ADD_FAILURE() << "no command 0x" << std::hex << number;
    return {0, 0, CU_TAG_OMITTED};
}

// A text result's bytes; the block is freed.
inline std::string take_text(cu_value v)
{
    EXPECT_NE(v.value, 0u) << "a text result must be a block";
    if (!v.value) return {};
    auto* p = reinterpret_cast<char*>(v.value);
    std::string s(p);
    free_block(p);
    return s;
}

// A byte-array result's bytes; the block is freed.
inline std::string take_bytes(cu_value v)
{
    EXPECT_EQ(v.tag, CU_TAG_BYTES);
    EXPECT_NE(v.value, 0u) << "a byte-array result must be a block";
    if (!v.value) return {};
    auto* p = reinterpret_cast<std::uint8_t*>(v.value);
    std::uint32_t head[2];
    std::memcpy(head, p, 8);
    EXPECT_EQ(head[0], 1u);
    std::string s(reinterpret_cast<char*>(p + 8), head[1]);
    free_block(p);
    return s;
}

inline std::int32_t as_int(cu_value v) { return static_cast<std::int32_t>(v.value); }

// A support library loaded from the build's bin directory, as the kernel does.
class SupportLibrary {
public:
    explicit SupportLibrary(const std::string& short_name)
    {
        const std::string path = std::string(CUMULO_BIN_DIR) + "/" + short_name + ".vlr";
        handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle_) throw std::runtime_error(dlerror());
        auto describe = reinterpret_cast<cu_library_descriptor_fn>(dlsym(handle_, CU_LIBRARY_EXPORT));
        if (!describe) throw std::runtime_error("no descriptor in " + path);
        descriptor_ = describe();
    }
    ~SupportLibrary() { dlclose(handle_); }
    SupportLibrary(const SupportLibrary&) = delete;
    SupportLibrary& operator=(const SupportLibrary&) = delete;

    const cu_library& descriptor() const { return *descriptor_; }
    std::span<const cu_command> commands() const { return {descriptor_->commands, descriptor_->command_count}; }

private:
    void* handle_ = nullptr;
    const cu_library* descriptor_ = nullptr;
};

}  // namespace cu::test
