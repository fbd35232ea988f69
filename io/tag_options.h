// qmzenc's tag options, taken out of the argument list before the presets
// and the other options are matched, so that a value ("--title -B") is never
// read as an option.
//
//   --tag KEY=VALUE   any field (repeatable; an empty value drops the key)
//   --title, --artist, --album, --date, --track, --genre, --comment VALUE
#pragma once

#include <string>
#include <vector>

#include "io/tag_block.h"

namespace qmz {

struct TagOptions {
    Tags tags;                      // in the order given, keys upper case
    std::vector<std::string> rest;  // every other argument, in order
    std::string error;              // empty when every tag option was good
};

// Splits `arguments` into the tag options and the rest. A key that cannot be
// stored, a value that is not UTF-8 or a missing value sets `error` to a
// sentence naming the argument.
TagOptions extractTagOptions(const std::vector<std::string>& arguments);

// `base` (tags copied from the input) with every key that `over` names
// replaced by `over`'s values; an empty value in `over` removes the key.
Tags overrideTags(const Tags& base, const Tags& over);

}  // namespace qmz
