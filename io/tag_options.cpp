#include "io/tag_options.h"

#include <algorithm>
#include <string_view>

namespace qmz {
namespace {

struct NamedOption {
    const char* option;
    const char* key;
};

constexpr NamedOption kNamedOptions[] = {
    {"--title", "TITLE"}, {"--artist", "ARTIST"}, {"--album", "ALBUM"},
    {"--date", "DATE"},   {"--track", "TRACKNUMBER"}, {"--genre", "GENRE"},
    {"--comment", "COMMENT"},
};

std::string upperCase(std::string_view key) {
    std::string upper(key);
    for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return upper;
}

// Checks one field and adds it; the problem in words, or empty.
std::string addField(std::string_view key, std::string_view value, const std::string& argument,
                     Tags& tags) {
    if (!isValidTagKey(key))
        return "bad tag key in \"" + argument +
               "\" (printable ASCII without '=', not empty)";
    if (!isValidUtf8(value)) return "the value of " + argument + " is not UTF-8 text";
    tags.fields.emplace_back(upperCase(key), std::string(value));
    return {};
}

}  // namespace

TagOptions extractTagOptions(const std::vector<std::string>& arguments) {
    TagOptions result;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const NamedOption* named = nullptr;
        for (const NamedOption& n : kNamedOptions)
            if (argument == n.option) named = &n;
        if (named == nullptr && argument != "--tag") {
            result.rest.push_back(argument);
            continue;
        }
        if (i + 1 >= arguments.size()) {
            if (result.error.empty()) result.error = argument + " needs a value";
            continue;
        }
        const std::string& value = arguments[++i];
        std::string problem;
        if (named != nullptr) {
            problem = addField(named->key, value, argument, result.tags);
        } else {
            const std::size_t equals = value.find('=');
            problem = equals == std::string::npos
                          ? "--tag " + value + ": expected KEY=VALUE"
                          : addField(std::string_view(value).substr(0, equals),
                                     std::string_view(value).substr(equals + 1),
                                     "--tag " + value, result.tags);
        }
        if (result.error.empty()) result.error = problem;
    }
    return result;
}

Tags overrideTags(const Tags& base, const Tags& over) {
    Tags merged = over;
    merged.fields.clear();
    for (const auto& field : base.fields) {
        if (over.find(field.first) == nullptr) merged.fields.push_back(field);
    }
    for (const auto& field : over.fields) {
        if (!field.second.empty()) merged.fields.push_back(field);
    }
    if (!merged.picture) merged.picture = base.picture;
    return merged;
}

}  // namespace qmz
