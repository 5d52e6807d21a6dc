// GitPushTest: a `git push` of about 3 MB over smart HTTP to a local git
// server (nginx, fcgiwrap and git http-backend; see GitServer.h), straight
// and through the real program. git sends a request body larger than its
// http.postBuffer (1 MiB by default) as a chunked POST, so a push through
// the proxy depends on chunked request bodies being forwarded; and a git
// whose push failed that way may still print "Everything up-to-date", so
// the cases look into the server's repository as well.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/e2e/GitServer.h"
#include "tests/e2e/ProgramFixture.h"

namespace e2e {
namespace {

// Random, so that git's compression cannot bring it under http.postBuffer.
constexpr size_t PushBytes = 3'000'000;
// Such a push takes well under a second on loopback.
constexpr Ms PushLimit{60000};

std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

class GitPushTest : public ProgramTest {
protected:
    void SetUp() override {
        server_ = std::make_unique<TGitHttpServer>();
        if (!server_->Available()) {
            GTEST_SKIP() << server_->SkipReason();
        }
        ASSERT_TRUE(server_->Started()) << server_->Error();
        ASSERT_NO_FATAL_FAILURE(CommitRandomBytes());
    }

    // git in the work tree, blind to the machine's git and proxy settings.
    TToolResult Git(const std::vector<std::string>& arguments, Ms limit = ToolLimit) const {
        std::vector<std::string> argv{"git", "-C", work_.Path()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return RunTool(argv, IsolatedGitEnvironment(home_.Path()), limit);
    }

    // The commit the server's branch main names; empty when there is none.
    std::string ServerMain() const {
        const TToolResult git = RunTool(
            {"git", "--git-dir=" + server_->RepositoryDir(), "rev-parse", "--verify", "--quiet", "refs/heads/main"},
            IsolatedGitEnvironment(home_.Path()));
        return FirstLine(git.out);
    }

    std::unique_ptr<TGitHttpServer> server_;
    std::string commit_;

private:
    void CommitRandomBytes() {
        std::mt19937_64 random{std::random_device{}()};
        std::string bytes(PushBytes, '\0');
        for (char& byte : bytes) {
            byte = static_cast<char>(random());
        }
        WriteWholeFile(work_.File("random.bin"), bytes);
        const std::vector<std::vector<std::string>> commands{
            {"-c", "init.defaultBranch=main", "init", "--quiet"},
            {"add", "random.bin"},
            {"-c", "user.name=Vantrel Test", "-c", "user.email=test@vantrel.invalid", "commit", "--quiet", "-m",
             "3 MB of random bytes"},
            {"rev-parse", "HEAD"}};
        TToolResult git;
        for (const std::vector<std::string>& command : commands) {
            git = Git(command);
            ASSERT_TRUE(git.finished && git.exitCode == 0) << "git " << command.back() << ": " << git.err;
        }
        commit_ = FirstLine(git.out);
    }

    TTempDir home_;
    TTempDir work_;
};

TEST_F(GitPushTest, GitPushStraightToTheServerSucceeds) {
    const TToolResult push = Git({"push", server_->RepositoryUrl(), "main"}, PushLimit);

    ASSERT_TRUE(push.finished) << "git push did not end in time";
    EXPECT_EQ(push.exitCode, 0) << push.err;
    EXPECT_EQ(ServerMain(), commit_) << push.err;
    // The body went chunked, the way it must pass the proxy below.
    EXPECT_NE(server_->AccessLog().find("POST /repo.git/git-receive-pack 200 te=chunked cl="), std::string::npos)
        << server_->AccessLog();
}

TEST_F(GitPushTest, GitPushThroughTheProxySucceeds) {
    ASSERT_NO_FATAL_FAILURE(StartProxy());

    // http.postBuffer keeps its default, so the pack goes chunked.
    const TToolResult push =
        Git({"-c", "http.proxy=" + ProxyUrl(), "push", server_->RepositoryUrl(), "main"}, PushLimit);

    ASSERT_TRUE(push.finished) << "git push did not end in time";
    EXPECT_EQ(push.exitCode, 0) << push.err;
    EXPECT_EQ(ServerMain(), commit_) << "git printed:\n" << push.err;
    // The requests went through the proxy rather than straight to nginx.
    EXPECT_TRUE(WaitUntil([&] { return LogOutput().find("Request: 127.0.0.1") != std::string::npos; }))
        << LogOutput();
}

}  // namespace
}  // namespace e2e

#endif  // _WIN32
