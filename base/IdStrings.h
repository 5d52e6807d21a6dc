// IdStrings: the ordered, zero-based list of texts (duplicates allowed) that
// header blocks, reply texts and command parameters are kept in.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class TStrings {
public:
    TStrings() = default;
    virtual ~TStrings() = default;
    TStrings(const TStrings&) = default;
    TStrings& operator=(const TStrings&) = default;
    TStrings(TStrings&&) noexcept = default;
    TStrings& operator=(TStrings&&) noexcept = default;

    int Count() const noexcept { return static_cast<int>(lines_.size()); }
    bool Empty() const noexcept { return lines_.empty(); }
    // Index outside the list raises EIdRangeException ("List index out of bounds (%d)").
    const std::string& operator[](int index) const;
    std::string& operator[](int index);
    int Add(std::string line) {
        lines_.push_back(std::move(line));
        return Count() - 1;
    }
    void Insert(int index, std::string line);
    void Delete(int index);
    void Clear() noexcept { lines_.clear(); }
    void Assign(const TStrings& other) { lines_ = other.lines_; }
    // Replaces the content with text split at CR LF, LF or CR.
    void SetText(std::string_view text);
    // Every line followed by CR LF.
    std::string Text() const;
    int IndexOf(std::string_view line) const;

    const std::vector<std::string>& Lines() const noexcept { return lines_; }
    std::vector<std::string>& Lines() noexcept { return lines_; }
    auto begin() const noexcept { return lines_.begin(); }
    auto end() const noexcept { return lines_.end(); }

private:
    std::vector<std::string> lines_;
};

using TStringList = TStrings;
