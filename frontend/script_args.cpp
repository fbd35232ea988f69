#include "script_args.h"

#include <charconv>

namespace qmz {
namespace {

bool parseRow(const std::string& text, int count, int& row) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, row);
    return ec == std::errc() && ptr == end && row >= 0 && row < count;
}

bool isValueOption(const std::string& a) {
    return a == "--style" || a == "--source" || a == "--dest" || a == "--preset" || a == "--clip";
}

// Handles one "--name value" option; returns false with args.error set.
bool takeOption(const std::string& name, const std::string& value, PrintScriptArgs& args,
                bool seen[4]) {
    ScriptRequest& r = args.request;
    if (name == "--style") {
        if (value == "windows")
            r.style = ScriptStyle::windows;
        else if (value == "posix")
            r.style = ScriptStyle::posix;
        else
            args.error = ArgsError::badStyle;
    } else if (name == "--source" || name == "--dest") {
        // An empty directory would make every path of the script absolute
        // from the top of the file system ("/song.wav").
        if (value.empty()) {
            args.error = ArgsError::emptyPath;
            args.offending = name;
            return false;
        }
        const bool source = name == "--source";
        (source ? r.sourcePath : r.destPath) = value;
        seen[source ? 0 : 1] = true;
    } else if (name == "--preset") {
        if (!parseRow(value, kPresetCount, r.presetRow)) args.error = ArgsError::badRow;
        seen[2] = true;
    } else {  // --clip
        if (!parseRow(value, kClipCount, r.clipRow)) args.error = ArgsError::badRow;
        seen[3] = true;
    }
    if (args.error != ArgsError::none) args.offending = value;
    return args.error == ArgsError::none;
}

}  // namespace

bool wantsPrintScript(const std::vector<std::string>& args) {
    for (const std::string& a : args) {
        if (a == "--") return false;
        if (a == "--print-script") return true;
    }
    return false;
}

PrintScriptArgs parsePrintScriptArgs(const std::vector<std::string>& args) {
    PrintScriptArgs out;
    out.request.style = nativeScriptStyle();
    bool seen[4] = {false, false, false, false};
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || a.rfind("--", 0) != 0) {
            out.request.names.push_back(a);
        } else if (a == "--") {
            optionsEnded = true;
        } else if (a != "--print-script") {
            if (!isValueOption(a)) {
                out.error = ArgsError::unknownOption;
                out.offending = a;
                return out;
            }
            if (i + 1 >= args.size()) {
                out.error = ArgsError::missingValue;
                out.offending = a;
                return out;
            }
            if (!takeOption(a, args[++i], out, seen)) return out;
        }
    }
    static const char* const kNames[4] = {"--source", "--dest", "--preset", "--clip"};
    for (int k = 0; k < 4; ++k) {
        if (!seen[k]) {
            out.error = ArgsError::missingOption;
            out.offending = kNames[k];
            return out;
        }
    }
    return out;
}

const char* printScriptUsage() {
    return "Usage: qmzfront --print-script [--style windows|posix] --source DIR --dest DIR\n"
           "                --preset N --clip N [--] FILE...\n"
           "  N of --preset: 0 AAA, 1 AA, 2 A, 3 B, 4 C, 5 D, 6 E\n"
           "  N of --clip:   0 full length, 1 30 second clip, 2 80 second clip\n";
}

const char* programUsage() {
    return "Usage: qmzfront            open the batch window\n"
           "       qmzfront --help     print this text\n"
           "       qmzfront --print-script [--style windows|posix] --source DIR --dest DIR\n"
           "                --preset N --clip N [--] FILE...\n"
           "                           print the batch script for FILE... and exit\n"
           "  N of --preset: 0 AAA, 1 AA, 2 A, 3 B, 4 C, 5 D, 6 E\n"
           "  N of --clip:   0 full length, 1 30 second clip, 2 80 second clip\n"
           "The window writes go.sh (go.bat on Windows) and go.log in the current\n"
           "directory and runs the script with qmzenc and qmzdec.\n";
}

}  // namespace qmz
