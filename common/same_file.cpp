#include "common/same_file.h"

#include <filesystem>
#include <system_error>

namespace qmz {

bool isSameFile(const std::string& a, const std::string& b) {
    std::error_code error;
    // equivalent() compares device and inode; it fails when either file does
    // not exist, and then they cannot be the same existing file.
    const bool same = std::filesystem::equivalent(a, b, error);
    return !error && same;
}

}  // namespace qmz
