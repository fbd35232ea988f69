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
// POSIX: "/bin/sh scriptName", output and errors appended to "go.log" in
// workDir. Windows: the script through the command interpreter, minimized.
bool startScriptDetached(const QString& scriptName, const QString& workDir, const QString& toolDir,
                         QString* error);

// PATH with dir in front of oldPath (or of the system's default search path
// when oldPath is empty), separated by listSeparator.
QString pathWithToolDir(const QString& dir, const QString& oldPath, QChar listSeparator);

}  // namespace qmz
