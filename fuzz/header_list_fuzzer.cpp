// Fuzz target for the header list (TIdHeaderList): arbitrary header lines
// (the input split at LF) under each separator and case setting. Names,
// values and lookups are compared with a plain reading of the rules, a found
// name always belongs to the line found, and no lookup ever raises.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "base/IdGlobal.h"
#include "proxy/IdHeaderList.h"

namespace {

bool Blank(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string Trim(std::string_view text) {
    while (!text.empty() && Blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && Blank(text.back())) {
        text.remove_suffix(1);
    }
    return std::string(text);
}

std::string Upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

// The rules of the list, written from scratch over plain vectors.
class Reference {
public:
    Reference(std::vector<std::string> lines, std::string separator, bool matchCase, bool join)
        : lines_(std::move(lines)), matchCase_(matchCase), join_(join) {
        while (!separator.empty() && Blank(separator.back())) {
            separator.pop_back();
        }
        separator_ = std::move(separator);
        for (const std::string& line : lines_) {
            const std::string shown = matchCase_ ? line : Upper(line);
            const size_t position = separator_.empty() ? std::string::npos : shown.find(separator_);
            hasSeparator_.push_back(position != std::string::npos);
            names_.push_back(position == std::string::npos ? std::string() : shown.substr(0, position));
            foldedNames_.push_back(Upper(names_.back()));
        }
    }

    bool HasSeparator(size_t i) const { return hasSeparator_[i]; }
    const std::string& Name(size_t i) const { return names_[i]; }

    std::string Value(int index) const {
        if (index < 0 || static_cast<size_t>(index) >= lines_.size()) {
            return {};
        }
        const auto i = static_cast<size_t>(index);
        const std::string& line = lines_[i];
        // Joining "trimmed value, blank, trimmed next line" step by step
        // comes down to the non-empty trimmed pieces joined by one blank.
        std::string value = Trim(line.substr(std::min(Name(i).size() + 1, line.size())));
        for (size_t next = i + 1; join_ && next < lines_.size(); ++next) {
            const std::string& more = lines_[next];
            if (more.empty() || (more[0] != ' ' && more[0] != '\t')) {
                break;
            }
            const std::string piece = Trim(more);
            if (!piece.empty()) {
                value += (value.empty() ? "" : " ") + piece;
            }
        }
        return value;
    }

    int Find(std::string_view name) const {
        const std::string folded = Upper(std::string(name));
        for (size_t i = 0; i < lines_.size(); ++i) {
            if (hasSeparator_[i] && foldedNames_[i] == folded) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }

private:
    std::vector<std::string> lines_;
    std::string separator_;
    bool matchCase_;
    bool join_;
    std::vector<bool> hasSeparator_;
    std::vector<std::string> names_;        // as LineName shows them
    std::vector<std::string> foldedNames_;  // upper case, for lookups
};

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = std::min(text.find('\n', start), text.size());
        lines.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ByteReader reader(data, size);
    const uint8_t settings = reader.Byte();
    TIdHeaderList list;
    switch ((settings >> 2) & 3) {
        case 0:
            break;
        case 1:
            list.SetPairSeparator(":");
            break;
        case 2:
            list.SetPairSeparator(reader.ShortText(3));
            break;
        default:
            list.SetPairSeparator(" : \t");
            break;
    }
    list.SetMatchCase((settings & 1) != 0);
    list.SetJoinContinuations((settings & 2) == 0);
    const std::string extraName = reader.ShortText(8);
    const std::vector<std::string> lines = SplitLines(reader.Rest());
    for (const std::string& line : lines) {
        list.Add(line);
    }
    const Reference reference(lines, list.PairSeparator(), list.MatchCase(), list.JoinContinuations());
    const std::string setup = "separator \"" + fuzz::Escaped(list.PairSeparator()) + "\" matchCase " +
                              std::to_string(list.MatchCase()) + " join " +
                              std::to_string(list.JoinContinuations());

    const int count = list.Count();
    for (int i = -2; i < count + 2; ++i) {
        // A value runs over all its continuation lines, so checking every
        // index of a long block is quadratic: long blocks are sampled.
        if (count > 256 && i >= 128 && i < count - 64 && i % 16 != 0) {
            continue;
        }
        const std::string context =
            setup + " line " + std::to_string(i) +
            (i >= 0 && i < count ? " \"" + fuzz::Escaped(lines[static_cast<size_t>(i)]) + "\"" : "");
        const std::string value = list.LineValue(i);
        FUZZ_CHECK(value == reference.Value(i), context + " value \"" + fuzz::Escaped(value) + "\"");
        FUZZ_CHECK(value.empty() || (!Blank(value.front()) && !Blank(value.back())), context);
        if (i < 0 || i >= count) {
            FUZZ_CHECK(value.empty() && list.LineName(i).empty(), context);
            continue;
        }
        const std::string name = list.LineName(i);
        FUZZ_CHECK(name == reference.Name(static_cast<size_t>(i)), context + " name \"" + fuzz::Escaped(name) + "\"");
    }

    // Lookups by the names the lines carry (as given and in other cases), by
    // their neighbours and by a free text; the quadratic part stays bounded.
    std::vector<std::string> names{extraName, "", "Content-Length", "Proxy-Authorization"};
    for (int i = 0; i < std::min(count, 48); ++i) {
        std::string name = list.LineName(i);
        names.push_back(name);
        for (char& c : name) {
            if (c >= 'A' && c <= 'Z') {
                c = static_cast<char>(c - 'A' + 'a');
            }
        }
        names.push_back(name);
        names.push_back(name + " ");
        if (!name.empty()) {
            names.push_back(name.substr(1));
        }
    }
    for (const std::string& name : names) {
        const std::string context = setup + " name \"" + fuzz::Escaped(name) + "\"";
        const int found = list.FindName(name);
        FUZZ_CHECK(found == reference.Find(name), context + " found " + std::to_string(found));
        if (found >= 0) {
            FUZZ_CHECK(EqualIgnoringCase(list.LineName(found), name), context);
        }
        std::string value;
        try {
            value = list.ValueOf(name);
        } catch (...) {
            FUZZ_CHECK(false, context + ": ValueOf raised");
        }
        FUZZ_CHECK(value == list.LineValue(found), context);
    }
    return 0;
}
