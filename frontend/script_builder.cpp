#include "script_builder.h"

namespace qmz {
namespace {

struct PresetRow {
    const char* caption;
    const char* option;
    const char* prefix;
};

// The runs of spaces in the captions line the ratios up under the window's
// proportional font; they are part of the captions.
constexpr PresetRow kPresets[kPresetCount] = {
    {"AAA  (3:1)", "-AAA ", "AAA_"}, {"AA    (6:1)", "-AA ", "AA_"}, {"A      (8:1)", "-A ", "A_"},
    {"B     (10:1)", "-B ", "B_"},   {"C    (12:1)", "-C ", "C_"},   {"D    (13:1)", "-D ", "D_"},
    {"E    (15:1)", "-E ", "E_"},
};

struct ClipRow {
    const char* caption;
    const char* option;
};

constexpr ClipRow kClips[kClipCount] = {
    {"Full length of track", "-td -1 "},
    {"30 second test clip", "-td 30 "},
    {"80 second demo clip", "-td 80 "},
};

bool validPreset(int row) {
    return row >= 0 && row < kPresetCount;
}
bool validClip(int row) {
    return row >= 0 && row < kClipCount;
}

char separatorOf(ScriptStyle style) {
    return style == ScriptStyle::windows ? '\\' : '/';
}

const char* lineEndOf(ScriptStyle style) {
    return style == ScriptStyle::windows ? "\r\n" : "\n";
}

char asciiUpper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool batchSafe(std::string_view text) {
    return text.find_first_of("\"\r\n") == std::string_view::npos;
}

}  // namespace

ScriptStyle nativeScriptStyle() {
#ifdef _WIN32
    return ScriptStyle::windows;
#else
    return ScriptStyle::posix;
#endif
}

const char* scriptFileName(ScriptStyle style) {
    return style == ScriptStyle::windows ? "go.bat" : "go.sh";
}

const char* presetCaption(int row) {
    return validPreset(row) ? kPresets[row].caption : "";
}
const char* presetOptionText(int row) {
    return validPreset(row) ? kPresets[row].option : "";
}
const char* presetNamePrefix(int row) {
    return validPreset(row) ? kPresets[row].prefix : "";
}
const char* clipCaption(int row) {
    return validClip(row) ? kClips[row].caption : "";
}
const char* clipOptionText(int row) {
    return validClip(row) ? kClips[row].option : "";
}

// The match is made on the name in capitals (ASCII letters only, so byte
// positions stay those of the name), the stem is cut from the name itself.
std::string wavStem(std::string_view name) {
    static constexpr std::string_view kExt = ".WAV";
    for (std::size_t i = 0; i + kExt.size() <= name.size(); ++i) {
        std::size_t k = 0;
        while (k < kExt.size() && asciiUpper(name[i + k]) == kExt[k]) ++k;
        if (k == kExt.size()) return std::string(name.substr(0, i + 1));
    }
    return {};
}

std::string joinPath(std::string_view dir, std::string_view name, ScriptStyle style) {
    const char sep = separatorOf(style);
    std::string path(dir);
    if (path.empty() || path.back() != sep) path += sep;
    path += name;
    return path;
}

// POSIX: inside single quotes the shell expands nothing; a quote itself is
// closed, escaped and reopened. Windows: inside double quotes cmd still
// expands %VAR%, so every % is doubled; the caller has refused names with
// characters that cannot be quoted at all.
std::string quoteArgument(std::string_view path, ScriptStyle style) {
    std::string out;
    out.reserve(path.size() + 8);
    if (style == ScriptStyle::posix) {
        out += '\'';
        for (char c : path) {
            if (c == '\'')
                out += "'\\''";
            else
                out += c;
        }
        out += '\'';
    } else {
        out += '"';
        for (char c : path) {
            out += c;
            if (c == '%') out += '%';
        }
        out += '"';
    }
    return out;
}

std::vector<BatchItem> batchItems(const ScriptRequest& request) {
    const ScriptStyle style = request.style;
    const std::string prefix = presetNamePrefix(request.presetRow);
    std::vector<BatchItem> items;
    items.reserve(request.names.size());
    for (const std::string& name : request.names) {
        items.push_back({name, joinPath(request.sourcePath, name, style),
                         joinPath(request.destPath, prefix + wavStem(name) + "qmz", style),
                         joinPath(request.destPath, prefix + name, style)});
    }
    return items;
}

std::vector<std::vector<std::size_t>> sharedOutputs(const std::vector<BatchItem>& items,
                                                    ScriptStyle style) {
    auto key = [style](const std::string& path) {
        std::string k = path;
        if (style == ScriptStyle::windows) {
            for (char& c : k) c = asciiUpper(c);
        }
        return k;
    };
    std::vector<std::vector<std::size_t>> groups;
    std::vector<bool> grouped(items.size(), false);
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (grouped[i]) continue;
        std::vector<std::size_t> group{i};
        const std::string k = key(items[i].encoded);
        for (std::size_t j = i + 1; j < items.size(); ++j) {
            if (!grouped[j] && key(items[j].encoded) == k) {
                group.push_back(j);
                grouped[j] = true;
            }
        }
        if (group.size() > 1) groups.push_back(std::move(group));
    }
    return groups;
}

ScriptResult buildScript(const ScriptRequest& request) {
    const ScriptStyle style = request.style;
    if (style == ScriptStyle::windows) {
        bool safe = batchSafe(request.sourcePath) && batchSafe(request.destPath);
        for (const std::string& name : request.names) safe = safe && batchSafe(name);
        if (!safe) return {ScriptError::unquotableInBatch, {}};
    }
    const std::string options =
        std::string(presetOptionText(request.presetRow)) + clipOptionText(request.clipRow);
    const char* eol = lineEndOf(style);

    ScriptResult result;
    for (const BatchItem& item : batchItems(request)) {
        const std::string source = quoteArgument(item.source, style);
        const std::string encoded = quoteArgument(item.encoded, style);
        const std::string decoded = quoteArgument(item.decoded, style);
        result.text += "qmzenc " + source + " " + encoded + " " + options + eol;
        result.text += "qmzdec " + encoded + " " + decoded + " " + eol;
    }
    return result;
}

}  // namespace qmz
