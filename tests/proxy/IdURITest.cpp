// Tests of TIdURI: a table of request targets with their expected split, and
// a sweep over short hostile texts that must always split without faults.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "proxy/IdURI.h"

namespace {

// The non-empty parts as "label=value" words; "ipv6" when bracketed.
std::string Split(const TIdURI& uri) {
    std::string result;
    const auto part = [&result](const char* label, const std::string& value) {
        if (!value.empty()) {
            result += (result.empty() ? "" : " ") + std::string(label) + "=" + value;
        }
    };
    part("scheme", uri.Scheme());
    part("user", uri.LoginName());
    part("pass", uri.LoginPassword());
    part("host", uri.HostName());
    part("port", uri.PortText());
    part("dir", uri.Directory());
    part("leaf", uri.LeafName());
    part("query", uri.QueryPart());
    part("frag", uri.Fragment());
    if (uri.AddressFamily() == Id_IPv6) {
        result += " ipv6";
    }
    return result;
}

struct UriCase {
    const char* name;
    const char* text;
    const char* split;
};

void PrintTo(const UriCase& c, std::ostream* os) {
    *os << c.text;
}

class URITable : public ::testing::TestWithParam<UriCase> {};

TEST_P(URITable, SplitsTarget) {
    const UriCase& c = GetParam();
    TIdURI uri(c.text);
    EXPECT_EQ(Split(uri), c.split);
    EXPECT_EQ(uri.FullText(), TIdURI::NormalizeSlashes(c.text));
}

TEST_P(URITable, SetTextForgetsEarlierParse) {
    const UriCase& c = GetParam();
    TIdURI uri("ftp://u:p@[::2]:21/old/doc?x#y");
    uri.SetText(c.text);
    EXPECT_EQ(Split(uri), c.split);
}

const UriCase kUriCases[] = {
    {"QueryAndFragment", "http://origin1:8080/dir/page.html?a=1#top",
     "scheme=http host=origin1 port=8080 dir=/dir/ leaf=page.html query=?a=1 frag=top"},
    {"HostOnlyNoSlash", "http://origin1", "scheme=http host=origin1 dir=/"},
    {"HostPortNoSlash", "http://origin1:81", "scheme=http host=origin1 port=81 dir=/"},
    {"SchemeCaseKept", "HTTP://Origin1/", "scheme=HTTP host=Origin1 dir=/"},
    {"IPv6WithPort", "http://[::1]:81/x", "scheme=http host=::1 port=81 dir=/ leaf=x ipv6"},
    {"IPv6NoPort", "http://[fe80::1]/", "scheme=http host=fe80::1 dir=/ ipv6"},
    {"EmptyBrackets", "http://[]:5/", "scheme=http port=5 dir=/ ipv6"},
    {"UserAndPassword", "http://user:pw@origin1/a",
     "scheme=http user=user pass=pw host=origin1 dir=/ leaf=a"},
    {"PasswordWithoutUser", "http://:pw@origin1/", "scheme=http host=origin1 dir=/"},
    {"UserWithoutPassword", "http://user@origin1:8080/",
     "scheme=http user=user host=origin1 port=8080 dir=/"},
    {"FirstAtSplitsUserInfo", "http://a@b@host/", "scheme=http user=a host=b@host dir=/"},
    {"EqualsWithoutQuestionMark", "http://h/cgi/run=1/x",
     "scheme=http host=h dir=/cgi/ leaf=run query==1/x"},
    {"QuestionMarkBeatsEarlierEquals", "http://h/a=b/c?d=e",
     "scheme=http host=h dir=/a=b/ leaf=c query=?d=e"},
    {"FragmentInLeaf", "http://h/p#f", "scheme=http host=h dir=/ leaf=p frag=f"},
    {"FragmentBeforeQuery", "http://h/p#f?x", "scheme=http host=h dir=/ leaf=p query=?x frag=f"},
    {"EmptyQuery", "http://h/d/?", "scheme=http host=h dir=/d/ query=?"},
    {"Backslashes", "http:\\\\h\\dir\\file", "scheme=http host=h dir=/dir/ leaf=file"},
    {"BackslashInQuery", "http://h/a?x=\\y", "scheme=http host=h dir=/ leaf=a query=?x=/y"},
    {"PortNotValidated", "http://h:80:90/", "scheme=http host=h port=80:90 dir=/"},
    {"Relative", "/a/b?c", "dir=/a/ leaf=b query=?c"},
    {"RelativeWithFragment", "/a?b#c", "dir=/ leaf=a query=?b frag=c"},
    // Only an absolute target has its document's fragment split off.
    {"RelativeFragmentStaysInLeaf", "/a/b#c", "dir=/a/ leaf=b#c"},
    {"RelativeNoSlash", "page.html", "leaf=page.html"},
    // Only a scheme at the start makes a target absolute.
    {"SchemeSeparatorInRelativeQuery", "/go?u=http://x/y", "dir=/ leaf=go query=?u=http://x/y"},
    {"SchemeSeparatorInPath", "/://127.0.0.1:3128/x", "dir=/://127.0.0.1:3128/ leaf=x"},
    {"SchemeWithDigitsAndSigns", "svn+ssh.2-x://h/", "scheme=svn+ssh.2-x host=h dir=/"},
    {"SchemeStartingWithDigit", "2http://h/", "dir=2http://h/"},
    {"Empty", "", ""},
    {"SchemeSeparatorOnly", "://", "dir=://"},
    {"UnbalancedBracket", "http://[::1/x", "scheme=http host=[ port=:1 dir=/ leaf=x"},
    {"CloseBracketFirst", "http://a]b[c:80/", "scheme=http host=a]b[c port=80 dir=/"},
    {"LoneAt", "http://@/", "scheme=http dir=/"},
    {"LoneAtNoSlash", "http://@", "scheme=http dir=/"},
    {"OnlyHashAndQuery", "?#", "query=?"},
};

INSTANTIATE_TEST_SUITE_P(Targets, URITable, ::testing::ValuesIn(kUriCases),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(URI, DefaultIsEmptyIPv4) {
    TIdURI uri;
    EXPECT_EQ(Split(uri), "");
    EXPECT_EQ(uri.FullText(), "");
}

// Every text of up to four characters from the parser's delimiters must
// split without faults (run under ASan/UBSan) and keep the part invariants
// the forwarding handler relies on.
TEST(URI, ShortHostileTextsKeepInvariants) {
    const std::string alphabet = ":/[]@?=#\\a";
    std::vector<std::string> texts{""};
    for (std::size_t begin = 0, length = 1; length <= 4; ++length) {
        const std::size_t end = texts.size();
        for (std::size_t i = begin; i < end; ++i) {
            for (char c : alphabet) {
                texts.push_back(texts[i] + c);
            }
        }
        begin = end;
    }
    TIdURI uri;
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        ASSERT_NO_THROW(uri.SetText(text));
        EXPECT_EQ(uri.FullText().find('\\'), std::string::npos);
        EXPECT_EQ(uri.LeafName().find('/'), std::string::npos);
        if (!uri.Directory().empty()) {
            EXPECT_EQ(uri.Directory().back(), '/');
        }
        if (!uri.Scheme().empty()) {
            EXPECT_EQ(uri.Directory().front(), '/');
            EXPECT_EQ(uri.FullText().find(uri.Scheme() + "://"), 0u);
        }
        if (!uri.QueryPart().empty()) {
            EXPECT_TRUE(uri.QueryPart().front() == '?' || uri.QueryPart().front() == '=');
        }
        if (uri.LoginName().empty()) {
            EXPECT_EQ(uri.LoginPassword(), "");
        }
    }
}

}  // namespace
