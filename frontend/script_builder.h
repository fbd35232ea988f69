// Batch script builder of the front-end: pure string logic, no toolkit.
//
// For every selected WAV file the script holds one encoder line and one
// decoder line:
//   qmzenc <S/N> <D/prefix+stem+"qmz"> <preset option><clip option>
//   qmzdec <D/prefix+stem+"qmz"> <D/prefix+N>
// where the stem is N up to and including the dot of its first ".wav"
// (found case-insensitively, kept in N's own case) and every program name
// and option text ends with one space. The Windows form ("go.bat") uses
// backslashes, double quotes and CRLF; the POSIX form ("go.sh") uses '/',
// single quotes and LF. Either way the joining separator is dropped when
// the directory already ends in one (a drive's or the file system's top).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qmz {

enum class ScriptStyle { windows, posix };

// The style a user of this build gets by default.
ScriptStyle nativeScriptStyle();

// "go.bat" or "go.sh".
const char* scriptFileName(ScriptStyle style);

inline constexpr int kPresetCount = 7;
inline constexpr int kClipCount = 3;

// Captions and option texts of the preset buttons (row 0 .. 6) and the
// clip-length buttons (row 0 .. 2). A row outside the table gives "".
const char* presetCaption(int row);
const char* presetOptionText(int row);  // "-AAA " .. "-E "
const char* presetNamePrefix(int row);  // "AAA_" .. "E_"
const char* clipCaption(int row);
const char* clipOptionText(int row);  // "-td -1 ", "-td 30 ", "-td 80 "

// Everything the script depends on. Names and paths are byte strings in the
// file system's encoding. A preset or clip row outside its table (no button
// of that group chosen) contributes empty texts.
struct ScriptRequest {
    std::vector<std::string> names;  // selected file names, in list order
    std::string sourcePath;
    std::string destPath;
    int presetRow = 1;
    int clipRow = 0;
    ScriptStyle style = ScriptStyle::posix;
};

enum class ScriptError {
    none,
    // A batch file cannot carry a double quote, carriage return or line feed
    // inside a quoted argument; such a name or path is refused rather than
    // written into a line that would run something else.
    unquotableInBatch,
};

struct ScriptResult {
    ScriptError error = ScriptError::none;
    std::string text;  // empty when error != none
};

ScriptResult buildScript(const ScriptRequest& request);

// What the script's two lines do with one selected file: the paths as the
// programs receive them (unquoted), in the style's separators.
struct BatchItem {
    std::string name;
    std::string source;
    std::string encoded;
    std::string decoded;
};

std::vector<BatchItem> batchItems(const ScriptRequest& request);

// Groups of two or more items (indexes into items) whose encoded file is the
// same, so that each overwrites the one before; ASCII letter case is ignored
// for the Windows style, whose file systems ignore it.
std::vector<std::vector<std::size_t>> sharedOutputs(const std::vector<BatchItem>& items,
                                                    ScriptStyle style);

// Pieces of the builder, exposed for the window and the tests.
std::string wavStem(std::string_view name);
std::string joinPath(std::string_view dir, std::string_view name, ScriptStyle style);
std::string quoteArgument(std::string_view path, ScriptStyle style);

}  // namespace qmz
