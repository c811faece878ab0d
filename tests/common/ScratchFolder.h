#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace tessel::testing {

/// A temporary folder named after the running test (and the process), removed with everything
/// in it when the test ends.
struct ScratchFolder {
    std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                ("tessel-" + std::to_string(::getpid()) + "-" +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
    ScratchFolder() { std::filesystem::create_directories(dir); }
    ~ScratchFolder() { std::filesystem::remove_all(dir); }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    /// The path of a file in the folder.
    std::string operator()(const std::string& name) const { return (dir / name).string(); }
};

}  // namespace tessel::testing
