#include "io/same_file.h"

#include <sys/stat.h>
#include <unistd.h>

namespace qmz::io {
namespace {

// stat() follows links, /dev/stdin and /proc/self/fd/N included, to the file
// itself; a name that does not exist yet cannot be the input.
bool identify(const std::string& name, int standardDescriptor, struct stat& status) {
    return name == "-" ? ::fstat(standardDescriptor, &status) == 0
                       : ::stat(name.c_str(), &status) == 0;
}

}  // namespace

bool outputOverwritesInput(const std::string& input, const std::string& output) {
    struct stat in {}, out {};
    if (!identify(input, STDIN_FILENO, in) || !identify(output, STDOUT_FILENO, out)) return false;
    if (in.st_dev != out.st_dev || in.st_ino != out.st_ino) return false;
    return S_ISREG(in.st_mode) || S_ISBLK(in.st_mode);
}

}  // namespace qmz::io
