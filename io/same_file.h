// Whether a program's output would land on its own input, however either is
// named: relative or absolute paths, links, "-" for the open standard input
// and output, or /dev/stdin-style names. The programs refuse such an output
// before creating it, since writing it would destroy the input.
#pragma once

#include <string>

namespace qmz::io {

// `input` of "-" stands for descriptor 0, `output` of "-" for descriptor 1.
// Only stored files count: a pipe, a terminal or a device such as /dev/null
// loses nothing by being read and written at once.
bool outputOverwritesInput(const std::string& input, const std::string& output);

}  // namespace qmz::io
