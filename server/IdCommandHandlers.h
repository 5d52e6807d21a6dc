// IdCommandHandlers: line-command dispatch. A TIdCommandHandler matches the
// first word of a received line (ignoring letter case), splits the rest into
// parameters and runs its OnCommand with a fresh TIdCommand, then sends the
// numeric reply and optional response lines, and may close the connection.
// TIdCommandHandlers is the ordered list the server offers each line to.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/IdStrings.h"
#include "server/IdContext.h"
#include "server/IdReply.h"

class TIdCommand;
class TIdCommandHandler;
class TIdCommandHandlers;

using TIdCommandEvent = std::function<void(TIdCommand& sender)>;

class TIdCommand {
public:
    TIdCommand(TIdCommandHandler& handler, TIdContext& context, const std::string& line,
               const std::string& paramText);

    TIdCommandHandler& Handler() const { return handler_; }
    bool DisconnectAfter() const { return disconnectAfter_; }
    void SetDisconnectAfter(bool value) { disconnectAfter_ = value; }
    const TStrings& ParamList() const { return paramList_; }
    TStrings& ParamList() { return paramList_; }
    // 1-based start of each ParamList entry within ParamText.
    const std::vector<int32_t>& ParamPositions() const { return paramPositions_; }
    bool ReplyPending() const { return replyPending_; }
    void SetReplyPending(bool value) { replyPending_ = value; }
    const std::string& Line() const { return line_; }
    TIdReply& StatusReply() { return *statusReply_; }
    TStrings& ResponseLines() { return responseLines_; }
    TIdContext& ClientContext() const { return context_; }
    const std::string& ParamText() const { return paramText_; }

    void FireCommand();
    // Clears ReplyPending, fills an empty text from the reply table and
    // writes the reply in one send.
    void SendStatusReply();

private:
    friend class TIdCommandHandler;

    TIdCommandHandler& handler_;
    bool disconnectAfter_;
    TStrings paramList_;
    std::vector<int32_t> paramPositions_;
    bool replyPending_ = false;
    std::string line_;
    std::unique_ptr<TIdReply> statusReply_;
    TStrings responseLines_;
    TIdContext& context_;
    std::string paramText_;
};

class TIdCommandHandler {
public:
    TIdCommandHandler(TIdCommandHandlers& collection, int32_t id);
    virtual ~TIdCommandHandler();
    TIdCommandHandler(const TIdCommandHandler&) = delete;
    TIdCommandHandler& operator=(const TIdCommandHandler&) = delete;

    // Offers a line; true when it matched (and the command ran).
    virtual bool TryHandle(const std::string& line, TIdContext& context);
    virtual void RunCommand(const std::string& line, TIdContext& context, const std::string& paramText);

    const std::string& Command() const { return command_; }
    void SetCommand(const std::string& value) { command_ = value; }
    char CmdDelimiter() const { return cmdDelimiter_; }
    void SetCmdDelimiter(char value) { cmdDelimiter_ = value; }
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value) { enabled_ = value; }
    bool ParseParams() const { return parseParams_; }
    void SetParseParams(bool value) { parseParams_ = value; }
    char ParamDelimiter() const { return paramDelimiter_; }
    void SetParamDelimiter(char value) { paramDelimiter_ = value; }
    bool Disconnect() const { return disconnect_; }
    void SetDisconnect(bool value) { disconnect_ = value; }
    TIdReply& NormalReply() { return *normalReply_; }
    TIdReply& ExceptionReply() { return *exceptionReply_; }
    TStrings& Response() { return response_; }
    TStrings& Description() { return description_; }
    const std::string& HelpSuperScript() const { return helpSuperScript_; }
    void SetHelpSuperScript(const std::string& value) { helpSuperScript_ = value; }
    bool HelpVisible() const { return helpVisible_; }
    void SetHelpVisible(bool value) { helpVisible_ = value; }
    const std::string& Name() const { return name_; }
    void SetName(const std::string& value) { name_ = value; }
    int32_t Tag() const { return tag_; }
    void SetTag(int32_t value) { tag_ = value; }
    int32_t ID() const { return id_; }
    TIdCommandHandlers& Collection() const { return collection_; }

    TIdCommandEvent OnCommand;

private:
    static void SplitParams(TIdCommand& command, const std::string& paramText, char delimiter);

    TIdCommandHandlers& collection_;
    int32_t id_;
    std::string command_;
    char cmdDelimiter_ = ' ';
    bool enabled_ = true;
    bool parseParams_ = true;
    char paramDelimiter_ = ' ';
    bool disconnect_ = false;
    std::unique_ptr<TIdReply> normalReply_;
    std::unique_ptr<TIdReply> exceptionReply_;
    TStrings response_;
    TStrings description_;
    std::string helpSuperScript_;
    bool helpVisible_ = true;
    std::string name_;
    int32_t tag_ = 0;
};

class TIdCommandHandlers {
public:
    // The exception reply and the reply table belong to the server.
    TIdCommandHandlers(TIdReply* exceptionReply, TIdReplies* replyTexts, TIdReplyKind replyKind);
    virtual ~TIdCommandHandlers();
    TIdCommandHandlers(const TIdCommandHandlers&) = delete;
    TIdCommandHandlers& operator=(const TIdCommandHandlers&) = delete;

    TIdCommandHandler& Add();
    int32_t Count() const { return static_cast<int32_t>(items_.size()); }
    TIdCommandHandler& Items(int32_t index) { return *items_.at(static_cast<size_t>(index)); }

    // Offers the line to each enabled handler in order; true when one took it.
    virtual bool DispatchLine(TIdContext& context, std::string& line);

    TIdReply* ExceptionReply() const { return exceptionReply_; }
    TIdReplies* ReplyTexts() const { return replyTexts_; }
    const TIdReplyKind& ReplyKind() const { return replyKind_; }
    std::unique_ptr<TIdReply> MakeReply() const;

    std::function<void(TIdContext& context, std::string& line)> BeforeDispatch;
    std::function<void(TIdContext& context)> AfterDispatch;

private:
    TIdReply* exceptionReply_;
    TIdReplies* replyTexts_;
    TIdReplyKind replyKind_;
    int32_t nextId_ = 0;
    std::vector<std::unique_ptr<TIdCommandHandler>> items_;
};
