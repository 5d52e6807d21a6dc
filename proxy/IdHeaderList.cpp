// IdHeaderList: name/value lookup over the raw header lines of one HTTP
// message. ValueOf runs for every proxied request, so lookups compare the
// name prefix in place instead of upper-casing copies of each line.
#include "proxy/IdHeaderList.h"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "base/IdGlobal.h"

namespace {

bool IsAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// RFC 9112 obsolete line folding: a line that begins with SP or HTAB
// continues the previous header's value.
bool IsContinuation(const std::string& line) {
    return !line.empty() && (line.front() == ' ' || line.front() == '\t');
}

}  // namespace

TIdHeaderList::TIdHeaderList() {
    SetPairSeparator(": ");
}

void TIdHeaderList::SetPairSeparator(std::string separator) {
    pairSeparator_ = std::move(separator);
    std::size_t end = pairSeparator_.size();
    while (end > 0 && static_cast<unsigned char>(pairSeparator_[end - 1]) <= 32) {
        --end;
    }
    searchSeparator_ = pairSeparator_.substr(0, end);
    separatorHasLetters_ =
        std::any_of(searchSeparator_.begin(), searchSeparator_.end(), IsAsciiLetter);
}

int TIdHeaderList::SeparatorOffset(const std::string& line) const {
    int position;
    if (matchCase_ || !separatorHasLetters_) {
        position = FindSubText(searchSeparator_, line);
    } else {
        // Only an exotic separator with letters needs the line in upper case
        // to find it where an upper-cased line would have it.
        position = FindSubText(searchSeparator_, UpperCaseAscii(line));
    }
    return position - 1;
}

std::string TIdHeaderList::LineName(int index) const {
    if (index < 0 || index >= Count()) {
        return {};
    }
    const std::string& line = Lines()[static_cast<std::size_t>(index)];
    const int offset = SeparatorOffset(line);
    if (offset <= 0) {
        return {};
    }
    std::string_view name(line.data(), static_cast<std::size_t>(offset));
    return matchCase_ ? std::string(name) : UpperCaseAscii(name);
}

std::string TIdHeaderList::LineValue(int index) const {
    if (index < 0 || index >= Count()) {
        return {};
    }
    const auto& lines = Lines();
    const std::string& line = lines[static_cast<std::size_t>(index)];
    // The value starts one character past the name, i.e. right after the
    // separator's first character; a line without separator has an empty
    // name and so loses only its first character.
    const std::size_t nameLength = static_cast<std::size_t>(std::max(SeparatorOffset(line), 0));
    const std::size_t start = std::min(nameLength + 1, line.size());
    std::string value = line.substr(start);
    if (joinContinuations_) {
        // Trimming only the end before each join keeps a long run of
        // continuation lines linear (re-trimming the whole value each time
        // made it quadratic); the final TrimText removes the blanks that
        // the start may still carry, so the result is the same.
        for (std::size_t next = static_cast<std::size_t>(index) + 1;
             next < lines.size() && IsContinuation(lines[next]); ++next) {
            while (!value.empty() && static_cast<unsigned char>(value.back()) <= 32) {
                value.pop_back();
            }
            value += ' ';
            value += TrimText(lines[next]);
        }
    }
    return TrimText(value);
}

int TIdHeaderList::FindName(std::string_view name) const {
    const auto& lines = Lines();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const int offset = SeparatorOffset(lines[i]);
        if (offset < 0) {
            continue;
        }
        // Upper-casing the line's name first would not change the outcome
        // of a case-insensitive compare, so the raw prefix is compared.
        if (EqualIgnoringCase(std::string_view(lines[i].data(), static_cast<std::size_t>(offset)),
                              name)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::string TIdHeaderList::ValueOf(std::string_view name) const {
    return LineValue(FindName(name));
}
