// Writing the batch script to disk and starting it, detached.
#pragma once

#include <QString>
#include <string>

namespace qmz {

// Creates or replaces file with text, byte for byte. The old file is
// replaced whole (a new file renamed over it), never rewritten in place.
bool writeScriptFile(const QString& file, const std::string& text, QString* error);

// Starts the script named scriptName in workDir without waiting for it, with
// toolDir put in front of PATH so that the bare program names in the script
// find the encoder and decoder installed beside the front-end.
// POSIX: "/bin/sh scriptName", output and errors written to logFileName()
// in workDir, which then holds this batch's output alone. Windows: the
// script through the command interpreter, minimized, without a log.
// On success *pid is the started process's id.
bool startScriptDetached(const QString& scriptName, const QString& workDir, const QString& toolDir,
                         qint64* pid, QString* error);

// "go.log" where the started script's output goes, "" where it has none.
QString logFileName();

// True while the process pid (from startScriptDetached) has not ended.
bool processRunning(qint64 pid);

// PATH with dir in front of oldPath (or of the system's default search path
// when oldPath is empty), separated by listSeparator.
QString pathWithToolDir(const QString& dir, const QString& oldPath, QChar listSeparator);

}  // namespace qmz
