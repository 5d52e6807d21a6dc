// HTTPMessageIO: the reading and writing half of the proxy's messages, for
// what HTTPFraming and HTTPChunked decide: a head read line by line within
// its bounds, request bodies read whole or passed on in the proxy's own
// chunks, gathered sends, and an answer that a client still sending gets to
// read before the close.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "io/IdIOHandler.h"
#include "io/IdStream.h"
#include "io/IdTCPConnection.h"
#include "proxy/HTTPChunked.h"
#include "proxy/IdHeaderList.h"

// Reads a head's lines up to the empty line into headers; false once it
// holds more than a head may (MaxHeadBytes, MaxHeadLines, or a line past the
// handler's line limit). waitMs gives the wait for the next line: -1 = the
// handler's own timeout; a wait that runs out raises EIdReadTimeout.
bool ReadHead(TIdIOHandler& handler, TIdHeaderList& headers, const std::function<int32_t()>& waitMs);

// Exactly length bytes of body, each wait bounded by idleMs (-1: none);
// raises when the client ends its stream first, as a short body forwarded
// under its declared length would leave the origin waiting.
std::unique_ptr<TMemoryStream> ReadBody(TIdIOHandler& client, int64_t length, int32_t idleMs);

// Feeds what arrives on from to the decoder and hands each piece of body to
// take (which answers whether to go on), until the body ends; raises
// EIdHTTPProxyAnswer 400 when the framing is broken.
void DecodeChunks(TIdIOHandler& from, THTTPChunkDecoder& decoder, int32_t idleMs,
                  const std::function<bool(std::string_view)>& take);

// Passes the rest of a chunked body from one handler to the other as it
// arrives, each piece in a chunk of the proxy's own framing, then the last
// chunk.
void RelayChunks(TIdIOHandler& from, TIdIOHandler& to, THTTPChunkDecoder& decoder, int32_t idleMs);

// Runs writes on handler, gathered into one send when gather is set.
void SendGathered(TIdIOHandler& handler, bool gather, const std::function<void()>& writes);

// Writes one of the proxy's own answers, then reads and drops what the
// client still sends (a request body) for a short while before closing, so
// that the close does not reset the connection and destroy the answer
// before the client has read it.
void AnswerAndClose(TIdTCPConnection& client, const std::string& answer);
