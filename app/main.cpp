// main: the Vantrel program. Reads the command line, prepares the console,
// draws the banner, reads vtl.ini (or the file given with --config), opens
// the access log, then starts the proxy server and keeps the main thread
// waiting while worker threads serve the clients. An error that escapes
// start-up is written to standard error as "Class: message" and ends with
// status 1; a misused command line ends with status 2.
#include <atomic>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "app/AccessLog.h"
#include "app/Banner.h"
#include "app/CommandLine.h"
#include "app/Console.h"
#include "app/Metrics.h"
#include "app/MetricsServer.h"
#include "app/Platform.h"
#include "app/ProfileReader.h"
#include "app/RequestLog.h"
#include "app/Settings.h"
#include "base/IdException.h"
#include "base/IdGlobal.h"
#include "net/IdSocketHandle.h"
#include "proxy/HTTPProxyServer.h"
#include "proxy/IdAccessList.h"

namespace {

void ReportFatal(const char* className, const char* message) {
    std::fprintf(stderr, "%s: %s\n", className, message);
    std::fflush(stderr);
}

// The console is given back on every way out of main, before anything is
// written to standard error.
class TConsoleSession {
public:
    TConsoleSession() { InitConsole(); }
    ~TConsoleSession() { RestoreConsole(); }
    TConsoleSession(const TConsoleSession&) = delete;
    TConsoleSession& operator=(const TConsoleSession&) = delete;
};

// Reads and discards console lines until standard input ends. It runs on a
// thread of its own so that the main loop stays free to notice a stop
// request; at the end of input it simply ends, leaving the 100 ms loop.
void DiscardConsoleInput() {
    std::thread([] {
        char line[1024];
        while (std::fgets(line, sizeof line, stdin) != nullptr) {
        }
    }).detach();
}

int Run(const TCommandLine& commandLine) {
    // A file named on the command line is meant to exist; starting with the
    // defaults instead would open the proxy to everyone on every address.
    if (!commandLine.configPath.empty() && !ProfileFileExists(commandLine.configPath)) {
        throw ESettingsError(commandLine.configPath + ": no such settings file");
    }
    TotalBytes.store(0);
    LogReady.store(false);
    IgnoreBrokenPipe();
    ReturnLargeBlocksToSystem();
    UseMappedMemoryForLargeBodies();
    RaiseOpenFileLimit();

    const TConsoleSession console;
    std::atomic<bool> stopRequested{false};
    const auto stopHandler = InstallStopHandler([&stopRequested] { stopRequested.store(true); });

    SetTitle("Vantrel");
    ShowBanner();
    ReadSettings(commandLine.configPath.empty() ? SettingsFilePath() : commandLine.configPath);
    const TProxySettings& settings = ProxySettings();
    // Opened before the server starts, so that a log that cannot be written
    // stops the start, and closed after the server has stopped.
    TAccessLog accessLog;
    if (!settings.LogFile.empty()) {
        accessLog.Open(settings.LogFile);
    }

    WriteText("Starting proxy server...");
    WriteLineEnd();
    Pause(200);

    // Counted only with the status listener on: without it a request costs
    // what it always has. Made before the server, whose workers count into it.
    const std::unique_ptr<TMetrics> metrics = settings.StatusListen ? std::make_unique<TMetrics>() : nullptr;
    auto server = std::make_unique<TIdHTTPProxyServer>();
    // DefaultPort is the default port of Bindings: one value, no range check.
    server->SetDefaultPort(settings.Port);
    // Without bindings of its own the server listens on every address.
    for (const TListenAddress& listen : settings.Listen) {
        TIdSocketHandle& binding = server->Bindings().Add();
        binding.SetIPVersion(listen.address.version);
        binding.SetIP(IPAddressText(listen.address));
        binding.SetPort(settings.Port);
    }
    server->SetCredentials(settings.User, settings.Password);
    server->SetRequestTimeout(settings.RequestTimeout);
    server->SetIdleTimeout(settings.IdleTimeout);
    // Within the range the settings allow, the bytes fit int64.
    server->SetHoldLimit(settings.HoldLimit * 1024);
    server->SetConnectTimeout(settings.ConnectTimeout);
    server->SetAllow(settings.Allow);
    server->SetConnectPorts(settings.ConnectPorts);
    server->SetDeny(settings.Deny);
    if (accessLog.IsOpen() || metrics) {
        server->OnRequestDone = [&accessLog, logged = accessLog.IsOpen(),
                                 counted = metrics.get()](const TIdRequestRecord& record) {
            if (counted != nullptr) {
                counted->Count(record);
            }
            if (logged) {
                accessLog.Write(record);
            }
        };
    }
    server->SetMaxConnections(settings.MaxConnections);
    server->OnHTTPDocument = [](TIdHTTPProxyServer&, const std::string& document, std::unique_ptr<TStream>&,
                                const TIdHeaderList&, const std::string& host, uint64_t size) {
        CountAndLogDocument(document, host, size);
    };
    server->SetActive(true);
    // Stopped before the proxy server whose figures it shows.
    std::unique_ptr<TMetricsServer> metricsServer;
    if (metrics) {
        metricsServer = StartMetricsServer(*settings.StatusListen, *metrics, *server);
        WriteLineEnd();
        WriteText("Metrics are served at " + metricsServer->Url());
    }

    WriteLineEnd();
    WriteText("Proxy server is active...");
    SetTitle("Vantrel - [0 KB]");
    CaptureLogBaseRow();
    LogReady.store(true);

    if (settings.SleepTime < 1) {
        DiscardConsoleInput();
    }
    // Whatever SleepTime holds, the main thread only watches Active and the
    // stop request in 100 ms steps; console lines are read and dropped
    // elsewhere, so a stop is noticed even while nobody types.
    while (server->Active() && !stopRequested.load()) {
        SleepMs(100);
    }
    metricsServer.reset();
    // Stops the listeners, closes every client and joins every worker.
    server.reset();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const TCommandLine commandLine =
            ParseCommandLine(argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>{});
        switch (commandLine.action) {
        case TCommandAction::ShowVersion:
            std::printf("%s\n", VersionLine().c_str());
            return 0;
        case TCommandAction::ShowHelp:
            std::fputs(UsageText().c_str(), stdout);
            return 0;
        case TCommandAction::Misuse:
            std::fprintf(stderr, "vantrel: %s\n%s", commandLine.problem.c_str(), UsageText().c_str());
            return MisuseExitStatus;
        case TCommandAction::Run:
            break;
        }
        return Run(commandLine);
    } catch (const EIdException& error) {
        ReportFatal(error.ClassName(), error.what());
    } catch (const std::bad_alloc& error) {
        ReportFatal("EOutOfMemory", error.what());
    } catch (const std::exception& error) {
        ReportFatal("Exception", error.what());
    } catch (...) {
        ReportFatal("Exception", "Unknown error");
    }
    return 1;
}
