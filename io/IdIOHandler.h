// IdIOHandler: the buffered reader/writer every connection talks through.
// It turns a raw transport into line, byte-block and stream operations with
// an input queue and optional write gathering; it holds no socket code. The
// transport (TIdIOHandlerStack) supplies FillFromSource, CheckClosed,
// PollSource, SendRaw, WaitReadable and extends IsConnected, OpenChannel and
// CloseChannel.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "io/IdBuffer.h"
#include "io/IdComponent.h"
#include "base/IdGlobal.h"
#include "io/IdStream.h"
#include "base/IdStrings.h"

class TIdConnectionIntercept;

enum TIdMaxLineAction { maException = 0, maSplit = 1 };

constexpr int32_t IdMaxLineLengthDefault = 16384;
constexpr int32_t IdDefaultBufferSize = 32768;

class TIdIOHandler : public TIdComponent {
public:
    TIdIOHandler();
    ~TIdIOHandler() override;

    // --- Transport contract.
    // Waits (timeoutMs: -1 = ReadTimeout, -2 = no limit, 0 = poll), receives
    // at most RecvBufferSize bytes into InputQueue. Returns the count (> 0),
    // 0 when the peer closed (or no socket and !raiseIfClosed), -1 on timeout.
    virtual int32_t FillFromSource(bool raiseIfClosed, int32_t timeoutMs, bool raiseOnTimeout) = 0;
    virtual void CheckClosed(bool raise, bool ignoreQueued) = 0;
    virtual void PollSource(int32_t timeoutMs) = 0;
    virtual bool WaitReadable(int32_t timeoutMs);
    // Bodies skip the input queue when the transport can receive straight
    // into the caller's memory: ReceiveDirect then receives at most size
    // bytes into dest (timeoutMs as for FillFromSource) and returns the
    // count, 0 when the peer closed (PeerClosed set), or -1 on timeout.
    virtual bool CanReceiveDirect() const { return false; }
    virtual int32_t ReceiveDirect(uint8_t* dest, int32_t size, int32_t timeoutMs);
    virtual bool IsConnected();
    virtual void OpenChannel();
    virtual void CloseChannel();
    virtual void OnAccepted() {}
    void MarkPeerClosed() { peerClosed_ = true; }
    // Base: closed check and the intercept's send hook; the transport then
    // sends every byte.
    virtual void SendRaw(const uint8_t* data, int32_t size);
    void SendRaw(const TIdBytes& bytes) { SendRaw(bytes.data(), static_cast<int32_t>(bytes.size())); }

    // --- Reading.
    std::string ReadLine(int32_t timeoutMs = TimeoutDefault, int32_t maxLength = -1);
    std::string ReadNonEmptyLine(int32_t attempts);
    void ReadBytesInto(TIdBytes& dest, int32_t count, bool append);
    void ReadIntoStream(TStream& stream, int64_t count, bool untilClose);
    // Reads what arrives into the stream until the peer ends its stream
    // (true), or limit bytes have been taken, or withinMs has passed
    // (false either way). Each wait for more bytes is also bounded by
    // ReadTimeout, which raises EIdReadTimeout as for every read.
    bool ReadUntilCloseWithin(TStream& stream, int64_t limit, int32_t withinMs);
    int32_t CaptureLines(TStrings& dest, const std::string& endLine, bool dotUnstuff);
    int32_t CaptureLines(TStream& dest, const std::string& endLine, bool dotUnstuff);
    uint8_t ReadByteValue();
    int32_t ReadInt32Value(bool fromNetworkOrder);
    int64_t ReadInt64Value(bool fromNetworkOrder);
    std::string InputAsText();
    bool InputIsEmpty() const { return !inputQueue_ || inputQueue_->Used() == 0; }

    // --- Writing.
    void WriteBytes(const TIdBytes& bytes) { WriteData(bytes.data(), static_cast<int32_t>(bytes.size())); }
    void WriteData(const uint8_t* data, int32_t size);
    void WriteText(std::string_view text);
    void WriteLine(std::string_view text = {});
    void WriteLines(const TStrings& lines, bool withCount = false);
    void WriteDotStuffedLines(const TStrings& lines, bool withEndLine);
    void WriteFromStream(TStream& stream, int64_t size = -1, bool withLength = false);
    void WriteInt32Value(int32_t value, bool toNetworkOrder);
    void WriteInt64Value(int64_t value, bool toNetworkOrder);

    // --- Write gathering (does not nest: beginning again drops what was
    // pending; WriteLines joins a gathering that is already open).
    void BeginWriteBuffering(int32_t threshold = -1);
    void EndWriteBuffering();
    void FlushWriteBuffer(int32_t count = -1);
    void ClearWriteBuffer();
    void CancelWriteBuffering();
    bool WriteBufferingActive() const { return pendingWrites_ != nullptr; }

    // --- Properties.
    bool UseLargeSizes() const { return useLargeSizes_; }
    void SetUseLargeSizes(bool value) { useLargeSizes_ = value; }
    bool PeerClosed() const { return peerClosed_; }
    int32_t ConnectTimeout() const { return connectTimeout_; }
    void SetConnectTimeout(int32_t value) { connectTimeout_ = value; }
    virtual std::string Destination() const { return destination_; }
    virtual void SetDestination(const std::string& value) { destination_ = value; }
    const std::string& Host() const { return host_; }
    virtual void SetHost(const std::string& value) { host_ = value; }
    int32_t Port() const { return port_; }
    virtual void SetPort(int32_t value) { port_ = value; }
    TIdBuffer* InputQueue() const { return inputQueue_.get(); }
    TIdConnectionIntercept* Intercept() const { return intercept_; }
    virtual void SetIntercept(TIdConnectionIntercept* value);
    TIdMaxLineAction MaxLineAction() const { return maxLineAction_; }
    void SetMaxLineAction(TIdMaxLineAction value) { maxLineAction_ = value; }
    int32_t MaxLineLength() const { return maxLineLength_; }
    void SetMaxLineLength(int32_t value) { maxLineLength_ = value; }
    bool IsOpened() const { return isOpened_; }
    bool LineWasSplit() const { return lineWasSplit_; }
    bool LineTimedOut() const { return lineTimedOut_; }
    int32_t ReadTimeout() const { return readTimeout_; }
    void SetReadTimeout(int32_t value) { readTimeout_ = value; }
    // How long a write may wait for the peer to take more bytes, in ms;
    // -1 or 0 (the default) waits without limit. Each byte taken restarts it.
    int32_t WriteTimeout() const { return writeTimeout_; }
    void SetWriteTimeout(int32_t value) { writeTimeout_ = value; }
    int32_t RecvBufferSize() const { return recvBufferSize_; }
    void SetRecvBufferSize(int32_t value) { recvBufferSize_ = value; }
    int32_t SendBufferSize() const { return sendBufferSize_; }
    void SetSendBufferSize(int32_t value) { sendBufferSize_ = value; }
    int32_t FlushThreshold() const { return flushThreshold_; }
    // Bytes taken from the peer and handed to it so far, by every path:
    // the transport counts its receives and sends, a relay what it moved.
    int64_t BytesReceived() const { return bytesReceived_; }
    int64_t BytesSent() const { return bytesSent_; }
    void CountReceived(int64_t count) { bytesReceived_ += count; }
    void CountSent(int64_t count) { bytesSent_ += count; }

protected:
    void Notification(TIdComponent* component) override;
    bool HasSpareReceiveBuffer() const { return spareReceiveBuffer_ != nullptr; }
    // Resolves TimeoutDefault against ReadTimeout (-1 and 0 mean no limit).
    int32_t ResolveTimeout(int32_t timeoutMs) const;

    bool peerClosed_ = false;

private:
    void WriteStreamChunks(TStream& stream, int64_t size);
    // ReadIntoStream's loop when bytes can go straight into the stream.
    void ReceiveIntoStream(TStream& stream, int64_t& remaining, bool untilClose);

    bool useLargeSizes_ = false;
    int32_t connectTimeout_ = 0;
    std::string destination_;
    std::string host_;
    std::unique_ptr<TIdBuffer> inputQueue_;
    TIdConnectionIntercept* intercept_ = nullptr;
    TIdMaxLineAction maxLineAction_ = maException;
    int32_t maxLineLength_ = IdMaxLineLengthDefault;
    bool isOpened_ = false;
    int32_t port_ = 0;
    bool lineWasSplit_ = false;
    bool lineTimedOut_ = false;
    int32_t readTimeout_ = -1;
    int32_t writeTimeout_ = 0;
    std::unique_ptr<TIdBuffer> spareReceiveBuffer_;
    int32_t recvBufferSize_ = IdDefaultBufferSize;
    int32_t sendBufferSize_ = IdDefaultBufferSize;
    std::unique_ptr<TIdBuffer> pendingWrites_;
    int32_t flushThreshold_ = 0;
    int64_t bytesReceived_ = 0;
    int64_t bytesSent_ = 0;
};
