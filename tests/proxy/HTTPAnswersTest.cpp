// Tests of the proxy's own answers: a head that frames the page exactly,
// and a page that shows the target as text, whatever bytes it holds.
#include <gtest/gtest.h>

#include <string>

#include "proxy/HTTPAnswers.h"
#include "tests/proxy/ProxyTestSupport.h"

namespace {

TEST(ProxyAnswerTest, HeadAndPageAgreeAndTheTargetIsEscaped) {
    const std::string answer =
        ProxyAnswer(407, "http://h/<script>\"&'\x01\xC3", "no credentials", ProxyAuthenticateLine);
    const size_t end = answer.find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos);
    const std::string head = answer.substr(0, end + 2);
    const std::string page = answer.substr(end + 4);
    EXPECT_EQ(head,
              "HTTP/1.0 407 Proxy Authentication Required\r\n" + std::string(ProxyAuthenticateLine) +
                  "Content-Type: text/html; charset=us-ascii\r\nContent-Length: " + std::to_string(page.size()) +
                  "\r\nConnection: close\r\n");
    EXPECT_NE(page.find("http://h/&lt;script&gt;&quot;&amp;&#39;%01%C3"), std::string::npos) << page;
    EXPECT_NE(page.find("no credentials"), std::string::npos) << page;
    EXPECT_EQ(page.find('<', page.find("<code>") + 6), page.find("</code>"));
}

}  // namespace
