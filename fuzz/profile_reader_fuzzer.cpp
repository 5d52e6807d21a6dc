// Fuzz target for the settings file reader (TProfileReader): any file
// content parses; every value read is at most 2047 characters without CR or
// LF; lookups equal a plain reading of the format; and a "Key=Value" line
// placed in a section among fuzz lines reads back as the first value of that
// key. Some inputs also go through a real file to cover the path reader.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "app/ProfileReader.h"
#include "fuzz/FuzzSupport.h"

namespace {

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        const auto fold = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; };
        if (fold(a[i]) != fold(b[i])) {
            return false;
        }
    }
    return true;
}

struct Entry {
    std::string section, key, value;
};

// The format as the reader documents it: lines end at LF, CR LF or a lone
// CR; a UTF-8 byte-order mark in front is skipped; blank lines and lines
// starting with ";" or "#" are comments; "[name" up to "]" (or the line end)
// opens a section; "key=value" lines inside a section are entries, blanks
// (space, tab) around names and values dropped, values cut to 2047.
std::vector<Entry> ReferenceParse(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    std::vector<Entry> entries;
    std::string section;
    bool inSection = false;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view line = TrimBlanks(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == ';' || line[0] == '#') {
            continue;
        }
        if (line[0] == '[') {
            const size_t close = line.find(']');
            section = std::string(TrimBlanks(close == std::string_view::npos ? line.substr(1)
                                                                           : line.substr(1, close - 1)));
            inSection = true;
            continue;
        }
        const size_t equals = line.find('=');
        if (!inSection || equals == std::string_view::npos || TrimBlanks(line.substr(0, equals)).empty()) {
            continue;
        }
        entries.push_back(Entry{section, std::string(TrimBlanks(line.substr(0, equals))),
                                std::string(TrimBlanks(line.substr(equals + 1)).substr(0, 2047))});
    }
    return entries;
}

const std::string* ReferenceLookup(const std::vector<Entry>& entries, std::string_view section,
                                   std::string_view key) {
    for (const Entry& entry : entries) {
        if (SameIgnoringCase(entry.section, section) && SameIgnoringCase(entry.key, key)) {
            return &entry.value;
        }
    }
    return nullptr;
}

void CheckLookup(const TProfileReader& reader, const std::vector<Entry>& entries, std::string_view section,
                 std::string_view key, const std::string& content) {
    const std::string value = reader.ReadString(section, key);
    const std::string* expected = ReferenceLookup(entries, section, key);
    const auto context = [&] {
        return "file \"" + fuzz::Escaped(content) + "\" [" + fuzz::Escaped(section) + "] " + fuzz::Escaped(key) +
               " -> \"" + fuzz::Escaped(value) + "\"";
    };
    FUZZ_CHECK(value.size() <= TProfileReader::MaxValueLength, context());
    FUZZ_CHECK(value.find_first_of("\r\n") == std::string::npos, context());
    FUZZ_CHECK(value == (expected != nullptr ? *expected : std::string()), context());
}

// A text without the given characters, for names and values of a line.
std::string Without(std::string text, std::string_view banned) {
    std::erase_if(text, [banned](char c) { return banned.find(c) != std::string_view::npos; });
    return text;
}

std::string TempPath() {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/vtl-profile-fuzz-" +
           std::to_string(getpid()) + ".ini";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ByteReader reader(data, size);
    const uint8_t mode = reader.Byte();
    std::string section = Without(reader.ShortText(16), "\r\n]");
    std::string key = Without(reader.ShortText(16), "\r\n=");
    // A key must not read as a comment or a section line.
    while (!key.empty() && (key[0] == ';' || key[0] == '#' || key[0] == '[' || key[0] == ' ' || key[0] == '\t')) {
        key.erase(0, 1);
    }
    if (TrimBlanks(key).empty()) {
        key = "Key";
    }
    std::string value = Without(reader.Text(reader.Byte() * ((mode & 0x80) != 0 ? 16 : 1)), "\r\n");
    const std::string lineEnd = (mode & 1) != 0 ? "\r\n" : "\n";
    const std::string rest = reader.Rest();
    const std::string prefix = rest.substr(0, rest.size() / 2);
    const std::string suffix = rest.substr(rest.size() / 2);

    // 1. The fuzz bytes as a whole file.
    const std::string raw(reinterpret_cast<const char*>(data), size);
    const TProfileReader plain = TProfileReader::FromText(raw);
    const std::vector<Entry> plainEntries = ReferenceParse(raw);
    for (size_t i = 0; i < plainEntries.size() && i < 64; ++i) {
        CheckLookup(plain, plainEntries, plainEntries[i].section, plainEntries[i].key, raw);
    }
    CheckLookup(plain, plainEntries, section, key, raw);

    // 2. A key placed on its own line in its section between fuzz lines.
    const std::string content =
        prefix + lineEnd + "[" + section + "]" + lineEnd + key + "=" + value + lineEnd + suffix;
    const TProfileReader placed = TProfileReader::FromText(content);
    const std::vector<Entry> placedEntries = ReferenceParse(content);
    const std::string placedSection(TrimBlanks(section));
    const std::string placedKey(TrimBlanks(key));
    CheckLookup(placed, placedEntries, placedSection, placedKey, content);
    if (ReferenceLookup(ReferenceParse(prefix), placedSection, placedKey) == nullptr) {
        const std::string expected(TrimBlanks(value).substr(0, TProfileReader::MaxValueLength));
        FUZZ_CHECK(placed.ReadString(placedSection, placedKey) == expected,
                   "file \"" + fuzz::Escaped(content) + "\" key \"" + fuzz::Escaped(placedKey) + "\"");
    }

    // 3. Now and then the same content through a file on disk.
    if ((mode & 6) == 6) {
        static const std::string path = TempPath();
        {
            std::ofstream file(path, std::ios::binary | std::ios::trunc);
            file.write(content.data(), static_cast<std::streamsize>(content.size()));
        }
        const TProfileReader fromFile(path);
        std::remove(path.c_str());
        CheckLookup(fromFile, placedEntries, placedSection, placedKey, content);
        for (size_t i = 0; i < placedEntries.size() && i < 16; ++i) {
            CheckLookup(fromFile, placedEntries, placedEntries[i].section, placedEntries[i].key, content);
        }
    }
    return 0;
}
