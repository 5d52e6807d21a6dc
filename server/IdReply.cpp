// IdReply: code validation, duplicate detection within a reply-text table,
// and the table itself. Formatting and parsing of the wire form live in the
// reply kinds.
#include "server/IdReply.h"

#include <limits>
#include <string>
#include <utility>

#include "base/IdException.h"

namespace {

void CheckIndex(int index, int count) {
    if (index < 0 || index >= count) {
        throw EIdRangeException("List index out of bounds (" + std::to_string(index) + ")");
    }
}

}  // namespace

void TIdReply::SetCode(std::string_view code) {
    if (code == code_) {
        return;
    }
    if (!IsValidCode(code)) {
        throw EIdException("Reply Code is not valid: " + std::string(code));
    }
    if (collection_ != nullptr && collection_->FindByCode(code, this) != nullptr) {
        throw EIdException("Reply already exists for " + std::string(code));
    }
    // Copied before Clear: code may view this reply's own storage.
    std::string newCode(code);
    Clear();
    code_ = std::move(newCode);
}

// Deliberately not TextToIntDef: its hexadecimal prefixes and trimming would
// let "$100" pass as the code 256 and " 200" as 200.
int32_t TIdReply::CodeValue(std::string_view code) noexcept {
    size_t pos = 0;
    bool negative = false;
    if (pos < code.size() && (code[pos] == '+' || code[pos] == '-')) {
        negative = code[pos] == '-';
        ++pos;
    }
    if (pos == code.size()) {
        return 0;
    }
    int64_t value = 0;
    for (; pos < code.size(); ++pos) {
        const char c = code[pos];
        if (c < '0' || c > '9') {
            return 0;
        }
        value = value * 10 + (c - '0');
        if (value > static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 1) {
            return 0;
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > std::numeric_limits<int32_t>::max()) {
        return 0;
    }
    return static_cast<int32_t>(value);
}

void TIdReply::SetNumericCode(int32_t code) {
    SetCode(std::to_string(code));
}

const TStrings& TIdReply::FormattedLines() {
    FormatTo(formatted_);
    return formatted_;
}

void TIdReply::FormatTo(TStrings& lines) const {
    lines.Clear();
}

bool TIdReply::IsValidCode(std::string_view /*code*/) const {
    return true;
}

void TIdReply::Clear() {
    text_.Clear();
    code_.clear();
}

bool TIdReply::IsLastLine(std::string_view /*line*/) const {
    return false;
}

bool TIdReply::HasContent() const {
    return !code_.empty();
}

void TIdReply::SetFromNumberAndText(int32_t code, std::string_view text) {
    SetCodeAndText(std::to_string(code), text);
}

void TIdReply::SetCodeAndText(std::string_view code, std::string_view text) {
    // text may view this reply's own lines, which SetCode is about to clear.
    const std::string newText(text);
    SetCode(code);
    text_.SetText(newText);
}

void TIdReply::FillDefaultText() {
    if (replyTexts_ != nullptr) {
        replyTexts_->FillDefaultText(*this);
    }
}

void TIdReply::Assign(const TIdReply& source) {
    if (&source == this) {
        return;
    }
    SetCode(source.Code());
    SetText(source.Text());
}

TIdReplies::TIdReplies(TIdReplyKind itemKind) : itemKind_(std::move(itemKind)) {}

TIdReplies::~TIdReplies() = default;

TIdReply& TIdReplies::Add() {
    std::unique_ptr<TIdReply> item = itemKind_(this);
    item->replyTexts_ = this;
    item->collection_ = this;
    items_.push_back(std::move(item));
    return *items_.back();
}

TIdReply& TIdReplies::Items(int index) {
    CheckIndex(index, Count());
    return *items_[static_cast<size_t>(index)];
}

const TIdReply& TIdReplies::Items(int index) const {
    CheckIndex(index, Count());
    return *items_[static_cast<size_t>(index)];
}

const TIdReply* TIdReplies::FindByCode(std::string_view code, const TIdReply* skip) const {
    if (code.empty()) {
        return nullptr;
    }
    for (const std::unique_ptr<TIdReply>& item : items_) {
        if (item.get() != skip && item->Code() == code) {
            return item.get();
        }
    }
    return nullptr;
}

void TIdReplies::FillDefaultText(TIdReply& /*reply*/) const {}
