// Started with descriptor 0, 1 or 2 closed (as some job runners do), a
// program's next open() would take that number, and its console text or
// messages would be written into the file it creates.
#pragma once

namespace qmz::io {

// Points each closed descriptor among 0-2 at /dev/null. Call first in main(),
// before anything is opened or printed.
void attachClosedStandardDescriptors();

}  // namespace qmz::io
