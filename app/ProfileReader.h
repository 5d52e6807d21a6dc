// ProfileReader: a reader of private-profile ("ini") files, the format of
// vtl.ini. The file is parsed once; lookups ignore the letter case of
// section and key names and never fail (a missing entry reads as "").
#pragma once

#include <string>
#include <string_view>
#include <vector>

class TProfileReader {
public:
    // The longest value returned; longer values are cut.
    static constexpr size_t MaxValueLength = 2047;

    // Reads the file at path; a file that cannot be read holds no entries
    // (Readable() tells).
    explicit TProfileReader(const std::string& path);
    bool Readable() const { return readable_; }
    // Parses the given file content.
    static TProfileReader FromText(std::string_view text);

    // The value of key in section: the text after the first "=" with the
    // blanks around it removed, quotes kept; "" when either is missing.
    // Of duplicate keys in a section the first one counts.
    std::string ReadString(std::string_view section, std::string_view key) const;

private:
    TProfileReader() = default;
    void Parse(std::string_view text);

    struct TEntry {
        std::string section;
        std::string key;
        std::string value;
    };
    std::vector<TEntry> entries_;  // in file order
    bool readable_ = true;
};

// True when something of that name exists and is not a directory.
bool ProfileFileExists(const std::string& path);
