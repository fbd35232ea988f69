#include "script_launcher.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSaveFile>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <signal.h>

#include <cerrno>
#endif

namespace qmz {

// A shell reads its script as it runs, by byte offset: rewriting the same
// file under a running batch would make it resume in the middle of the new
// text. The new text goes into a temporary file beside the old one and is
// renamed over it, so a running shell keeps reading the old file.
bool writeScriptFile(const QString& file, const std::string& text, QString* error) {
    QSaveFile out(file);
    out.setDirectWriteFallback(false);
    const qint64 size = static_cast<qint64>(text.size());
    if (!out.open(QIODevice::WriteOnly) || out.write(text.data(), size) != size || !out.commit()) {
        if (error) *error = out.errorString();
        out.cancelWriting();
        return false;
    }
    return true;
}

QString pathWithToolDir(const QString& dir, const QString& oldPath, QChar listSeparator) {
#ifdef Q_OS_WIN
    const QString fallback = QString();
#else
    const QString fallback = QStringLiteral("/usr/local/bin:/usr/bin:/bin");
#endif
    const QString rest = oldPath.isEmpty() ? fallback : oldPath;
    return rest.isEmpty() ? dir : dir + listSeparator + rest;
}

QString logFileName() {
#ifdef Q_OS_WIN
    return {};
#else
    return QStringLiteral("go.log");
#endif
}

bool processRunning(qint64 pid) {
    if (pid <= 0) return false;
#ifdef Q_OS_WIN
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (!process) return false;
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
#else
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
    // A detached process is reaped by whoever adopted it; until then it
    // still answers kill(). Linux shows such an ended process as a zombie.
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray line = stat.readAll();
        const qsizetype end = line.lastIndexOf(')');  // the name may hold anything
        if (end >= 0 && end + 2 < line.size()) {
            const char state = line[end + 2];
            return state != 'Z' && state != 'X';
        }
    }
    return true;
#endif
}

bool startScriptDetached(const QString& scriptName, const QString& workDir, const QString& toolDir,
                         qint64* pid, QString* error) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QString nativeToolDir = QDir::toNativeSeparators(toolDir);
    QProcess process;
    process.setWorkingDirectory(workDir);
    process.setStandardInputFile(QProcess::nullDevice());
#ifdef Q_OS_WIN
    env.insert(QStringLiteral("PATH"),
               pathWithToolDir(nativeToolDir, env.value(QStringLiteral("PATH")), QLatin1Char(';')));
    process.setProgram(env.value(QStringLiteral("COMSPEC"), QStringLiteral("cmd.exe")));
    process.setNativeArguments(QStringLiteral("/c ") + scriptName);
    process.setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments* args) {
        args->flags |= CREATE_NEW_CONSOLE;
        args->startupInfo->dwFlags |= STARTF_USESHOWWINDOW;
        args->startupInfo->wShowWindow = SW_SHOWMINIMIZED;  // minimized, with the focus
    });
#else
    env.insert(QStringLiteral("PATH"),
               pathWithToolDir(nativeToolDir, env.value(QStringLiteral("PATH")), QLatin1Char(':')));
    // One batch per log: emptied here, then appended to by both streams
    // (separate truncating opens would write over each other).
    const QString log = QDir(workDir).filePath(logFileName());
    QFile emptied(log);
    if (!emptied.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        if (error) *error = emptied.errorString();
        return false;
    }
    emptied.close();
    process.setProgram(QStringLiteral("/bin/sh"));
    process.setArguments({QStringLiteral("./") + scriptName});
    process.setStandardOutputFile(log, QIODevice::Append);
    process.setStandardErrorFile(log, QIODevice::Append);
#endif
    process.setProcessEnvironment(env);
    if (!process.startDetached(pid)) {
        if (error) *error = process.errorString();
        return false;
    }
    return true;
}

}  // namespace qmz
