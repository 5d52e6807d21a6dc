// CommandLineTest: the real program's options: --version and --help answer
// and end, a misused command line ends with status 2 and the usage on
// standard error, and --config reads the named file instead of vtl.ini.
#include <gtest/gtest.h>

#ifndef _WIN32

#include <csignal>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "app/CommandLine.h"
#include "tests/e2e/ProgramFixture.h"

namespace e2e {
namespace {

struct TOptionCase {
    const char* name;
    std::vector<std::string> arguments;
    int exitCode;
    std::string out;
    std::string err;
};

void PrintTo(const TOptionCase& c, std::ostream* os) {
    *os << c.name;
}

class CommandLineTest : public ::testing::TestWithParam<TOptionCase> {};

TEST_P(CommandLineTest, AnswersAndEnds) {
    std::vector<std::string> argv{VTL_BINARY_PATH};
    argv.insert(argv.end(), GetParam().arguments.begin(), GetParam().arguments.end());
    const TToolResult result = RunTool(argv);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, GetParam().exitCode);
    EXPECT_EQ(result.out, GetParam().out);
    EXPECT_EQ(result.err, GetParam().err);
}

TOptionCase Misused(const char* name, std::vector<std::string> arguments, const std::string& problem) {
    return {name, std::move(arguments), 2, "", "vantrel: " + problem + "\n" + UsageText()};
}

INSTANTIATE_TEST_SUITE_P(
    Options, CommandLineTest,
    ::testing::Values(TOptionCase{"Version", {"--version"}, 0, "Vantrel 0.3\n", ""},
                      TOptionCase{"Help", {"--help"}, 0, UsageText(), ""},
                      Misused("UnknownOption", {"--port=8080"}, R"(unknown option "--port=8080")"),
                      Misused("PlainWord", {"vtl.ini"}, R"(unknown option "vtl.ini")"),
                      Misused("ConfigWithoutPath", {"--config"}, "--config needs the path of a settings file"),
                      Misused("ConfigWithEmptyPath", {"--config="}, "--config needs the path of a settings file"),
                      Misused("ConfigTwice", {"--config", "a.ini", "--config=b.ini"}, "--config given more than once")),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

class ConfigOptionTest : public ::testing::TestWithParam<bool> {};

// The program's own vtl.ini names one port, the file given another: only
// the given file counts, whichever way the option is written.
TEST_P(ConfigOptionTest, ReadsTheNamedFileInstead) {
    const int ownPort = FreePort();
    const int givenPort = FreePort();
    ASSERT_NE(ownPort, givenPort);
    TProgram program("[Connection]\nPort=" + std::to_string(ownPort) + "\n");
    const TTempDir elsewhere;
    const std::string config = elsewhere.File("proxy.ini");
    WriteWholeFile(config, "[Connection]\nPort=" + std::to_string(givenPort) + "\n");
    program.Start(GetParam() ? std::vector<std::string>{"--config=" + config}
                             : std::vector<std::string>{"--config", config});
    ASSERT_TRUE(program.WaitListening(givenPort)) << program.Stdout() << program.Stderr();
    ASSERT_TRUE(program.WaitForStdout("Proxy server is active...\n")) << program.Stdout();
    EXPECT_EQ(program.Stdout(),
              StartupText(" [Port: " + std::to_string(givenPort) + "] [Authentication not required] [ST: 100]") +
                  ActiveText());
    EXPECT_FALSE(CanConnect(ownPort));
    EXPECT_EQ(program.StopWith(SIGTERM), 0);
}

INSTANTIATE_TEST_SUITE_P(Spellings, ConfigOptionTest, ::testing::Bool(),
                         [](const auto& testInfo) { return std::string(testInfo.param ? "WithEquals" : "Separate"); });

}  // namespace
}  // namespace e2e

#endif  // _WIN32
