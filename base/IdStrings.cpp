// IdStrings: the zero-based string list behind header blocks, reply texts
// and command parameters. Index errors raise rather than touch memory,
// because indexes often come from counts computed over peer input.
#include "base/IdStrings.h"

#include "base/IdException.h"

namespace {

[[noreturn]] void ThrowIndexError(int index) {
    throw EIdRangeException(FormatText("List index out of bounds (%d)", index));
}

}  // namespace

const std::string& TStrings::operator[](int index) const {
    if (index < 0 || index >= Count()) {
        ThrowIndexError(index);
    }
    return lines_[static_cast<size_t>(index)];
}

std::string& TStrings::operator[](int index) {
    if (index < 0 || index >= Count()) {
        ThrowIndexError(index);
    }
    return lines_[static_cast<size_t>(index)];
}

void TStrings::Insert(int index, std::string line) {
    // Inserting at Count appends.
    if (index < 0 || index > Count()) {
        ThrowIndexError(index);
    }
    lines_.insert(lines_.begin() + index, std::move(line));
}

void TStrings::Delete(int index) {
    if (index < 0 || index >= Count()) {
        ThrowIndexError(index);
    }
    lines_.erase(lines_.begin() + index);
}

void TStrings::SetText(std::string_view text) {
    lines_.clear();
    size_t pos = 0;
    // A break at the very end closes the last line; it does not open an
    // empty one.
    while (pos < text.size()) {
        size_t end = pos;
        while (end < text.size() && text[end] != '\r' && text[end] != '\n') {
            ++end;
        }
        lines_.emplace_back(text.substr(pos, end - pos));
        if (end < text.size()) {
            const bool carriageReturn = text[end] == '\r';
            ++end;
            if (carriageReturn && end < text.size() && text[end] == '\n') {
                ++end;
            }
        }
        pos = end;
    }
}

std::string TStrings::Text() const {
    size_t total = 0;
    for (const std::string& line : lines_) {
        total += line.size() + 2;
    }
    std::string result;
    result.reserve(total);
    for (const std::string& line : lines_) {
        result += line;
        result += "\r\n";
    }
    return result;
}

int TStrings::IndexOf(std::string_view line) const {
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i] == line) {
            return static_cast<int>(i);
        }
    }
    return -1;
}
