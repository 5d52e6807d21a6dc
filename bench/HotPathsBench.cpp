// Micro-benchmarks of the per-request hot paths: line reading and header
// capture over a replaying transport, the byte buffer, header lookup, URI
// parsing, credentials, moving a body through a memory stream, and counting a
// finished request for the status figures. Run with `make bench`; compare
// figures of one machine only.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "io/IdBuffer.h"
#include "app/Metrics.h"
#include "base/IdException.h"
#include "io/IdIOHandler.h"
#include "io/IdStream.h"
#include "net/IdStack.h"
#include "proxy/HTTPProxyServer.h"
#include "tests/support/StackUse.h"
#include "proxy/IdHeaderList.h"
#include "proxy/IdURI.h"

namespace {

// A request head as a browser sends it: a request line and 20 header lines.
std::string RequestHead() {
    std::string head = "GET http://www.example.com/images/logo.png?size=large HTTP/1.1\r\n";
    const char* lines[] = {
        "Host: www.example.com",
        "User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0",
        "Accept: image/avif,image/webp,image/png,image/svg+xml,image/*;q=0.8,*/*;q=0.5",
        "Accept-Language: en-GB,en;q=0.7,de;q=0.3",
        "Accept-Encoding: gzip, deflate, br, zstd",
        "Referer: http://www.example.com/index.html",
        "Connection: keep-alive",
        "Cookie: session=0123456789abcdef0123456789abcdef; theme=dark; consent=yes",
        "Sec-Fetch-Dest: image",
        "Sec-Fetch-Mode: no-cors",
        "Sec-Fetch-Site: same-origin",
        "Priority: u=5, i",
        "Pragma: no-cache",
        "Cache-Control: no-cache",
        "DNT: 1",
        "Upgrade-Insecure-Requests: 1",
        "X-Requested-With: XMLHttpRequest",
        "If-None-Match: \"5f3a-61a2b3c4d5e6f\"",
        "If-Modified-Since: Mon, 07 Dec 2026 10:00:00 GMT",
        "Proxy-Authorization: Basic dXNlcjpzZWNyZXQ=",
    };
    for (const char* line : lines) {
        head += line;
        head += "\r\n";
    }
    head += "\r\n";
    return head;
}

// Hands out the same text again and again, a segment per receive, like a
// peer that keeps sending requests.
class TReplayTransport : public TIdIOHandler {
public:
    TReplayTransport(std::string text, size_t segment) : text_(std::move(text)), segment_(segment) {
        OpenChannel();
    }

    int32_t FillFromSource(bool, int32_t, bool) override {
        const size_t count = std::min(segment_, text_.size() - offset_);
        InputQueue()->AppendData(reinterpret_cast<const uint8_t*>(text_.data() + offset_),
                                 static_cast<int32_t>(count));
        offset_ = (offset_ + count) % text_.size();
        return static_cast<int32_t>(count);
    }
    void CheckClosed(bool, bool) override {}
    void PollSource(int32_t) override {}
    bool IsConnected() override { return true; }

private:
    std::string text_;
    size_t segment_;
    size_t offset_ = 0;
};

void BM_ReadRequestHeadLines(benchmark::State& state) {
    vtltest::TStackUse stack;
    const std::string head = RequestHead();
    TReplayTransport io(head, static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        for (;;) {
            std::string line = io.ReadLine();
            if (line.empty()) {
                break;
            }
            benchmark::DoNotOptimize(line);
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(head.size()));
}
// A whole head per receive (the usual case) and one TCP segment's worth.
BENCHMARK(BM_ReadRequestHeadLines)->Arg(1 << 16)->Arg(536);

void BM_CaptureHeaderBlock(benchmark::State& state) {
    vtltest::TStackUse stack;
    const std::string head = RequestHead();
    TReplayTransport io(head, head.size());
    for (auto _ : state) {
        io.ReadLine();  // the request line
        TIdHeaderList headers;
        io.CaptureLines(headers, "", true);
        benchmark::DoNotOptimize(headers.Count());
    }
}
BENCHMARK(BM_CaptureHeaderBlock);

void BM_BufferAppendTake(benchmark::State& state) {
    vtltest::TStackUse stack;
    TIdBuffer buffer;
    const std::vector<uint8_t> chunk(static_cast<size_t>(state.range(0)), 'x');
    TIdBytes out;
    for (auto _ : state) {
        buffer.AppendData(chunk.data(), static_cast<int32_t>(chunk.size()));
        buffer.AppendData(chunk.data(), static_cast<int32_t>(chunk.size()));
        buffer.TakeBytes(out, static_cast<int32_t>(chunk.size()), false);
        buffer.TakeBytes(out, -1, false);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 2 * state.range(0));
}
BENCHMARK(BM_BufferAppendTake)->Arg(64)->Arg(1460)->Arg(32768);

// Short lines taken one by one from a large received chunk: every 2 KiB
// taken, the buffer moves what it still holds to a fresh array.
void BM_BufferShortLinesFromLargeChunk(benchmark::State& state) {
    vtltest::TStackUse stack;
    std::string text;
    while (text.size() < 32768) {
        text += "a line of text of about forty bytes...\r\n";
    }
    for (auto _ : state) {
        TIdBuffer buffer;
        buffer.AppendData(reinterpret_cast<const uint8_t*>(text.data()), static_cast<int32_t>(text.size()));
        while (buffer.Used() > 0) {
            const int32_t end = buffer.FindText("\n");
            benchmark::DoNotOptimize(buffer.TakeText(end < 0 ? -1 : end + 1));
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_BufferShortLinesFromLargeChunk);

void BM_HeaderLookup(benchmark::State& state) {
    TIdHeaderList headers;
    const std::string head = RequestHead();
    size_t start = head.find("\r\n") + 2;
    for (size_t end; (end = head.find("\r\n", start)) != start; start = end + 2) {
        headers.Add(head.substr(start, end - start));
    }
    headers.Add("Content-Length: 1234");
    for (auto _ : state) {
        benchmark::DoNotOptimize(headers.ValueOf("Content-Length"));
        benchmark::DoNotOptimize(headers.ValueOf("proxy-authorization"));
    }
}
BENCHMARK(BM_HeaderLookup);

void BM_URIParse(benchmark::State& state) {
    const std::string target = "http://www.example.com:8080/images/gallery/2026/logo.png?size=large&fmt=webp#top";
    for (auto _ : state) {
        TIdURI uri(target);
        benchmark::DoNotOptimize(uri.Directory() + uri.LeafName() + uri.QueryPart());
    }
}
BENCHMARK(BM_URIParse);

void BM_Base64Decode(benchmark::State& state) {
    const std::string text = "dXNlcm5hbWUtb2YtYS1sb25nZXItc29ydDpBbmQgYSBwYXNzd29yZCB0aGF0IGlzIG5vdCBzaG9ydA==";
    for (auto _ : state) {
        benchmark::DoNotOptimize(DecodeBase64Text(text));
    }
}
BENCHMARK(BM_Base64Decode);

void BM_CredentialCheck(benchmark::State& state) {
    const std::string user = "user";
    const std::string password = "secret";
    for (auto _ : state) {
        benchmark::DoNotOptimize(IsProxyAuthorized("Basic dXNlcjpzZWNyZXQ=", user, password));
    }
}
BENCHMARK(BM_CredentialCheck);

// A body of known length into a stream as receives put it there (straight
// into the stream's memory), then out again as sends take it.
void BM_BodyThroughStream(benchmark::State& state) {
    const auto size = static_cast<int64_t>(state.range(0));
    constexpr int64_t Receive = 32768;
    std::vector<uint8_t> wire(static_cast<size_t>(Receive), 'b');
    for (auto _ : state) {
        TMemoryStream stream;
        stream.SetSize(size);
        for (int64_t done = 0; done < size;) {
            const std::span<uint8_t> area = stream.PrepareWrite(std::min(Receive, size - done));
            std::memcpy(area.data(), wire.data(), area.size());
            stream.CommitWrite(static_cast<int64_t>(area.size()));
            done += static_cast<int64_t>(area.size());
        }
        stream.SetPosition(0);
        for (int64_t done = 0; done < size;) {
            const std::span<const uint8_t> held = stream.PeekRead(Receive);
            benchmark::DoNotOptimize(held.data());
            stream.SetPosition(stream.Position() + static_cast<int64_t>(held.size()));
            done += static_cast<int64_t>(held.size());
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}
BENCHMARK(BM_BodyThroughStream)->Arg(100)->Arg(64 * 1024)->Arg(4 * 1024 * 1024);

// What the status figures add to each finished request: the counting of its
// record, on one thread and on two at once (the counters are shared).
void BM_CountRequestRecord(benchmark::State& state) {
    static TMetrics metrics;
    TIdRequestRecord record;
    record.method = "GET";
    record.status = 200;
    record.bytesToClient = 5120;
    record.bytesFromClient = 480;
    record.durationMs = 42;
    for (auto _ : state) {
        metrics.Count(record);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_CountRequestRecord)->Threads(1)->Threads(2);

}  // namespace

BENCHMARK_MAIN();
