// ProfileReader: the one private-profile parser of the shell, the same on
// every platform. Lines end in LF, CR LF or CR; "[name]" opens a section;
// "key=value" lines belong to the section above them; lines starting with
// ";" or "#" and lines without "=" are skipped.
#include "app/ProfileReader.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "base/IdGlobal.h"

namespace {

std::string_view TrimBlanks(std::string_view text) {
    constexpr std::string_view Blanks = " \t";
    const size_t first = text.find_first_not_of(Blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    const size_t last = text.find_last_not_of(Blanks);
    return text.substr(first, last - first + 1);
}

}  // namespace

TProfileReader::TProfileReader(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        readable_ = false;
        return;
    }
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    Parse(text);
}

TProfileReader TProfileReader::FromText(std::string_view text) {
    TProfileReader reader;
    reader.Parse(text);
    return reader;
}

void TProfileReader::Parse(std::string_view text) {
    // Notepad saves UTF-8 files with a byte-order mark in front.
    constexpr std::string_view Utf8Bom = "\xEF\xBB\xBF";
    if (text.substr(0, Utf8Bom.size()) == Utf8Bom) {
        text.remove_prefix(Utf8Bom.size());
    }

    std::string section;
    bool inSection = false;
    while (!text.empty()) {
        // A lone CR ends a line as well (old Mac files, hand edits); were it
        // kept, it would end up inside a value. CR LF thus leaves an empty
        // line behind, which is skipped like any blank line.
        const size_t lineEnd = text.find_first_of("\r\n");
        std::string_view line = text.substr(0, lineEnd);
        text = lineEnd == std::string_view::npos ? std::string_view{} : text.substr(lineEnd + 1);
        line = TrimBlanks(line);
        if (line.empty() || line.front() == ';' || line.front() == '#') {
            continue;
        }
        if (line.front() == '[') {
            // An unclosed bracket still names a section, up to the line end.
            const size_t close = line.find(']');
            section = std::string(TrimBlanks(line.substr(1, close == std::string_view::npos
                                                                ? std::string_view::npos
                                                                : close - 1)));
            inSection = true;
            continue;
        }
        const size_t equals = line.find('=');
        if (!inSection || equals == std::string_view::npos) {
            continue;
        }
        const std::string_view key = TrimBlanks(line.substr(0, equals));
        if (key.empty()) {
            continue;
        }
        const std::string_view value = TrimBlanks(line.substr(equals + 1));
        entries_.push_back(TEntry{section, std::string(key),
                                  std::string(value.substr(0, MaxValueLength))});
    }
}

std::string TProfileReader::ReadString(std::string_view section, std::string_view key) const {
    // A section named twice reads as one: its entries are searched in file
    // order, so the first of duplicate keys wins across both parts as well.
    for (const TEntry& entry : entries_) {
        if (EqualIgnoringCase(entry.section, section) && EqualIgnoringCase(entry.key, key)) {
            return entry.value;
        }
    }
    return {};
}

bool ProfileFileExists(const std::string& path) {
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    return !error && std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}
