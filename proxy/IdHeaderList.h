// IdHeaderList: the header block of one HTTP message, kept as the raw lines
// that arrived so the proxy can forward them unchanged, with name/value
// lookup (case-insensitive names, continuation lines joined).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/IdStrings.h"

class TIdHeaderList : public TStringList {
public:
    TIdHeaderList();

    const std::string& PairSeparator() const noexcept { return pairSeparator_; }
    void SetPairSeparator(std::string separator);
    bool MatchCase() const noexcept { return matchCase_; }
    void SetMatchCase(bool matchCase) noexcept { matchCase_ = matchCase; }
    bool JoinContinuations() const noexcept { return joinContinuations_; }
    void SetJoinContinuations(bool join) noexcept { joinContinuations_ = join; }
    // Folding applies only when headers are built through the list, which
    // nothing does; kept so settings round-trip.
    bool FoldLines() const noexcept { return foldLines_; }
    void SetFoldLines(bool fold) noexcept { foldLines_ = fold; }
    int32_t FoldLength() const noexcept { return foldLength_; }
    void SetFoldLength(int32_t length) noexcept { foldLength_ = length; }

    // Text before the separator, upper-cased unless MatchCase; "" for a line
    // without separator or an index outside the list.
    std::string LineName(int index) const;
    // Value of the line with its continuation lines joined, trimmed; "" for
    // an index outside the list.
    std::string LineValue(int index) const;
    // First line whose name equals name ignoring case, -1 if none. Lines
    // without a separator are never found.
    int FindName(std::string_view name) const;
    std::string ValueOf(std::string_view name) const;

private:
    // 0-based offset of the separator in line, -1 when absent.
    int SeparatorOffset(const std::string& line) const;

    std::string pairSeparator_;
    // The separator as searched for: trailing blanks dropped, so ": " and
    // ":" behave alike.
    std::string searchSeparator_;
    // Upper-casing a line changes only ASCII letters, so a separator
    // without letters is found at the same place in the raw line.
    bool separatorHasLetters_ = false;
    bool matchCase_ = false;
    bool joinContinuations_ = true;
    bool foldLines_ = true;
    int32_t foldLength_ = 78;
};
