// ProgramFixture: the GoogleTest fixture of the end-to-end tests. It starts
// a private copy of vantrel on a free port, with vtl.ini lines the test
// adds, waits until the proxy listens and has finished its start-up text,
// and kills the program (if still running) when the test ends.
#pragma once

#ifndef _WIN32

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/e2e/ProgramHarness.h"
#include "tests/support/Answers.h"
#include "tests/support/SameBytes.h"

// Skips the test when a helper program the test drives is not installed.
#define VTL_REQUIRE_TOOL(name)                                                  \
    if (::e2e::FindProgram(name).empty()) {                                     \
        GTEST_SKIP() << (name) << " is not installed; this test drives it";     \
    }

namespace e2e {

class ProgramTest : public ::testing::Test {
protected:
    // The first lines of every vtl.ini this fixture writes.
    static std::string PortSection(int port) { return "[Connection]\nPort=" + std::to_string(port) + "\n"; }

    // Use as ASSERT_NO_FATAL_FAILURE(StartProxy(...)).
    void StartProxy(const std::string& moreIni = "") {
        port_ = FreePort();
        ASSERT_GT(port_, 0);
        program_ = std::make_unique<TProgram>(PortSection(port_) + moreIni);
        program_->Start();
        ASSERT_TRUE(program_->WaitListening(port_))
            << "stdout:\n" << program_->Stdout() << "\nstderr:\n" << program_->Stderr();
        // Log entries are written only once the start-up text is complete.
        ASSERT_TRUE(program_->WaitForStdout("Proxy server is active...\n")) << program_->Stdout();
    }

    TProgram& Program() { return *program_; }
    int ProxyPort() const { return port_; }
    std::string ProxyUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

    // What the program printed after its start-up text: the log entries.
    std::string LogOutput() const {
        const std::string out = program_->Stdout();
        const std::string marker = "Proxy server is active...\n";
        const size_t at = out.find(marker);
        return at == std::string::npos ? std::string{} : out.substr(at + marker.size());
    }

    // Waits (bounded) for the log to read exactly as expected, and gives
    // the log as it was at the end of the wait.
    std::string WaitForLog(const std::string& expected) {
        WaitUntil([&] { return LogOutput() == expected; }, Ms{3000});
        return LogOutput();
    }

    std::unique_ptr<TProgram> program_;
    int port_ = 0;
};

}  // namespace e2e

#endif  // _WIN32
