// A fresh folder of its own for each test fixture, also when test processes
// run side by side.
#pragma once

#include <filesystem>
#include <random>
#include <string>

namespace testsupport {

inline std::filesystem::path makeTempFolder(const std::string& prefix) {
    std::random_device random;
    for (;;) {
        std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                       (prefix + "-" + std::to_string(random()) + std::to_string(random()));
        if (std::filesystem::create_directory(folder)) return folder;
    }
}

}  // namespace testsupport
