// IdCommandHandlers: matching, parameter splitting and the reply paths of
// one command.
#include "server/IdCommandHandlers.h"

#include "base/IdException.h"
#include "base/IdGlobal.h"
#include "server/IdReplyRFC.h"

// --------------------------------------------------------------- TIdCommand

TIdCommand::TIdCommand(TIdCommandHandler& handler, TIdContext& context, const std::string& line,
                       const std::string& paramText)
    : handler_(handler),
      disconnectAfter_(handler.Disconnect()),
      line_(line),
      statusReply_(handler.Collection().MakeReply()),
      context_(context),
      paramText_(paramText) {}

void TIdCommand::FireCommand() {
    if (handler_.OnCommand) {
        handler_.OnCommand(*this);
    }
}

void TIdCommand::SendStatusReply() {
    replyPending_ = false;
    statusReply_->FillDefaultText();
    TStrings lines;
    statusReply_->FormatTo(lines);
    context_.ClientConnection().IOHandler()->WriteLines(lines);
}

// -------------------------------------------------------- TIdCommandHandler

TIdCommandHandler::TIdCommandHandler(TIdCommandHandlers& collection, int32_t id)
    : collection_(collection),
      id_(id),
      normalReply_(collection.MakeReply()),
      exceptionReply_(collection.MakeReply()),
      name_("TIdCommandHandler" + std::to_string(id)) {
    normalReply_->SetNumericCode(200);
}

TIdCommandHandler::~TIdCommandHandler() = default;

bool TIdCommandHandler::TryHandle(const std::string& line, TIdContext& context) {
    const size_t length = command_.size();
    std::string paramText;
    bool matched = false;
    if (EqualIgnoringCase(line, command_)) {
        matched = true;
    } else if (cmdDelimiter_ != '\0') {
        if (line.size() >= length + 1 && EqualIgnoringCase(std::string_view(line).substr(0, length), command_) &&
            EqualIgnoringCase(std::string_view(line).substr(length, 1), std::string_view(&cmdDelimiter_, 1))) {
            matched = true;
            paramText = line.substr(length + 1);
        }
    } else if (line.size() >= length && EqualIgnoringCase(std::string_view(line).substr(0, length), command_)) {
        matched = true;
        paramText = line.substr(length);
    }
    if (matched) {
        RunCommand(line, context, paramText);
    }
    return matched;
}

void TIdCommandHandler::SplitParams(TIdCommand& command, const std::string& paramText, char delimiter) {
    auto add = [&command](std::string piece, size_t start) {
        command.paramList_.Add(std::move(piece));
        command.paramPositions_.push_back(static_cast<int32_t>(start + 1));
    };
    if (delimiter == ' ') {
        // Empty pieces (adjacent, leading or trailing blanks) are dropped;
        // pieces are not trimmed.
        size_t start = 0;
        while (start <= paramText.size()) {
            size_t end = paramText.find(' ', start);
            if (end == std::string::npos) {
                end = paramText.size();
            }
            if (end > start) {
                add(paramText.substr(start, end - start), start);
            }
            start = end + 1;
        }
        return;
    }
    const std::string trimmed = TrimText(paramText);
    if (trimmed.empty()) {
        return;
    }
    const size_t offset = paramText.find(trimmed);
    size_t start = 0;
    while (start <= trimmed.size()) {
        size_t end = trimmed.find(delimiter, start);
        if (end == std::string::npos) {
            end = trimmed.size();
        }
        if (end > start) {
            // The recorded position is where the trimmed piece begins, so it
            // still points at the parameter when blanks preceded it.
            const std::string_view raw = std::string_view(trimmed).substr(start, end - start);
            size_t lead = 0;
            while (lead < raw.size() && static_cast<unsigned char>(raw[lead]) <= 32) {
                ++lead;
            }
            add(TrimText(raw), offset + start + lead);
        }
        start = end + 1;
    }
}

void TIdCommandHandler::RunCommand(const std::string& line, TIdContext& context, const std::string& paramText) {
    auto command = std::make_unique<TIdCommand>(*this, context, line, paramText);
    TIdTCPConnection& connection = context.ClientConnection();
    try {
        if (parseParams_) {
            SplitParams(*command, paramText, paramDelimiter_);
        }
        try {
            command->replyPending_ = true;
            if (command->statusReply_->Code().empty() && !normalReply_->Code().empty()) {
                command->statusReply_->Assign(*normalReply_);
            }
            command->FireCommand();
            if (command->statusReply_->Code().empty()) {
                command->statusReply_->Assign(*normalReply_);
            }
            command->statusReply_->FillDefaultText();
        } catch (const std::exception& error) {
            command->statusReply_->Clear();
            if (!command->replyPending_) {
                throw;
            }
            if (!exceptionReply_->Code().empty()) {
                command->statusReply_->Assign(*exceptionReply_);
            } else if (collection_.ExceptionReply() != nullptr) {
                command->statusReply_->Assign(*collection_.ExceptionReply());
            }
            if (command->statusReply_->Code().empty()) {
                throw;
            }
            command->statusReply_->Text().Clear();
            command->statusReply_->Text().Add(error.what());
            command->SendStatusReply();
        }
        if (command->replyPending_) {
            command->SendStatusReply();
        }
        if (!command->responseLines_.Empty()) {
            connection.WriteResponseLines(command->responseLines_);
        } else if (!response_.Empty()) {
            connection.WriteResponseLines(response_);
        }
    } catch (...) {
        if (command->disconnectAfter_) {
            connection.Disconnect();
        }
        throw;
    }
    if (command->disconnectAfter_) {
        connection.Disconnect();
    }
}

// ------------------------------------------------------- TIdCommandHandlers

TIdCommandHandlers::TIdCommandHandlers(TIdReply* exceptionReply, TIdReplies* replyTexts, TIdReplyKind replyKind)
    : exceptionReply_(exceptionReply),
      replyTexts_(replyTexts),
      replyKind_(replyKind ? std::move(replyKind) : TIdReplyRFC::Kind()) {}

TIdCommandHandlers::~TIdCommandHandlers() = default;

std::unique_ptr<TIdReply> TIdCommandHandlers::MakeReply() const { return replyKind_(replyTexts_); }

TIdCommandHandler& TIdCommandHandlers::Add() {
    items_.push_back(std::make_unique<TIdCommandHandler>(*this, nextId_++));
    return *items_.back();
}

bool TIdCommandHandlers::DispatchLine(TIdContext& context, std::string& line) {
    if (BeforeDispatch) {
        BeforeDispatch(context, line);
    }
    bool handled = false;
    try {
        for (auto& handler : items_) {
            if (handler->Enabled() && handler->TryHandle(line, context)) {
                handled = true;
                break;
            }
        }
    } catch (...) {
        if (AfterDispatch) {
            AfterDispatch(context);
        }
        throw;
    }
    if (AfterDispatch) {
        AfterDispatch(context);
    }
    return handled;
}
