#include "script_launcher.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSaveFile>

#ifdef Q_OS_WIN
#include <windows.h>
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

bool startScriptDetached(const QString& scriptName, const QString& workDir, const QString& toolDir,
                         QString* error) {
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
    const QString log = QDir(workDir).filePath(QStringLiteral("go.log"));
    process.setProgram(QStringLiteral("/bin/sh"));
    process.setArguments({QStringLiteral("./") + scriptName});
    process.setStandardOutputFile(log, QIODevice::Append);
    process.setStandardErrorFile(log, QIODevice::Append);
#endif
    process.setProcessEnvironment(env);
    if (!process.startDetached()) {
        if (error) *error = process.errorString();
        return false;
    }
    return true;
}

}  // namespace qmz
