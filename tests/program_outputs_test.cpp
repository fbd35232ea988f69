// What becomes of a program's destination when its job fails, is
// interrupted, races another job or starts with standard descriptors closed:
// a finished job replaces the destination whole; anything else leaves it as
// it was, with no temporary file behind.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <set>
#include <thread>

#include "codec_harness.h"
#include "program_harness.h"
#include "signals/music_signal.h"

extern char** environ;

#if defined(QMZENC_PATH) && defined(QMZDEC_PATH) && defined(QMZINFO_PATH)

namespace qmz {
namespace {

namespace fs = std::filesystem;

class ProgramOutputs : public test::ProgramDirTest {
  protected:
    std::set<std::string> entries() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_))
            names.insert(entry.path().filename().string());
        return names;
    }
    unsigned mode(const std::string& name) const {
        struct stat status {};
        return ::stat(path(name).c_str(), &status) == 0 ? status.st_mode & 07777 : ~0u;
    }
};

std::string musicWav(int64_t frames, double amplitude = 9000.0) {
    signals::MusicSignal signal;
    signal.amplitude = amplitude;
    return signals::wavFileImage(signals::render(signal, frames), 2);
}

TEST_F(ProgramOutputs, FailedWriteLeavesTheDestinationAsItWas) {
    write("in.wav", musicWav(44100));
    write("in.qmz", test::readDataFile("dec1_stereo.qmz"));
    write("err.txt", "");
    const std::string previous = "the previous file";
    for (const std::string line : {"ENC in.wav out.qmz", "DEC in.qmz out.qmz"}) {
        SCOPED_TRACE(line);
        write("out.qmz", previous);
        const std::set<std::string> before = entries();
        // Past a file size limit a write fails (EFBIG) once SIGXFSZ is ignored.
        EXPECT_EQ(sh("ulimit -f 4; trap '' XFSZ; " + line + " > /dev/null 2> err.txt"), 4);
        EXPECT_NE(slurp(path("err.txt")).find("writing failed"), std::string::npos);
        EXPECT_EQ(slurp(path("out.qmz")), previous);
        EXPECT_EQ(entries(), before);
    }
}

TEST_F(ProgramOutputs, ReplacedFileKeepsItsModeAndANewOneFollowsTheUmask) {
    write("in.wav", signals::wavFileImage(std::vector<int16_t>(4410, 7), 1));
    write("old.qmz", "x");
    write("old.wav", "x");
    fs::permissions(path("old.qmz"), fs::perms(0604));
    fs::permissions(path("old.wav"), fs::perms(0660));
    ASSERT_EQ(sh("umask 027; ENC in.wav new.qmz && ENC in.wav old.qmz && DEC new.qmz new.wav && "
                 "DEC new.qmz old.wav > /dev/null"),
              0);
    EXPECT_EQ(mode("new.qmz"), 0640u);
    EXPECT_EQ(mode("new.wav"), 0640u);
    EXPECT_EQ(mode("old.qmz"), 0604u);
    EXPECT_EQ(mode("old.wav"), 0660u);
    EXPECT_TRUE(slurp(path("old.qmz")) == slurp(path("new.qmz")));
    EXPECT_TRUE(slurp(path("old.wav")) == slurp(path("new.wav")));
}

// Runs `program - destination` on a pipe the caller feeds: the program is
// then surely mid-run while it waits for the rest of its input.
pid_t startOnPipe(const char* program, const std::string& destination, int& feed) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t byDefault;
    sigemptyset(&byDefault);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&byDefault, signal);
    posix_spawnattr_setsigdefault(&attributes, &byDefault);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    std::string dash = "-", target = destination, name = program;
    char* argv[] = {name.data(), dash.data(), target.data(), nullptr};
    pid_t pid = -1;
    if (::posix_spawn(&pid, program, &actions, &attributes, argv, environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(ends[0]);
    feed = ends[1];
    return pid;
}

bool feedAll(int fd, const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool waitFor(const std::function<bool()>& condition) {
    for (int i = 0; i < 1000; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST_F(ProgramOutputs, InterruptedJobLeavesTheDestinationAsItWas) {
    std::string streamed = musicWav(10 * 44100);
    streamed.replace(streamed.find("data") + 4, 4, "\xFF\xFF\xFF\xFF");
    const std::string wavHead = streamed.substr(0, 400000);
    const std::string qmz = test::readDataFile("dec1_stereo.qmz");
    const std::string qmzHead = qmz.substr(0, qmz.size() / 2);
    const struct {
        const char* program;
        const std::string& input;
        int signal;
    } cases[] = {
        {QMZENC_PATH, wavHead, SIGTERM},
        {QMZENC_PATH, wavHead, SIGINT},
        {QMZDEC_PATH, qmzHead, SIGHUP},
        {QMZDEC_PATH, qmzHead, SIGTERM},
    };
    const std::string previous = "the previous file";
    // A program that dies early must fail the test, not kill it.
    const auto pipeAction = std::signal(SIGPIPE, SIG_IGN);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.program) + " signal " + std::to_string(c.signal));
        write("out", previous);
        const std::set<std::string> before = entries();
        int feed = -1;
        const pid_t pid = startOnPipe(c.program, path("out"), feed);
        ASSERT_GT(pid, 0);
        EXPECT_TRUE(feedAll(feed, c.input));
        // Its output exists once a new name appears (or, writing in place,
        // the destination changes).
        EXPECT_TRUE(waitFor([&] { return entries() != before || slurp(path("out")) != previous; }));
        ::kill(pid, c.signal);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ::close(feed);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << status;
        EXPECT_EQ(slurp(path("out")), previous);
        EXPECT_EQ(entries(), before);
    }
    std::signal(SIGPIPE, pipeAction);
}

TEST_F(ProgramOutputs, TwoJobsOnOneOutputLeaveOneWholeFile) {
    write("a.wav", musicWav(5 * 44100));
    write("b.wav", musicWav(5 * 44100, 3000.0));
    ASSERT_EQ(sh("ENC a.wav a.qmz -B > /dev/null && ENC b.wav b.qmz -B > /dev/null && "
                 "DEC a.qmz a-ref.wav > /dev/null && DEC b.qmz b-ref.wav > /dev/null"),
              0);
    const struct {
        std::string first, second, output, firstResult, secondResult;
    } cases[] = {
        {"ENC a.wav out.qmz -B", "ENC b.wav out.qmz -B", "out.qmz", "a.qmz", "b.qmz"},
        {"DEC a.qmz out.wav", "DEC b.qmz out.wav", "out.wav", "a-ref.wav", "b-ref.wav"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        for (int round = 0; round < 3; ++round) {
            EXPECT_EQ(sh("exec > /dev/null; " + c.first + " & " + c.second +
                         "; second=$?; wait $! && exit $second"),
                      0);
            const std::string result = slurp(path(c.output));
            EXPECT_TRUE(result == slurp(path(c.firstResult)) ||
                        result == slurp(path(c.secondResult)));
        }
    }
}

// Started with descriptor 0, 1 or 2 closed, a program gives the same files
// and exit status as with all three open: no file it opens takes the place
// of a standard descriptor and receives console text or messages (the
// encoder reading standard input would open its output as descriptor 1).
TEST_F(ProgramOutputs, ClosedStandardDescriptorsTakeNoOutput) {
    write("in.wav", musicWav(44100));
    write("in.qmz", test::readDataFile("dec1_stereo.qmz"));
    const std::string qmz = test::readDataFile("dec1_stereo.qmz");
    write("cut.qmz", qmz.substr(0, qmz.size() / 2));
    const struct {
        int closed;
        std::string line, file;
    } cases[] = {
        {1, "ENC - out.qmz -B < in.wav", "out.qmz"},
        {1, "ENC in.wav out.qmz -B", "out.qmz"},
        {2, "DEC - out.wav < cut.qmz", "out.wav"},
        {1, "DEC cut.qmz out.wav", "out.wav"},
        {0, "INFO cut.qmz", "cut.qmz"},
    };
    const char* const others[] = {" > /dev/null 2>&1", " 2> /dev/null", " > /dev/null"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line + " with descriptor " + std::to_string(c.closed) + " closed");
        const int expectedStatus = sh(c.line + " > /dev/null 2>&1");
        const std::string expected = slurp(path(c.file));
        ASSERT_FALSE(expected.empty());
        if (c.file.starts_with("out")) fs::remove(path(c.file));
        EXPECT_EQ(sh("exec " + std::to_string(c.closed) + "<&-; " + c.line + others[c.closed]),
                  expectedStatus);
        EXPECT_TRUE(slurp(path(c.file)) == expected);
    }
}

}  // namespace
}  // namespace qmz

#endif
