// IdCmdTCPServer: the TCP server with a line-command protocol: an optional
// greeting, then one line per work step offered to the command handlers;
// lines no handler takes get the unknown-command reply, and "Help" lists
// the registered commands.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "server/IdCommandHandlers.h"
#include "server/IdReply.h"
#include "server/IdReplyRFC.h"
#include "server/IdTCPServer.h"

class TIdCmdTCPServer;

using TIdCmdTCPServerBeforeCommandHandlerEvent =
    std::function<void(TIdCmdTCPServer& sender, std::string& data, TIdContext& context)>;
using TIdCmdTCPServerAfterCommandHandlerEvent = std::function<void(TIdCmdTCPServer& sender, TIdContext& context)>;

class TIdCmdTCPServer : public TIdTCPServer {
public:
    TIdCmdTCPServer();
    ~TIdCmdTCPServer() override;

    void SetActive(bool value) override;

    TIdCommandHandlers& CommandHandlers() { return *commandHandlers_; }
    TIdReply& ExceptionReply() { return *exceptionReply_; }
    void SetExceptionReply(const TIdReply& value) { exceptionReply_->Assign(value); }
    TIdReply& Greeting() { return *greeting_; }
    void SetGreeting(const TIdReply& value) { greeting_->Assign(value); }
    TIdReply& HelpReply() { return *helpReply_; }
    void SetHelpReply(const TIdReply& value) { helpReply_->Assign(value); }
    TIdReply& MaxConnectionReply() { return *maxConnectionReply_; }
    void SetMaxConnectionReply(const TIdReply& value) { maxConnectionReply_->Assign(value); }
    TIdReply& ReplyUnknownCommand() { return *replyUnknownCommand_; }
    void SetReplyUnknownCommand(const TIdReply& value) { replyUnknownCommand_->Assign(value); }
    TIdReplies& ReplyTexts() { return *replyTexts_; }

    TIdCmdTCPServerBeforeCommandHandlerEvent OnBeforeCommandHandler;
    TIdCmdTCPServerAfterCommandHandlerEvent OnAfterCommandHandler;

protected:
    virtual void RegisterCommands() {}
    virtual std::string ReadRequestLine(TIdContext& context);
    virtual void ReplyUnknown(TIdContext& context, const std::string& line);
    const TIdReplyKind& ReplyKind() const { return replyKind_; }

    void CheckCanActivate() override;
    void NotifyConnect(TIdContext& context) override;
    bool ExecuteStep(TIdContext& context) override;
    // MaxConnectionReply, formatted.
    std::string OverLimitAnswer() override;

private:
    std::unique_ptr<TIdReply> MakeDefaultReply(int32_t code, const std::string& text);
    void AddHelpHandler();

    TIdReplyKind replyKind_;
    bool commandsRegistered_ = false;
    std::unique_ptr<TIdReplies> replyTexts_;
    std::unique_ptr<TIdReply> exceptionReply_;
    std::unique_ptr<TIdCommandHandlers> commandHandlers_;
    std::unique_ptr<TIdReply> greeting_;
    std::unique_ptr<TIdReply> helpReply_;
    std::unique_ptr<TIdReply> maxConnectionReply_;
    std::unique_ptr<TIdReply> replyUnknownCommand_;
};
