// FakeTransport: a scripted transport under the buffered I/O handler, for
// tests that need exact control over what arrives when: chunks of any size
// (down to one byte per receive), a peer that closes, and receive waits that
// time out. Every SendRaw call is recorded as one entry.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "base/IdException.h"
#include "io/IdIOHandler.h"

class FakeTransport : public TIdIOHandler {
public:
    FakeTransport() { OpenChannel(); }

    // --- Script. Each receive takes the next step: up to chunkSize bytes of
    // a data step (the step stays until it is used up), a close, or a wait
    // that times out. An empty script behaves as a wait that times out, so a
    // test that reads too far fails instead of hanging.
    FakeTransport& Deliver(std::string bytes, int32_t chunkSize = 0) {
        if (!bytes.empty()) {
            script_.push_back(Step{StepKind::Data, std::move(bytes), chunkSize, 0});
        }
        return *this;
    }
    FakeTransport& PeerCloses() {
        script_.push_back(Step{StepKind::Close, {}, 0, 0});
        return *this;
    }
    FakeTransport& TimesOut() {
        script_.push_back(Step{StepKind::Timeout, {}, 0, 0});
        return *this;
    }
    bool ScriptUsedUp() const { return script_.empty(); }

    // --- What happened.
    const std::vector<std::string>& Sends() const { return sends_; }
    std::string SentText() const {
        std::string all;
        for (const std::string& send : sends_) {
            all += send;
        }
        return all;
    }
    int32_t FillCalls() const { return fillCalls_; }
    // The timeout arguments FillFromSource received, as passed.
    const std::vector<int32_t>& FillTimeouts() const { return fillTimeouts_; }
    bool SocketOpen() const { return socketOpen_; }
    std::string Queued() const {
        const TIdBuffer* queue = InputQueue();
        if (queue == nullptr || queue->Used() == 0) {
            return {};
        }
        return std::string(reinterpret_cast<const char*>(queue->Data()), static_cast<size_t>(queue->Used()));
    }

    using TIdIOHandler::ResolveTimeout;

    // --- Transport contract.
    int32_t FillFromSource(bool raiseIfClosed, int32_t timeoutMs, bool raiseOnTimeout) override {
        ++fillCalls_;
        fillTimeouts_.push_back(timeoutMs);
        CheckClosed(raiseIfClosed, false);
        if (!socketOpen_) {
            if (raiseIfClosed) {
                throw EIdException("Not Connected");
            }
            return 0;
        }
        if (script_.empty() || script_.front().kind == StepKind::Timeout) {
            if (!script_.empty()) {
                script_.pop_front();
            }
            if (raiseOnTimeout) {
                throw EIdReadTimeout("Read Timeout");
            }
            return -1;
        }
        Step& step = script_.front();
        if (step.kind == StepKind::Close) {
            script_.pop_front();
            peerClosed_ = true;
            CheckClosed(raiseIfClosed, false);
            return 0;
        }
        // An offset rather than erasing the front: a long text delivered a
        // byte at a time must cost the fake nothing per byte.
        size_t count = step.bytes.size() - step.offset;
        if (step.chunkSize > 0 && static_cast<size_t>(step.chunkSize) < count) {
            count = static_cast<size_t>(step.chunkSize);
        }
        InputQueue()->AppendData(reinterpret_cast<const uint8_t*>(step.bytes.data() + step.offset),
                                 static_cast<int32_t>(count));
        step.offset += count;
        if (step.offset == step.bytes.size()) {
            script_.pop_front();
        }
        CheckClosed(raiseIfClosed, false);
        return static_cast<int32_t>(count);
    }

    void CheckClosed(bool raise, bool ignoreQueued) override {
        const bool gone = peerClosed_ || !socketOpen_;
        if (peerClosed_ && socketOpen_) {
            CloseChannel();
        }
        const TIdBuffer* queue = InputQueue();
        if (gone && raise && queue != nullptr && (ignoreQueued || queue->Used() == 0)) {
            throw EIdConnClosedGracefully("Connection Closed Gracefully.");
        }
    }

    void PollSource(int32_t timeoutMs) override {
        if (IsConnected()) {
            FillFromSource(false, timeoutMs, false);
        }
    }

    using TIdIOHandler::SendRaw;
    void SendRaw(const uint8_t* data, int32_t size) override {
        TIdIOHandler::SendRaw(data, size);
        if (size <= 0) {
            return;
        }
        sends_.emplace_back(reinterpret_cast<const char*>(data), static_cast<size_t>(size));
        DoWork(wmWrite, size);
    }

    bool WaitReadable(int32_t timeoutMs) override {
        (void)timeoutMs;
        return NextIsReady();
    }

    // Collects what is ready without waiting; a scripted timeout is left for
    // the read that the test means it for.
    bool IsConnected() override {
        if (socketOpen_ && NextIsReady()) {
            FillFromSource(false, 0, false);
        }
        return (socketOpen_ && TIdIOHandler::IsConnected()) || !InputIsEmpty();
    }

    void OpenChannel() override {
        TIdIOHandler::OpenChannel();
        socketOpen_ = true;
    }

    void CloseChannel() override {
        socketOpen_ = false;
        TIdIOHandler::CloseChannel();
    }

private:
    enum class StepKind { Data, Close, Timeout };
    struct Step {
        StepKind kind;
        std::string bytes;
        int32_t chunkSize;
        size_t offset;  // bytes of a data step already delivered
    };

    bool NextIsReady() const { return !script_.empty() && script_.front().kind != StepKind::Timeout; }

    std::deque<Step> script_;
    std::vector<std::string> sends_;
    std::vector<int32_t> fillTimeouts_;
    int32_t fillCalls_ = 0;
    bool socketOpen_ = false;
};
