#include "io/output_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace qmz::io {
namespace {

// The one partial file of the process, for the signal handler: a path
// prepared before the file was created, so the handler only unlinks.
std::atomic<const char*> partialFile{nullptr};

extern "C" void removePartialFileAndDie(int signal) {
    if (const char* path = partialFile.load()) ::unlink(path);
    // The default action (termination) once the handler returns, so that the
    // parent sees the signal and not an exit status.
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    ::sigaction(signal, &byDefault, nullptr);
    ::raise(signal);
}

void removePartialFileOnSignals() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous {};
        // A signal ignored by whoever started the program (nohup, a
        // background job) stays ignored.
        if (::sigaction(signal, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN)
            continue;
        struct sigaction handler {};
        handler.sa_handler = removePartialFileAndDie;
        sigemptyset(&handler.sa_mask);
        ::sigaction(signal, &handler, nullptr);
    }
}

std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return "";
    return path.substr(0, slash + 1);
}

// ".song.qmz.1a2b3c4d.part" beside "song.qmz": hidden, and named after what
// it will become. The base is shortened so that the name stays within the
// file system's limit.
std::string temporaryName(const std::string& destination, unsigned attempt) {
    const std::string directory = directoryOf(destination);
    const std::string base = destination.substr(directory.size()).substr(0, 200);
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const unsigned long long mix = (static_cast<unsigned long long>(::getpid()) << 32) ^
                                   static_cast<unsigned long long>(now.tv_nsec) ^
                                   (static_cast<unsigned long long>(attempt) * 0x9E3779B97F4A7C15ull);
    char tag[17];
    std::snprintf(tag, sizeof tag, "%08llx", (mix ^ (mix >> 32)) & 0xFFFFFFFFull);
    return directory + "." + base + "." + tag + ".part";
}

// The regular file a destination names, through any links; empty when it
// does not resolve to the very file stat() sees.
std::string resolvedRegularFile(const std::string& destination, const struct stat& status) {
    char* real = ::realpath(destination.c_str(), nullptr);
    if (real == nullptr) return "";
    std::string resolved(real);
    std::free(real);
    struct stat check {};
    if (::stat(resolved.c_str(), &check) != 0 || check.st_dev != status.st_dev ||
        check.st_ino != status.st_ino)
        return "";
    return resolved;
}

}  // namespace

OutputFile::~OutputFile() {
    if (kind_ != Kind::Closed) discard();
}

bool OutputFile::open(const std::string& destination) {
    destination_ = destination;
    struct stat status {};
    const bool exists = ::stat(destination.c_str(), &status) == 0;
    struct stat link {};
    const bool named = ::lstat(destination.c_str(), &link) == 0;
    if (exists && !S_ISREG(status.st_mode)) {
        kind_ = Kind::Device;
    } else if (!exists && named) {
        kind_ = Kind::Device;  // a dangling link: creating writes through it, as ever
    } else {
        kind_ = Kind::Temporary;
        if (exists && S_ISLNK(link.st_mode)) {
            // Replace the file the link leads to, not the link.
            destination_ = resolvedRegularFile(destination, status);
            if (destination_.empty()) {
                destination_ = destination;
                kind_ = Kind::Device;
            }
        }
    }
    if (kind_ == Kind::Temporary && exists && ::access(destination_.c_str(), W_OK) != 0) {
        kind_ = Kind::Closed;
        return false;  // a file its owner protected is not replaced either
    }

    // The signals wait while the file comes into being, so that none finds
    // it created but not yet known to the handler.
    sigset_t cleanupSignals, previousMask;
    sigemptyset(&cleanupSignals);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&cleanupSignals, signal);
    ::pthread_sigmask(SIG_BLOCK, &cleanupSignals, &previousMask);
    const bool created = create(exists ? &status : nullptr);
    const int error = errno;
    ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    errno = error;
    return created;
}

bool OutputFile::create(const struct stat* replaced) {
    int fd = -1;
    if (kind_ == Kind::Temporary) {
        // Created exclusively, so two jobs never share a temporary file.
        for (unsigned attempt = 0; fd < 0 && attempt < 100; ++attempt) {
            written_ = temporaryName(destination_, attempt);
            fd = ::open(written_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                        replaced ? 0600 : 0666);
            if (fd < 0 && errno != EEXIST) break;
        }
        if (fd < 0) {
            // A directory that refuses new names while the file itself may be
            // written: write it in place, as a plain create would.
            if (!replaced || (errno != EACCES && errno != EPERM)) {
                kind_ = Kind::Closed;
                return false;
            }
            kind_ = Kind::InPlace;
        }
    }
    if (kind_ != Kind::Temporary) written_ = destination_;
    if (fd >= 0) {
        if (replaced) ::fchmod(fd, replaced->st_mode & 07777);
        ::close(fd);
    }
    file_.open(written_, std::ios::binary | std::ios::out | std::ios::trunc);
    if (!file_) {
        const int error = errno;
        if (kind_ == Kind::Temporary) ::unlink(written_.c_str());
        release();
        errno = error;
        return false;
    }
    if (kind_ != Kind::Device) {
        removePartialFileOnSignals();
        partialFile.store(written_.c_str());
    }
    return true;
}

bool OutputFile::commit() {
    file_.close();
    if (file_.fail()) {
        discard();
        return false;
    }
    if (kind_ == Kind::Temporary && ::rename(written_.c_str(), destination_.c_str()) != 0) {
        discard();
        return false;
    }
    release();
    return true;
}

void OutputFile::discard() {
    if (file_.is_open()) file_.close();
    // A device (say /dev/full) stays; a file holding part of the output goes.
    if (kind_ == Kind::Temporary || kind_ == Kind::InPlace) ::unlink(written_.c_str());
    release();
}

void OutputFile::release() {
    partialFile.store(nullptr);
    kind_ = Kind::Closed;
}

}  // namespace qmz::io
