// IdReply: the numeric reply of a line-command server (a code plus text
// lines) and the reply-text table that supplies texts for replies that carry
// a code but no text. The wire form itself belongs to the reply kinds
// (IdReplyRFC); this unit holds the rules every kind shares.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/IdStrings.h"

class TIdReplies;
class TIdReply;

// Makes a reply of one kind bound to the given table (which may be null);
// servers and tables keep one of these instead of a class reference.
using TIdReplyKind = std::function<std::unique_ptr<TIdReply>(TIdReplies* replyTexts)>;

// Not thread-safe: a reply read by several threads at once must only be
// formatted through FormatTo (const), never through FormattedLines.
class TIdReply {
public:
    // The table, when given, must outlive the reply; it is never owned.
    explicit TIdReply(TIdReplies* replyTexts = nullptr) noexcept : replyTexts_(replyTexts) {}
    virtual ~TIdReply() = default;
    TIdReply(const TIdReply&) = delete;
    TIdReply& operator=(const TIdReply&) = delete;

    const std::string& Code() const noexcept { return code_; }
    // Equal value: no-op. Otherwise validates, rejects a code another entry
    // of the owning table already has, then clears the reply and stores it.
    // On an error the reply keeps its code and text.
    void SetCode(std::string_view code);
    // Code read as a decimal integer; 0 when it is not one (or empty).
    int32_t CodeNumber() const noexcept { return CodeValue(code_); }
    // Decimal value of any code text by the rules of CodeNumber: an optional
    // sign and digits only, 0 for anything else or on overflow.
    static int32_t CodeValue(std::string_view code) noexcept;
    void SetNumericCode(int32_t code);

    TStrings& Text() noexcept { return text_; }
    const TStrings& Text() const noexcept { return text_; }
    void SetText(const TStrings& text) { text_.Assign(text); }

    // Rebuilds the reply's own list of wire lines and returns it; the
    // reference stays valid until the next call or the reply's end.
    const TStrings& FormattedLines();
    // The wire lines written into a caller's list, leaving the reply alone.
    virtual void FormatTo(TStrings& lines) const;

    virtual bool IsValidCode(std::string_view code) const;
    virtual void ParseFormattedLines(const TStrings& lines) = 0;
    virtual void Clear();
    virtual bool IsLastLine(std::string_view line) const;
    [[noreturn]] virtual void RaiseAsError() const = 0;
    virtual bool HasContent() const;
    virtual void SetFromNumberAndText(int32_t code, std::string_view text);
    // Sets Code (which clears the text unless the code is unchanged), then
    // replaces Text with text split at CR LF, LF or CR.
    virtual void SetCodeAndText(std::string_view code, std::string_view text);

    // Fills an empty text from the bound table; unbound replies stay as they are.
    void FillDefaultText();

    // Copies code and text; the destination's table binding is kept.
    virtual void Assign(const TIdReply& source);

    TIdReplies* ReplyTexts() const noexcept { return replyTexts_; }
    // The table holding this reply as an entry, or null for a reply that is
    // only bound to a table (the server's default replies are such).
    TIdReplies* Collection() const noexcept { return collection_; }

private:
    friend class TIdReplies;

    std::string code_;
    TStrings text_;
    TStrings formatted_;
    TIdReplies* replyTexts_;
    TIdReplies* collection_ = nullptr;
};

// Owns its entries; the entries are of the table's item kind. Only changed
// before the owning server starts, read-only (and so shareable) afterwards.
class TIdReplies {
public:
    explicit TIdReplies(TIdReplyKind itemKind);
    virtual ~TIdReplies();
    TIdReplies(const TIdReplies&) = delete;
    TIdReplies& operator=(const TIdReplies&) = delete;

    // Appends a new empty entry of the item kind, bound to this table.
    TIdReply& Add();
    int Count() const noexcept { return static_cast<int>(items_.size()); }
    // Index outside the table raises EIdRangeException.
    TIdReply& Items(int index);
    const TIdReply& Items(int index) const;
    const TIdReplyKind& ItemKind() const noexcept { return itemKind_; }

    // First entry, in table order, whose Code equals code exactly and which is
    // not skip; null for an empty code.
    virtual const TIdReply* FindByCode(std::string_view code,
                                       const TIdReply* skip = nullptr) const;
    // Base table: no defaults.
    virtual void FillDefaultText(TIdReply& reply) const;

private:
    TIdReplyKind itemKind_;
    std::vector<std::unique_ptr<TIdReply>> items_;
};
