// IdReplyRFC: wire form, parsing and error raising of the three-digit reply,
// and the default texts the command server falls back on.
#include "server/IdReplyRFC.h"

#include <memory>
#include <string>

#include "base/IdException.h"
#include "base/IdGlobal.h"

TIdReplyKind TIdReplyRFC::Kind() {
    return [](TIdReplies* replyTexts) -> std::unique_ptr<TIdReply> {
        return std::make_unique<TIdReplyRFC>(replyTexts);
    };
}

void TIdReplyRFC::Assign(const TIdReply& source) {
    const auto* rfcSource = dynamic_cast<const TIdReplyRFC*>(&source);
    if (rfcSource == nullptr) {
        TIdReply::Assign(source);
        return;
    }
    if (rfcSource == this) {
        return;
    }
    // Through the number, so "0200" arrives as "200".
    SetNumericCode(rfcSource->CodeNumber());
    SetText(rfcSource->Text());
}

bool TIdReplyRFC::IsValidCode(std::string_view code) const {
    if (TrimText(code).empty()) {
        return true;
    }
    const int32_t value = CodeValue(code);
    return value >= 100 && value <= 999;
}

void TIdReplyRFC::FormatTo(TStrings& lines) const {
    lines.Clear();
    const int32_t number = CodeNumber();
    if (number <= 0) {
        for (const std::string& line : Text()) {
            lines.Add(line);
        }
        return;
    }
    const std::string code = std::to_string(number);
    const int count = Text().Count();
    if (count == 0) {
        lines.Add(code);
        return;
    }
    for (int i = 0; i < count; ++i) {
        const char separator = i + 1 < count ? '-' : ' ';
        lines.Add(code + separator + Text()[i]);
    }
}

void TIdReplyRFC::ParseFormattedLines(const TStrings& lines) {
    Clear();
    if (lines.Empty()) {
        return;
    }
    SetCode(TrimText(std::string_view(lines[0]).substr(0, 3)));
    for (const std::string& line : lines) {
        Text().Add(line.size() > 4 ? line.substr(4) : std::string());
    }
}

bool TIdReplyRFC::IsLastLine(std::string_view line) const {
    return line.size() < 4 || line[3] == ' ';
}

void TIdReplyRFC::RaiseAsError() const {
    throw EIdReplyRFCError(CodeNumber(), Text().Text());
}

bool TIdReplyRFC::HasContent() const {
    return CodeNumber() >= 1 || !Text().Empty();
}

TIdRepliesRFC::TIdRepliesRFC() : TIdReplies(TIdReplyRFC::Kind()) {}

namespace {

const char* BuiltInText(int32_t hundred) {
    switch (hundred) {
        case 100:
            return "Information";
        case 200:
            return "Ok";
        case 300:
            return "Temporary Error";
        case 400:
            return "Permanent Error";
        case 500:
            return "Unknown Internal Error";
        default:
            return nullptr;
    }
}

}  // namespace

void TIdRepliesRFC::FillDefaultText(TIdReply& reply) const {
    if (reply.Text().Empty()) {
        if (const TIdReply* entry = FindByCode(reply.Code(), &reply)) {
            reply.SetText(entry->Text());
        }
    }
    if (!reply.Text().Empty()) {
        return;
    }
    const int32_t hundred = reply.CodeNumber() / 100 * 100;
    if (const TIdReply* entry = FindByCode(std::to_string(hundred), &reply)) {
        reply.SetText(entry->Text());
    } else if (const char* text = BuiltInText(hundred)) {
        reply.Text().Add(text);
    }
}
