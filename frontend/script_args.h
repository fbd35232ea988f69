// Command line of the front-end's headless mode:
//   qmzfront --print-script [--style windows|posix] --source DIR --dest DIR
//            --preset N --clip N [--] FILE...
// N are the rows of the preset (0 .. 6) and clip-length (0 .. 2) buttons.
#pragma once

#include <string>
#include <vector>

#include "script_builder.h"

namespace qmz {

enum class ArgsError {
    none,
    missingValue,   // an option came last, without its value
    badStyle,       // --style neither "windows" nor "posix"
    badRow,         // --preset or --clip not a row of its table
    missingOption,  // --source, --dest, --preset or --clip not given
    unknownOption,  // a "--..." argument that is none of the above
    emptyPath,      // --source or --dest given an empty directory
};

struct PrintScriptArgs {
    ArgsError error = ArgsError::none;
    std::string offending;  // the argument the error is about
    ScriptRequest request;
};

// True when the arguments (without the program name) ask for the headless mode.
bool wantsPrintScript(const std::vector<std::string>& args);

// Parses the arguments after the program name, "--print-script" included.
PrintScriptArgs parsePrintScriptArgs(const std::vector<std::string>& args);

const char* printScriptUsage();

// The usage of the whole program, printed by --help.
const char* programUsage();

}  // namespace qmz
