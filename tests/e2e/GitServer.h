// TGitHttpServer: a smart-HTTP git server on loopback for the end-to-end
// tests, built from the machine's own programs: nginx hands every request
// over FastCGI (fcgiwrap) to git http-backend, which serves one bare
// repository that takes pushes without authentication. Everything it
// writes stays in its temporary directory. Linux only.
#pragma once

#ifndef _WIN32

#include <memory>
#include <string>
#include <vector>

#include "tests/support/Program.h"

namespace e2e {

using namespace vtltest;

// Environment entries for git that leave out the machine's and the user's
// git configuration, any proxy variables and prompts: git then behaves the
// same everywhere and talks to whatever its command line names.
std::vector<std::string> IsolatedGitEnvironment(const std::string& home);

class TGitHttpServer {
public:
    // Creates the repository and starts fcgiwrap and nginx, waiting (bounded)
    // until nginx accepts connections.
    TGitHttpServer();
    // Stops both servers.
    ~TGitHttpServer();
    TGitHttpServer(const TGitHttpServer&) = delete;
    TGitHttpServer& operator=(const TGitHttpServer&) = delete;

    // False when git, git http-backend, nginx or fcgiwrap is not installed;
    // SkipReason() then names what is missing.
    bool Available() const { return skipReason_.empty(); }
    const std::string& SkipReason() const { return skipReason_; }
    bool Started() const { return started_; }
    // Why it did not start, with the servers' logs.
    const std::string& Error() const { return error_; }

    std::string RepositoryUrl() const;
    // The bare repository, for git --git-dir.
    std::string RepositoryDir() const { return dir_.File("repos/repo.git"); }
    // One line per request: method, path, status, the request's
    // Transfer-Encoding and the CONTENT_LENGTH handed to git.
    std::string AccessLog() const { return ReadWholeFile(dir_.File("access.log")); }

private:
    void Start(const std::string& nginx, const std::string& fcgiwrap, const std::string& backend);
    std::string Logs() const;

    TTempDir dir_;
    std::string skipReason_;
    std::string error_;
    bool started_ = false;
    int port_ = 0;
    std::unique_ptr<TChildProcess> fcgiwrap_;
    std::unique_ptr<TChildProcess> nginx_;
};

}  // namespace e2e

#endif  // _WIN32
