// Fuzz target for line-command dispatch (TIdCommandHandlers::DispatchLine,
// TIdCommandHandler::TryHandle and the parameter split of RunCommand), run
// without a server: a context over a connection whose transport records what
// is sent. Each line must reach exactly the handler the matching rules pick,
// with the parameter text and parameters (and their positions) the rules
// give, and get the reply that handler's outcome calls for.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "base/IdException.h"
#include "io/IdIOHandler.h"
#include "io/IdTCPConnection.h"
#include "server/IdCommandHandlers.h"
#include "server/IdContext.h"
#include "server/IdReplyRFC.h"

namespace {

// A transport with no input that keeps every send.
class RecordingTransport : public TIdIOHandler {
public:
    RecordingTransport() { OpenChannel(); }

    std::string sent;

    int32_t FillFromSource(bool raiseIfClosed, int32_t timeoutMs, bool raiseOnTimeout) override {
        (void)timeoutMs;
        (void)raiseOnTimeout;
        peerClosed_ = true;
        CheckClosed(raiseIfClosed, false);
        return 0;
    }
    void CheckClosed(bool raise, bool ignoreQueued) override {
        (void)ignoreQueued;
        if (raise && (peerClosed_ || !IsOpened())) {
            throw EIdConnClosedGracefully("Connection Closed Gracefully.");
        }
    }
    void PollSource(int32_t timeoutMs) override { (void)timeoutMs; }
    void SendRaw(const uint8_t* data, int32_t size) override {
        TIdIOHandler::SendRaw(data, size);
        sent.append(reinterpret_cast<const char*>(data), static_cast<size_t>(size));
    }
};

// What each handler's OnCommand does, and so what the client must receive.
enum class Outcome {
    Answers,        // clears ReplyPending, sends nothing itself
    Replies,        // leaves the reply to the framework: "200 Ok"
    Fails,          // raises with ReplyPending set: "500 <message>"
    FailsAnswered,  // clears ReplyPending, then raises: the error goes on
};

struct HandlerSetup {
    std::string command;
    char cmdDelimiter;
    char paramDelimiter;
    bool parseParams;
    bool enabled;
    bool disconnect;
    Outcome outcome;
};

struct Seen {
    int handler = -1;
    std::string line;
    std::string paramText;
    std::vector<std::string> params;
    std::vector<int32_t> positions;
};

bool SameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        const auto fold = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; };
        if (fold(a[i]) != fold(b[i])) {
            return false;
        }
    }
    return true;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= 32) {
        text.remove_prefix(1);
    }
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= 32) {
        text.remove_suffix(1);
    }
    return text;
}

// The matching rules: the whole line is the command, or the command and its
// delimiter start the line, or (no delimiter) the command alone does.
bool Matches(const HandlerSetup& setup, std::string_view line, std::string& paramText) {
    if (SameIgnoringCase(line, setup.command)) {
        paramText.clear();
        return true;
    }
    std::string word = setup.command;
    if (setup.cmdDelimiter != '\0') {
        word += setup.cmdDelimiter;
    }
    if (line.size() < word.size() || !SameIgnoringCase(line.substr(0, word.size()), word)) {
        return false;
    }
    paramText = std::string(line.substr(word.size()));
    return true;
}

// The parameters with their 1-based positions in the parameter text: a blank
// splits at every blank, dropping empty pieces; any other delimiter splits
// the trimmed text, dropping empty pieces and trimming the rest.
void SplitParams(const HandlerSetup& setup, std::string_view text, std::vector<std::string>& params,
                 std::vector<int32_t>& positions) {
    if (setup.paramDelimiter == ' ') {
        for (size_t start = 0; start <= text.size();) {
            const size_t end = std::min(text.find(' ', start), text.size());
            if (end > start) {
                params.emplace_back(text.substr(start, end - start));
                positions.push_back(static_cast<int32_t>(start + 1));
            }
            start = end + 1;
        }
        return;
    }
    const std::string_view trimmed = Trim(text);
    if (trimmed.empty()) {
        return;
    }
    for (size_t start = 0; start <= trimmed.size();) {
        const size_t end = std::min(trimmed.find(setup.paramDelimiter, start), trimmed.size());
        if (end > start) {
            // A piece of blanks only stays, as an empty entry.
            const std::string_view piece = Trim(trimmed.substr(start, end - start));
            const char* at = piece.empty() ? trimmed.data() + start : piece.data();
            params.emplace_back(piece);
            positions.push_back(static_cast<int32_t>(at - text.data() + 1));
        }
        start = end + 1;
    }
}

std::string ShowList(const std::vector<std::string>& params, const std::vector<int32_t>& positions) {
    std::string text;
    for (size_t i = 0; i < params.size(); ++i) {
        text += "\"" + fuzz::Escaped(params[i]) + "\"@" + (i < positions.size() ? std::to_string(positions[i]) : "?") +
                " ";
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ByteReader reader(data, size);
    std::vector<HandlerSetup> setups = {
        {"DEL", ' ', ' ', true, false, false, Outcome::Replies},
        {"GET", ' ', ' ', true, true, true, Outcome::Answers},
        {"POST", ' ', ' ', true, true, true, Outcome::Fails},
        {"HEAD", ' ', ' ', true, true, true, Outcome::Replies},
        {"CONNECT", ' ', ' ', true, true, true, Outcome::FailsAnswered},
        {"QUIT", '\0', ' ', true, true, false, Outcome::Replies},
        {"LIST", ' ', ',', true, true, false, Outcome::Replies},
    };
    // One more handler shaped by the input, after the fixed ones.
    const uint8_t shape = reader.Byte();
    HandlerSetup extra{reader.ShortText(6), static_cast<char>(reader.Byte()), static_cast<char>(reader.Byte()),
                      (shape & 1) != 0, true, (shape & 2) != 0, static_cast<Outcome>((shape >> 2) & 3)};
    setups.push_back(extra);

    TIdRepliesRFC replyTexts;
    TIdReplyRFC exceptionReply(&replyTexts);
    exceptionReply.SetNumericCode(500);
    TIdCommandHandlers handlers(&exceptionReply, &replyTexts, TIdReplyRFC::Kind());
    Seen seen;
    for (size_t i = 0; i < setups.size(); ++i) {
        const HandlerSetup& setup = setups[i];
        TIdCommandHandler& handler = handlers.Add();
        handler.SetCommand(setup.command);
        handler.SetCmdDelimiter(setup.cmdDelimiter);
        handler.SetParamDelimiter(setup.paramDelimiter);
        handler.SetParseParams(setup.parseParams);
        handler.SetEnabled(setup.enabled);
        handler.SetDisconnect(setup.disconnect);
        handler.OnCommand = [&seen, i, outcome = setup.outcome](TIdCommand& command) {
            FUZZ_CHECK(seen.handler < 0, "a second handler ran for one line");
            seen.handler = static_cast<int>(i);
            seen.line = command.Line();
            seen.paramText = command.ParamText();
            seen.params = command.ParamList().Lines();
            seen.positions = command.ParamPositions();
            if (outcome == Outcome::Answers || outcome == Outcome::FailsAnswered) {
                command.SetReplyPending(false);
            }
            if (outcome == Outcome::Fails || outcome == Outcome::FailsAnswered) {
                throw EIdException("handler failed");
            }
        };
    }

    auto transport = std::make_unique<RecordingTransport>();
    RecordingTransport& io = *transport;
    auto connection = std::make_unique<TIdTCPConnection>();
    connection->AdoptIOHandler(std::move(transport));
    TIdContext context(std::move(connection), nullptr, nullptr);

    const std::string shapeText = " extra handler \"" + fuzz::Escaped(extra.command) + "\" delimiters \"" +
                                  fuzz::Escaped(std::string(1, extra.cmdDelimiter)) + "\" \"" +
                                  fuzz::Escaped(std::string(1, extra.paramDelimiter)) + "\"";
    const std::string rest = reader.Rest();
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = rest.find('\n', start);
        if (end == std::string::npos) {
            end = rest.size();
        }
        // As read from the wire: the CR before the LF is gone.
        std::string line = rest.substr(start, end - start);
        if (!line.empty() && line.back() == '\r' && end < rest.size()) {
            line.pop_back();
        }
        start = end + 1;

        if (!io.IsOpened()) {
            io.OpenChannel();
        }
        io.sent.clear();
        seen = Seen{};

        int expected = -1;
        std::string paramText;
        for (size_t i = 0; i < setups.size() && expected < 0; ++i) {
            if (setups[i].enabled && Matches(setups[i], line, paramText)) {
                expected = static_cast<int>(i);
            }
        }

        const std::string dispatched = line;
        bool handled = false;
        bool raised = false;
        try {
            handled = handlers.DispatchLine(context, line);
        } catch (const EIdException&) {
            raised = true;
        }
        const auto what = [&] {
            return "line \"" + fuzz::Escaped(dispatched) + "\"" + shapeText + ": ran " +
                   std::to_string(seen.handler) + ", expected " + std::to_string(expected);
        };
        FUZZ_CHECK(seen.handler == expected, what());
        if (expected < 0) {
            FUZZ_CHECK(!handled && !raised && io.sent.empty(), what());
            continue;
        }
        const HandlerSetup& setup = setups[static_cast<size_t>(expected)];
        FUZZ_CHECK(seen.line == dispatched, what());
        FUZZ_CHECK(seen.paramText == paramText,
                   what() + " param text \"" + fuzz::Escaped(seen.paramText) + "\" not \"" +
                       fuzz::Escaped(paramText) + "\"");

        std::vector<std::string> params;
        std::vector<int32_t> positions;
        if (setup.parseParams) {
            SplitParams(setup, paramText, params, positions);
        }
        const auto paramsText = [&] {
            return what() + " params " + ShowList(seen.params, seen.positions) + "expected " +
                   ShowList(params, positions);
        };
        FUZZ_CHECK(seen.params == params && seen.positions.size() == params.size(), paramsText());
        for (size_t i = 0; i < params.size(); ++i) {
            const std::string& param = seen.params[i];
            const int32_t position = seen.positions[i];
            FUZZ_CHECK(param.find(setup.paramDelimiter) == std::string::npos, paramsText());
            FUZZ_CHECK(position >= 1 && static_cast<size_t>(position) - 1 <= paramText.size() &&
                           paramText.compare(static_cast<size_t>(position) - 1, param.size(), param) == 0,
                       paramsText());
            if (!param.empty()) {
                FUZZ_CHECK(position == positions[i], paramsText());
            }
        }

        // The reply the outcome calls for, and the close after it.
        switch (setup.outcome) {
            case Outcome::Answers:
                FUZZ_CHECK(handled && !raised && io.sent.empty(), what() + " sent \"" + fuzz::Escaped(io.sent) + "\"");
                break;
            case Outcome::Replies:
                FUZZ_CHECK(handled && !raised && io.sent == "200 Ok\r\n",
                           what() + " sent \"" + fuzz::Escaped(io.sent) + "\"");
                break;
            case Outcome::Fails:
                FUZZ_CHECK(handled && !raised && io.sent == "500 handler failed\r\n",
                           what() + " sent \"" + fuzz::Escaped(io.sent) + "\"");
                break;
            case Outcome::FailsAnswered:
                FUZZ_CHECK(raised && io.sent.empty(), what() + " sent \"" + fuzz::Escaped(io.sent) + "\"");
                break;
        }
        FUZZ_CHECK(io.IsOpened() == !setup.disconnect, what());
    }
    return 0;
}
