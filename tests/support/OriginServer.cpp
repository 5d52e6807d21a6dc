// TOriginServer: accepting, the scripts' threads, the records, and the
// scripts that tests share.
#include "tests/support/OriginServer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <exception>
#include <sstream>

#include "base/IdException.h"

namespace vtltest {

namespace {

std::string WordAt(const std::string& line, int index) {
    std::istringstream words(line);
    std::string word;
    for (int i = 0; i <= index; ++i) {
        if (!(words >> word)) {
            return {};
        }
    }
    return word;
}

bool HasWholeHead(const std::string& s) { return s.find("\r\n\r\n") != std::string::npos; }

}  // namespace

// ---------------------------------------------------------- TOriginConnection

TOriginConnection::TOriginConnection(TLoopbackSocket socket, TOriginServer& server)
    : TLoopbackSocket(std::move(socket)), server_(server) {
    StopWaitingWhen(&server.stopping_);
}

void TOriginConnection::OnReceived(std::string_view bytes) {
    std::scoped_lock lock(lock_);
    received_.append(bytes);
}

std::string TOriginConnection::Received() const {
    std::scoped_lock lock(lock_);
    return received_;
}

std::string TOriginConnection::Untaken() const {
    std::scoped_lock lock(lock_);
    return received_.substr(taken_);
}

bool TOriginConnection::ReadUntil(const std::function<bool(const std::string&)>& done, Ms wait) {
    const auto deadline = After(wait);
    std::string snapshot = Received();
    std::string chunk;
    while (!done(snapshot) && state_ == TEnd::TimedOut && Clock::now() < deadline && !server_.stopping_) {
        chunk.clear();
        TEnd end = TEnd::TimedOut;
        if (ReceiveSome(chunk, deadline, end) == 0) {
            state_ = end;
        }
        snapshot = Received();
    }
    return done(snapshot);
}

bool TOriginConnection::ReadHead(Ms wait) { return ReadUntil(HasWholeHead, wait); }

bool TOriginConnection::ReadCount(size_t count, Ms wait) {
    return ReadUntil([count](const std::string& s) { return s.size() >= count; }, wait);
}

bool TOriginConnection::ReadToClose(Ms wait) {
    ReadUntil([](const std::string&) { return false; }, wait);
    return PeerClosed();
}

bool TOriginConnection::ReadRequest(Ms wait) {
    const auto deadline = After(wait);
    if (!ReadHead(wait)) {
        return false;
    }
    const std::string head = Received();
    const size_t headLength = head.find("\r\n\r\n") + 4;
    return ReadCount(headLength + RequestBodyLength(std::string_view(head).substr(0, headLength)),
                     std::chrono::duration_cast<Ms>(deadline - Clock::now()));
}

std::string TOriginConnection::ReadLine(Ms wait) {
    std::string line;
    ReadUntil([this, &line](const std::string& s) {
        std::string pending = s.substr(taken_);
        return TakeLine(pending, line);
    }, wait);
    std::string pending = Untaken();
    if (!TakeLine(pending, line)) {
        throw EIdException("origin connection: no whole line came");
    }
    std::scoped_lock lock(lock_);
    taken_ = received_.size() - pending.size();
    return line;
}

std::string TOriginConnection::ReadExactly(size_t count, Ms wait) {
    ReadUntil([this, count](const std::string& s) { return s.size() - taken_ >= count; }, wait);
    std::scoped_lock lock(lock_);
    if (received_.size() - taken_ < count) {
        throw EIdException("origin connection: " + std::to_string(received_.size() - taken_) + " of " +
                           std::to_string(count) + " bytes came");
    }
    taken_ += count;
    return received_.substr(taken_ - count, count);
}

std::string TOriginConnection::ReadUntilClose(Ms wait) {
    if (!ReadToClose(wait)) {
        throw EIdException("origin connection: the client did not close");
    }
    std::scoped_lock lock(lock_);
    const size_t from = taken_;
    taken_ = received_.size();
    return received_.substr(from);
}

void TOriginConnection::RequestArrived() { server_.Arrived(); }

// ------------------------------------------------------------ requests

size_t RequestBodyLength(std::string_view head) {
    constexpr std::string_view Field = "\r\ncontent-length:";
    auto lower = [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); };
    for (size_t at = 0; at + Field.size() <= head.size(); ++at) {
        size_t i = 0;
        while (i < Field.size() && lower(head[at + i]) == Field[i]) {
            ++i;
        }
        if (i == Field.size()) {
            return static_cast<size_t>(std::strtoul(std::string(head.substr(at + i, 24)).c_str(), nullptr, 10));
        }
    }
    return 0;
}

bool ParseRequest(const std::string& bytes, TOriginRequest& request) {
    const size_t headEnd = bytes.find("\r\n\r\n");
    if (headEnd == std::string::npos) {
        return false;
    }
    request = {};
    std::istringstream head(bytes.substr(0, headEnd));
    std::getline(head, request.requestLine);
    if (!request.requestLine.empty() && request.requestLine.back() == '\r') {
        request.requestLine.pop_back();
    }
    for (std::string line; std::getline(head, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        request.headers.push_back(line);
    }
    const size_t bodyLength = RequestBodyLength(std::string_view(bytes).substr(0, headEnd + 4));
    request.body = bytes.substr(headEnd + 4, bodyLength);
    return true;
}

// -------------------------------------------------------------- TOriginServer

TOriginServer::TOriginServer(TScript script, TOriginOptions options)
    : script_(std::move(script)), keepRecords_(options.keepRecords) {
    listener_ = TLoopbackSocket::Listen(options.address, 0, 1024);
    port_ = listener_.LocalPort();
    if (!listener_.Valid() || port_ <= 0) {
        throw EIdException("origin server: cannot listen on " + options.address);
    }
    if (options.alsoIPv6) {
        ipv6Listener_ = TLoopbackSocket::Listen("::1", port_, 1024);
    }
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

std::string TOriginServer::Url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

bool TOriginServer::WaitFinished(size_t count, Ms wait) {
    std::unique_lock lock(lock_);
    return changed_.wait_for(lock, wait, [&] { return finished_ >= count; });
}

std::string TOriginServer::Received(size_t index, Ms wait) {
    if (!WaitFinished(index + 1, wait)) {
        return "<script of connection " + std::to_string(index) + " still running>";
    }
    std::scoped_lock lock(lock_);
    if (index >= connections_.size()) {
        return "<no connection>";
    }
    return connections_[index] ? connections_[index]->Received() : std::string("<not kept>");
}

std::vector<TOriginRequest> TOriginServer::Requests() const {
    std::vector<TOriginRequest> requests;
    std::scoped_lock lock(lock_);
    for (const auto& connection : connections_) {
        TOriginRequest request;
        if (connection && ParseRequest(connection->Received(), request)) {
            requests.push_back(std::move(request));
        }
    }
    return requests;
}

std::string TOriginServer::Errors() const {
    std::scoped_lock lock(lock_);
    return errors_;
}

void TOriginServer::HoldAnswersUntil(size_t requestCount) {
    std::scoped_lock lock(lock_);
    holdUntil_ = requestCount;
}

void TOriginServer::Arrived() {
    std::unique_lock lock(lock_);
    ++arrived_;
    changed_.notify_all();
    changed_.wait_for(lock, Ms{5000}, [this] { return arrived_ >= holdUntil_ || stopping_.load(); });
}

size_t TOriginServer::StopAndCount() {
    stopAccepting_ = true;
    if (acceptor_.joinable()) {
        acceptor_.join();
    }
    for (const TLoopbackSocket* listener : {&listener_, &ipv6Listener_}) {
        while (listener->Valid() && listener->WaitReadable(Clock::now())) {
            if (!AcceptFrom(*listener)) {
                break;
            }
        }
    }
    return Connections();
}

void TOriginServer::Stop() {
    StopAndCount();
    {
        // Under the lock, so that no held answer misses the wake-up.
        std::scoped_lock lock(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    std::unique_lock lock(lock_);
    changed_.wait(lock, [this] { return running_ == 0; });
    lock.unlock();
    listener_.Close();
    ipv6Listener_.Close();
}

void TOriginServer::AcceptLoop() {
    const TIdStackSocketHandle handles[2] = {listener_.Handle(), ipv6Listener_.Handle()};
    const int32_t count = ipv6Listener_.Valid() ? 2 : 1;
    while (!stopAccepting_) {
        try {
            if (!TIdStack::Instance().WaitReadable(handles, count, 20)) {
                continue;
            }
        } catch (const EIdException&) {
            continue;
        }
        for (const TLoopbackSocket* listener : {&listener_, &ipv6Listener_}) {
            if (listener->Valid() && listener->WaitReadable(Clock::now())) {
                AcceptFrom(*listener);
            }
        }
    }
}

bool TOriginServer::AcceptFrom(const TLoopbackSocket& listener) {
    TLoopbackSocket accepted = listener.Accept();
    if (!accepted.Valid()) {
        return false;
    }
    auto connection = std::make_unique<TOriginConnection>(std::move(accepted), *this);
    TOriginConnection* raw = connection.get();
    std::scoped_lock lock(lock_);
    const size_t index = connections_.size();
    connections_.push_back(std::move(connection));
    ++accepted_;
    if (stopAccepting_) {
        // Only counted: the server is going away.
        ++finished_;
        return true;
    }
    ++running_;
    std::thread([this, raw, index] { RunScript(raw, index); }).detach();
    return true;
}

void TOriginServer::RunScript(TOriginConnection* connection, size_t index) {
    std::string error;
    try {
        script_(*connection);
    } catch (const std::exception& e) {
        error = e.what();
        ADD_FAILURE() << "origin script: " << error;
    }
    connection->Close();
    std::scoped_lock lock(lock_);
    if (!error.empty()) {
        errors_ += error + "\n";
    }
    if (!keepRecords_) {
        connections_[index].reset();
    }
    ++finished_;
    --running_;
    changed_.notify_all();
}

// ------------------------------------------------------------------ scripts

TOriginServer::TScript TOriginServer::Reply(std::string response) {
    return [response = std::move(response)](TOriginConnection& c) {
        if (!c.ReadRequest()) {
            return;
        }
        c.Send(response);
        c.ShutdownSending();
        c.ReadToClose();
    };
}

std::string TOriginServer::BodyFor(const std::string& path) {
    if (path.rfind("/size/", 0) == 0) {
        const int size = std::atoi(path.c_str() + 6);
        std::string body;
        for (int i = 0; i < size; ++i) {
            body += static_cast<char>('a' + i % 26);
        }
        return body;
    }
    return OriginGreeting;
}

TOriginServer::TScript TOriginServer::HttpAnswers() {
    return [](TOriginConnection& c) {
        const Ms limit{5000};
        if (!c.ReadHead(limit)) {
            return;
        }
        c.ReadRequest(limit);
        TOriginRequest request;
        ParseRequest(c.Received(), request);
        const std::string method = WordAt(request.requestLine, 0);
        const std::string target = WordAt(request.requestLine, 1);
        const std::string body = method == "POST" ? "posted:" + request.body : BodyFor(target);
        const bool withLength = target.find("nolength") == std::string::npos;
        std::string answer = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n" +
                             (withLength ? "Content-Length: " + std::to_string(body.size()) + "\r\n" : std::string()) +
                             "Connection: close\r\nX-Origin: vtl-e2e\r\n\r\n";
        if (method != "HEAD") {
            answer += body;
        }
        c.RequestArrived();
        c.Send(answer, limit);
        // Closing with unread input would reset the connection and could
        // destroy the answer in flight: end the sending side and wait
        // (bounded) for the peer to close first.
        c.ShutdownSending();
        c.ReadToClose(limit);
    };
}

}  // namespace vtltest
