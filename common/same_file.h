// Whether two paths name the same file, however spelled (relative or
// absolute, through links, with redundant separators). Used by the programs
// to refuse an output that would truncate their own input before reading it.
#pragma once

#include <string>

namespace qmz {

bool isSameFile(const std::string& a, const std::string& b);

}  // namespace qmz
