// A program's output file, written whole or not at all.
//
// A regular file (or a name not taken yet) is written under a temporary name
// in the destination's directory and renamed over the destination only once
// complete, so a failed, interrupted or concurrent job never leaves a mix in
// its place: an existing destination stays as it was until the new one is
// whole, and of two jobs writing one output the last to finish wins. The
// temporary file is removed on failure and on SIGINT, SIGTERM and SIGHUP.
// Anything else (a device such as /dev/null or /dev/full, a FIFO) is written
// directly, as it cannot be replaced.
#pragma once

#include <sys/stat.h>

#include <fstream>
#include <string>

namespace qmz::io {

class OutputFile {
  public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();  // discards what was not committed

    // False when the output cannot be created (errno tells why). The new
    // file gets the permissions a plain create would give: those of the
    // file it replaces, or 0666 less the umask.
    bool open(const std::string& destination);
    std::ostream& stream() { return file_; }

    // Closes the file and puts it in place of the destination. False when a
    // write or the rename failed; then nothing is in place and any earlier
    // destination is untouched.
    bool commit();
    // Closes the file and removes what was written.
    void discard();

  private:
    enum class Kind { Closed, Temporary, InPlace, Device };
    bool create(const struct stat* replaced);
    void release();

    std::ofstream file_;
    std::string destination_;  // where the finished file goes
    std::string written_;      // what is being written (the temporary name)
    Kind kind_ = Kind::Closed;
};

}  // namespace qmz::io
