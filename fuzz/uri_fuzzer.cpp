// Fuzz target for the URI parser (TIdURI) that splits every forwarded
// request target: no input raises or reads out of bounds, every part equals
// a second, index-based reading of the splitting rules, and the parts put
// back together give the path of the target exactly (no byte lost or added
// except the separators the rules drop).
#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "proxy/IdURI.h"

namespace {

struct Parts {
    std::string scheme, loginName, loginPassword, hostName, portText;
    std::string directory, leafName, queryPart, fragment, fullText;
    bool ipv6 = false;
};

bool operator==(const Parts& a, const Parts& b) {
    return a.scheme == b.scheme && a.loginName == b.loginName && a.loginPassword == b.loginPassword &&
           a.hostName == b.hostName && a.portText == b.portText && a.directory == b.directory &&
           a.leafName == b.leafName && a.queryPart == b.queryPart && a.fragment == b.fragment &&
           a.fullText == b.fullText && a.ipv6 == b.ipv6;
}

std::string Show(const Parts& p) {
    const auto field = [](const char* label, const std::string& value) {
        return std::string(label) + "=\"" + fuzz::Escaped(value) + "\" ";
    };
    return field("scheme", p.scheme) + field("user", p.loginName) + field("pass", p.loginPassword) +
           field("host", p.hostName) + field("port", p.portText) + field("dir", p.directory) +
           field("leaf", p.leafName) + field("query", p.queryPart) + field("frag", p.fragment) +
           (p.ipv6 ? "ipv6" : "ipv4");
}

Parts Actual(const TIdURI& uri) {
    return Parts{uri.Scheme(),    uri.LoginName(), uri.LoginPassword(), uri.HostName(),
                 uri.PortText(),  uri.Directory(), uri.LeafName(),      uri.QueryPart(),
                 uri.Fragment(),  uri.FullText(),  uri.AddressFamily() == Id_IPv6};
}

// text before / after the first occurrence of a character (all / nothing
// when it does not occur).
std::string Before(const std::string& text, char c) { return text.substr(0, text.find(c)); }
std::string After(const std::string& text, char c) {
    const size_t at = text.find(c);
    return at == std::string::npos ? std::string() : text.substr(at + 1);
}

Parts Reference(std::string_view text) {
    Parts p;
    for (const char c : text) {
        p.fullText += c == '\\' ? '/' : c;
    }
    std::string rest = p.fullText;
    // Absolute only when the first "://" ends a scheme that starts the text:
    // a letter, then letters, digits, '+', '-' or '.'.
    const size_t schemeEnd = rest.find("://");
    bool absolute = schemeEnd != std::string::npos && schemeEnd > 0 && std::isalpha(static_cast<unsigned char>(rest[0]));
    for (size_t i = 0; absolute && i < schemeEnd; ++i) {
        const auto c = static_cast<unsigned char>(rest[i]);
        absolute = std::isalnum(c) || c == '+' || c == '-' || c == '.';
    }
    if (absolute) {
        p.scheme = rest.substr(0, schemeEnd);
        rest = rest.substr(schemeEnd + 3);
        std::string authority = Before(rest, '/');
        rest = After(rest, '/');
        const size_t at = authority.find('@');
        if (at != std::string::npos) {
            const std::string userInfo = authority.substr(0, at);
            authority = authority.substr(at + 1);
            p.loginName = Before(userInfo, ':');
            p.loginPassword = p.loginName.empty() ? "" : After(userInfo, ':');
        }
        const size_t open = authority.find('[');
        const size_t close = authority.find(']');
        if (open != std::string::npos && close != std::string::npos && close > open) {
            p.hostName = authority.substr(open + 1, close - open - 1);
            p.portText = After(authority.substr(close + 1), ':');
            p.ipv6 = true;
        } else {
            p.hostName = Before(authority, ':');
            p.portText = After(authority, ':');
        }
    }
    size_t query = rest.find('?');
    if (query == std::string::npos) {
        query = rest.find('=');
    }
    const size_t slash = rest.rfind('/', query);  // npos as the limit searches the whole text
    const size_t leafStart = slash == std::string::npos ? 0 : slash + 1;
    p.directory = (absolute ? "/" : "") + rest.substr(0, leafStart);
    const size_t leafEnd = query == std::string::npos ? rest.size() : query;
    p.leafName = rest.substr(leafStart, leafEnd - leafStart);
    p.queryPart = query == std::string::npos ? "" : rest.substr(query);
    if (absolute) {
        p.fragment = After(p.leafName, '#');
        p.leafName = Before(p.leafName, '#');
    }
    if (p.fragment.empty()) {
        p.fragment = After(p.queryPart, '#');
        p.queryPart = Before(p.queryPart, '#');
    }
    return p;
}

// The path the parts describe: the text after the authority for an absolute
// target (with the slash that ends the authority), the whole text for a
// relative one. The rules drop a "#" that has nothing after it, and a
// fragment split off the document comes before the query, so the parts are
// tried in each order the rules can produce.
bool Reassembles(const Parts& p, const std::string& path) {
    const std::string head = p.directory + p.leafName;
    const std::string tail = p.fragment.empty() ? "" : "#" + p.fragment;
    for (const char* leafHash : {"", "#"}) {
        for (const char* endHash : {"", "#"}) {
            if (!p.fragment.empty() && *endHash != '\0') {
                continue;
            }
            if (head + leafHash + p.queryPart + tail + endHash == path) {
                return true;
            }
        }
    }
    return !p.fragment.empty() && head + tail + p.queryPart == path;
}

void Check(std::string_view text, TIdURI& reused) {
    const TIdURI fresh(text);
    reused.SetText(text);
    const Parts actual = Actual(fresh);
    const Parts expected = Reference(text);
    const std::string context = "text \"" + fuzz::Escaped(text) + "\"\n    got      " + Show(actual) +
                                "\n    expected " + Show(expected);
    FUZZ_CHECK(actual == expected, context);
    FUZZ_CHECK(Actual(reused) == actual, context + "\n    after reuse " + Show(Actual(reused)));

    // Properties the forwarding handler relies on.
    FUZZ_CHECK(actual.fullText.size() == text.size() && actual.fullText.find('\\') == std::string::npos, context);
    FUZZ_CHECK(actual.hostName.find('/') == std::string::npos && actual.portText.find('/') == std::string::npos,
               context);
    FUZZ_CHECK(actual.leafName.find_first_of("/?") == std::string::npos, context);
    FUZZ_CHECK(actual.directory.empty() || actual.directory.back() == '/', context);
    FUZZ_CHECK(actual.queryPart.empty() || actual.queryPart[0] == '?' || actual.queryPart[0] == '=', context);
    FUZZ_CHECK(!actual.loginName.empty() || actual.loginPassword.empty(), context);

    // Only a scheme that starts the text makes it absolute, and a scheme is
    // never empty.
    const size_t schemeEnd = actual.fullText.find("://");
    std::string path = actual.fullText;
    if (!actual.scheme.empty()) {
        FUZZ_CHECK(schemeEnd == actual.scheme.size() && actual.fullText.compare(0, schemeEnd, actual.scheme) == 0 &&
                       actual.directory[0] == '/' &&
                       actual.leafName.find('#') == std::string::npos,
                   context);
        const size_t slash = actual.fullText.find('/', schemeEnd + 3);
        path = slash == std::string::npos ? "/" : actual.fullText.substr(slash);
    } else {
        FUZZ_CHECK(actual.scheme.empty() && actual.hostName.empty() && actual.portText.empty() && !actual.ipv6,
                   context);
    }
    FUZZ_CHECK(Reassembles(actual, path), context + "\n    path \"" + fuzz::Escaped(path) + "\"");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A parser reused for another target must forget the earlier one.
    static TIdURI reused("ftp://u:p@[::2]:21/old/doc?x=1#frag");
    Check(std::string_view(reinterpret_cast<const char*>(data), size), reused);
    return 0;
}
