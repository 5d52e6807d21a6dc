// IdCmdTCPServer: greeting, line dispatch, unknown-command reply and help.
#include "server/IdCmdTCPServer.h"

#include <algorithm>
#include <vector>

#include "base/IdException.h"
#include "base/IdGlobal.h"

TIdCmdTCPServer::TIdCmdTCPServer()
    : replyKind_(TIdReplyRFC::Kind()), replyTexts_(std::make_unique<TIdRepliesRFC>()) {
    exceptionReply_ = MakeDefaultReply(500, "Unknown Internal Error");
    commandHandlers_ = std::make_unique<TIdCommandHandlers>(exceptionReply_.get(), replyTexts_.get(), replyKind_);
    commandHandlers_->BeforeDispatch = [this](TIdContext& context, std::string& line) {
        if (OnBeforeCommandHandler) {
            OnBeforeCommandHandler(*this, line, context);
        }
    };
    commandHandlers_->AfterDispatch = [this](TIdContext& context) {
        if (OnAfterCommandHandler) {
            OnAfterCommandHandler(*this, context);
        }
    };
    greeting_ = MakeDefaultReply(200, "Welcome");
    helpReply_ = MakeDefaultReply(100, "Help follows");
    maxConnectionReply_ = MakeDefaultReply(300, "Too many connections. Try again later.");
    replyUnknownCommand_ = MakeDefaultReply(400, "Unknown Command");
}

TIdCmdTCPServer::~TIdCmdTCPServer() {
    // Deactivate while the handlers and replies the workers use still exist.
    try {
        SetActive(false);
    } catch (...) {
        // Destructors never throw.
    }
}

std::unique_ptr<TIdReply> TIdCmdTCPServer::MakeDefaultReply(int32_t code, const std::string& text) {
    std::unique_ptr<TIdReply> reply = replyKind_(replyTexts_.get());
    reply->SetCodeAndText(std::to_string(code), text);
    return reply;
}

void TIdCmdTCPServer::AddHelpHandler() {
    TIdCommandHandler& help = commandHandlers_->Add();
    help.SetCommand("Help");
    help.Description().Add("Displays commands that the servers supports.");
    help.NormalReply().Assign(*helpReply_);
    std::vector<TIdCommandHandler*> visible;
    for (int32_t i = 0; i < commandHandlers_->Count(); ++i) {
        TIdCommandHandler& handler = commandHandlers_->Items(i);
        if (handler.HelpVisible()) {
            visible.push_back(&handler);
        }
    }
    auto title = [](TIdCommandHandler* handler) { return handler->Command() + handler->HelpSuperScript(); };
    std::stable_sort(visible.begin(), visible.end(), [&title](TIdCommandHandler* a, TIdCommandHandler* b) {
        return CompareIgnoringCase(title(a), title(b)) < 0;
    });
    for (TIdCommandHandler* handler : visible) {
        help.Response().Add(title(handler));
        for (const std::string& line : handler->Description()) {
            help.Response().Add("  " + line);
        }
        help.Response().Add("");
    }
}

void TIdCmdTCPServer::SetActive(bool value) {
    if (value && !Active() && !commandsRegistered_) {
        commandsRegistered_ = true;
        RegisterCommands();
        if (!helpReply_->Code().empty()) {
            AddHelpHandler();
        }
    }
    TIdTCPServer::SetActive(value);
}

void TIdCmdTCPServer::CheckCanActivate() {
    if (commandHandlers_->Count() == 0) {
        TIdTCPServer::CheckCanActivate();
    }
}

void TIdCmdTCPServer::NotifyConnect(TIdContext& context) {
    TIdTCPServer::NotifyConnect(context);
    // Content first: asking whether the peer is still there costs a receive,
    // and a server without a greeting (the proxy) has nothing to send.
    if (greeting_->HasContent() && context.ClientConnection().IsConnected()) {
        // Each worker fills and formats its own copy: the shared greeting is
        // only ever read once the server runs.
        std::unique_ptr<TIdReply> copy = replyKind_(replyTexts_.get());
        copy->Assign(*greeting_);
        copy->FillDefaultText();
        TStrings lines;
        copy->FormatTo(lines);
        SendGreetingTo(context, lines);
    }
}

std::string TIdCmdTCPServer::OverLimitAnswer() {
    TStrings lines;
    maxConnectionReply_->FormatTo(lines);
    std::string answer;
    for (const std::string& line : lines) {
        answer.append(line).append(EOL);
    }
    return answer;
}

std::string TIdCmdTCPServer::ReadRequestLine(TIdContext& context) {
    return context.ClientConnection().IOHandler()->ReadLine();
}

bool TIdCmdTCPServer::ExecuteStep(TIdContext& context) {
    if (commandHandlers_->Count() == 0) {
        return TIdTCPServer::ExecuteStep(context);
    }
    TIdTCPConnection& connection = context.ClientConnection();
    if (connection.IsConnected()) {
        std::string line = ReadRequestLine(context);
        if (!line.empty()) {
            if (!commandHandlers_->DispatchLine(context, line)) {
                ReplyUnknown(context, line);
            }
        }
    }
    return connection.IsConnected();
}

void TIdCmdTCPServer::ReplyUnknown(TIdContext& context, const std::string& line) {
    std::unique_ptr<TIdReply> reply = replyKind_(replyTexts_.get());
    reply->Assign(*replyUnknownCommand_);
    reply->Text().Add(line);
    TStrings lines;
    reply->FormatTo(lines);
    context.ClientConnection().IOHandler()->WriteLines(lines);
}
