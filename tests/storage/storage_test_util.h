// Helpers shared by the storage tests: a scratch folder and file writers.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "storage/storage.h"

namespace kestrune::storage::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes bytes_of(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

inline void write_bytes(const std::filesystem::path& p, const Bytes& b) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

inline Bytes read_bytes(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Every test gets an empty folder and a storage layer with no archives and no cache.
class StorageTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_dir = std::filesystem::path(KESTRUNE_BINARY_DIR) / "test-storage" /
                (std::string(info->test_suite_name()) + "." + info->name());
        std::filesystem::remove_all(m_dir);
        std::filesystem::create_directories(m_dir);
        reset_archives();
        cache_unload_all();
        set_resource_prefix("");
        set_save_folder("");
    }
    void TearDown() override {
        reset_archives();
        cache_unload_all();
        std::filesystem::remove_all(m_dir);
    }
    std::string path(const std::string& rel) const { return (m_dir / rel).string(); }

    std::filesystem::path m_dir;
};

} // namespace kestrune::storage::test
