#include "io/payload_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <istream>
#include <vector>

namespace qmz {

PayloadFile::~PayloadFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool PayloadFile::open(const std::string& path, int64_t start) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return false;
    struct stat info {};
    if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    start_ = start;
    size_ = std::max<int64_t>(static_cast<int64_t>(info.st_size) - start, 0);
    return true;
}

bool PayloadFile::spool(std::istream& source) {
    std::FILE* temporary = std::tmpfile();
    if (temporary == nullptr) return false;
    fd_ = ::dup(fileno(temporary));
    std::fclose(temporary);  // the duplicate keeps the unnamed file alive
    if (fd_ < 0) return false;
    start_ = 0;
    size_ = 0;
    std::vector<char> piece(64 * 1024);
    while (source) {
        source.read(piece.data(), static_cast<std::streamsize>(piece.size()));
        const auto got = static_cast<std::size_t>(source.gcount());
        for (std::size_t done = 0; done < got;) {
            const ssize_t n = ::pwrite(fd_, piece.data() + done, got - done, size_);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
            size_ += n;
        }
    }
    return true;
}

PayloadReadAt PayloadFile::readAt() const {
    return [fd = fd_, start = start_, size = size_](int64_t offset, uint8_t* bytes,
                                                    std::size_t count) -> std::size_t {
        if (fd < 0 || offset < 0 || offset >= size) return 0;
        count = static_cast<std::size_t>(std::min<int64_t>(static_cast<int64_t>(count), size - offset));
        std::size_t done = 0;
        while (done < count) {
            const ssize_t n = ::pread(fd, bytes + done, count - done, start + offset + static_cast<int64_t>(done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        return done;
    };
}

}  // namespace qmz
