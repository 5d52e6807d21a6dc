// IdURI: the request-target splitter of the forwarding handlers. Every cut
// goes through FindSubText/CutField and std::string bounds, so hostile
// targets (stray brackets, lone "@", no slash) still yield some split.
#include "proxy/IdURI.h"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace {

// RFC 3986 3.1: a letter, then letters, digits, "+", "-" or ".".
bool IsScheme(std::string_view text) {
    auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (text.empty() || !letter(text[0])) {
        return false;
    }
    return std::all_of(text.begin(), text.end(), [&](char c) {
        return letter(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
    });
}

}  // namespace

TIdURI::TIdURI(std::string_view text) {
    if (!text.empty()) {
        SetText(text);
    }
}

std::string TIdURI::NormalizeSlashes(std::string_view text) {
    // Browsers on Windows send paths typed with backslashes as they are.
    std::string result(text);
    std::replace(result.begin(), result.end(), '\\', '/');
    return result;
}

void TIdURI::Clear() {
    leafName_.clear();
    scheme_.clear();
    fullText_.clear();
    portText_.clear();
    directory_.clear();
    hostName_.clear();
    fragment_.clear();
    loginName_.clear();
    loginPassword_.clear();
    queryPart_.clear();
    addressFamily_ = Id_IPv4;
}

void TIdURI::SetText(std::string_view text) {
    Clear();
    fullText_ = NormalizeSlashes(text);
    std::string rest = fullText_;

    // Only a scheme at the very start makes the target absolute: a "://"
    // further on belongs to the path or query ("/go?u=http://x/"). Taking
    // the first one anywhere let one request line name the proxy itself
    // again and again ("http://proxy/://proxy/://..."), one hop per "://".
    const int schemeEnd = FindSubText("://", rest);
    if (schemeEnd > 1 && IsScheme(std::string_view(rest).substr(0, static_cast<std::size_t>(schemeEnd - 1)))) {
        const auto schemeLength = static_cast<std::size_t>(schemeEnd - 1);
        scheme_ = rest.substr(0, schemeLength);
        rest.erase(0, schemeLength + 3);
        ParseAuthority(CutField(rest, "/"));
        ParsePath(rest, true);
        fragment_ = std::move(leafName_);
        leafName_ = CutField(fragment_, "#");
    } else {
        ParsePath(rest, false);
    }

    // A fragment after the query is still attached to QueryPart here.
    if (fragment_.empty()) {
        fragment_ = std::move(queryPart_);
        queryPart_ = CutField(fragment_, "#");
    }
}

void TIdURI::ParseAuthority(std::string authority) {
    const int at = FindSubText("@", authority);
    if (at > 0) {
        loginPassword_ = authority.substr(0, static_cast<std::size_t>(at - 1));
        authority.erase(0, static_cast<std::size_t>(at));
    }
    loginName_ = CutField(loginPassword_, ":");
    if (loginName_.empty()) {
        // ":secret@host" has no user to go with the password.
        loginPassword_.clear();
    }

    // Only a "]" behind the "[" marks an IPv6 literal; anything else falls
    // back to host:port so a stray bracket cannot misplace the cut.
    const int open = FindSubText("[", authority);
    const int close = FindSubText("]", authority);
    if (open > 0 && close > open) {
        hostName_ = CutField(authority, "]");
        hostName_.erase(0, static_cast<std::size_t>(FindSubText("[", hostName_)));
        CutField(authority, ":");
        addressFamily_ = Id_IPv6;
    } else {
        hostName_ = CutField(authority, ":");
    }
    portText_ = std::move(authority);
}

void TIdURI::ParsePath(const std::string& rest, bool absolute) {
    // Old CGI targets such as /cgi/run=1/x carry parameters without "?".
    int queryStart = FindSubText("?", rest);
    if (queryStart == 0) {
        queryStart = FindSubText("=", rest);
    }
    std::size_t slash;
    if (queryStart > 0) {
        slash = rest.rfind('/', static_cast<std::size_t>(queryStart - 1));
    } else {
        slash = rest.rfind('/');
    }
    const std::size_t directoryLength = slash == std::string::npos ? 0 : slash + 1;

    directory_ = absolute ? "/" : "";
    directory_.append(rest, 0, directoryLength);
    if (queryStart > 0) {
        const auto leafEnd = static_cast<std::size_t>(queryStart - 1);
        leafName_ = rest.substr(0, leafEnd);
        queryPart_ = rest.substr(leafEnd);
    } else {
        leafName_ = rest;
    }
    leafName_.erase(0, std::min(directoryLength, leafName_.size()));
}
