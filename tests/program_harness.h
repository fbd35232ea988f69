// A test fixture for running the built programs: a fresh directory per test,
// files in and out of it, and shell command lines run inside it.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>

namespace qmz::test {

class ProgramDirTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("qmz_programs_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name() + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    static std::string slurp(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    void write(const std::string& name, const std::string& bytes) const {
        std::ofstream(path(name), std::ios::binary) << bytes;
    }
    // Runs a command line in the test directory; the exit status of the line.
    int shell(const std::string& line) const {
        const int raw = std::system(("cd '" + dir_.string() + "' && " + line).c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
#if defined(QMZENC_PATH) && defined(QMZDEC_PATH)
    // The same, with ENC, DEC and INFO standing for the programs.
    int sh(std::string line) const {
        const std::pair<std::string_view, const char*> programs[] = {
            {"ENC", QMZENC_PATH},
            {"DEC", QMZDEC_PATH},
#ifdef QMZINFO_PATH
            {"INFO", QMZINFO_PATH},
#endif
        };
        for (const auto& [name, program] : programs) {
            const std::string quoted = std::string("'") + program + "'";
            for (std::size_t at = 0; (at = line.find(name, at)) != std::string::npos;) {
                line.replace(at, name.size(), quoted);
                at += quoted.size();
            }
        }
        return shell(line);
    }
#endif

    std::filesystem::path dir_;
};

}  // namespace qmz::test
