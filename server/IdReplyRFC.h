// IdReplyRFC: the three-digit reply of RFC-style line protocols ("250-first",
// "250 last") and the reply-text table with the built-in texts per hundred.
// The only reply kind the command server creates.
#pragma once

#include <cstdint>
#include <string_view>

#include "server/IdReply.h"

class TIdReplyRFC : public TIdReply {
public:
    using TIdReply::TIdReply;

    // The item kind that makes TIdReplyRFC replies.
    static TIdReplyKind Kind();

    // From another RFC reply: the numeric code, then the text. A source
    // without a code thus raises on "0" and leaves this reply unchanged.
    void Assign(const TIdReply& source) override;
    // Empty or blank, or a decimal value in 100..999.
    bool IsValidCode(std::string_view code) const override;
    void FormatTo(TStrings& lines) const override;
    void ParseFormattedLines(const TStrings& lines) override;
    bool IsLastLine(std::string_view line) const override;
    [[noreturn]] void RaiseAsError() const override;
    bool HasContent() const override;
};

class TIdRepliesRFC : public TIdReplies {
public:
    TIdRepliesRFC();

    // For an empty text: the entry with the exact code, then the entry for the
    // code's hundred, then the built-in text of that hundred.
    void FillDefaultText(TIdReply& reply) const override;
};
