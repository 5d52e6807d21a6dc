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
#include "app/SettingsReload.h"
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
    std::atomic<bool> reloadRequested{false};
    const auto stopHandler = InstallStopHandler([&stopRequested] { stopRequested.store(true); },
                                                [&reloadRequested] { reloadRequested.store(true); });

    SetTitle("Vantrel");
    ShowBanner();
    const std::string settingsPath = commandLine.configPath.empty() ? SettingsFilePath() : commandLine.configPath;
    ReadSettings(settingsPath);
    TProxySettings& settings = ProxySettings();
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
    server->SetRules(ProxyRulesOf(settings));
    server->SetMaxConnections(settings.MaxConnections);
    // Set whether or not a log is open: a reload may open one. The figures
    // are counted only where they are served.
    server->OnRequestDone = [&accessLog, counted = metrics.get()](const TIdRequestRecord& record) {
        if (counted != nullptr) {
            counted->Count(record);
        }
        accessLog.Write(record);
    };
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

    bool discardingInput = settings.SleepTime < 1;
    if (discardingInput) {
        DiscardConsoleInput();
    }
    TSettingsReloader reloader(
        settingsPath,
        [&](const TProxySettings& fresh) {
            // The log first: a path that cannot be opened refuses the whole
            // set, before anything of it is in use.
            if (fresh.LogFile.empty()) {
                accessLog.Close();
            } else if (fresh.LogFile != accessLog.Path()) {
                try {
                    accessLog.Open(fresh.LogFile);
                } catch (const EAccessLogError& error) {
                    throw ESettingsError(std::string("[General] LogFile: ") + error.what());
                }
            } else {
                accessLog.Reopen();
            }
            server->SetRules(ProxyRulesOf(fresh));
            server->SetMaxConnections(fresh.MaxConnections);
            if (fresh.SleepTime < 1 && !discardingInput) {
                discardingInput = true;
                DiscardConsoleInput();
            }
            // The listening sockets stay as they were opened.
            const std::vector<TListenAddress> listen = settings.Listen;
            const int32_t port = settings.Port;
            const auto statusListen = settings.StatusListen;
            const auto listenText = [](const TProxySettings& s) {
                std::string text;
                for (const TListenAddress& address : s.Listen) {
                    text += address.text + ",";
                }
                return text + "|" + (s.StatusListen ? s.StatusListen->text : std::string());
            };
            const bool socketsDiffer = fresh.Port != port || listenText(fresh) != listenText(settings);
            settings = fresh;
            settings.Listen = listen;
            settings.Port = port;
            settings.StatusListen = statusListen;
            return socketsDiffer ? std::string("Port and the Listen keys wait for a restart") : std::string();
        },
        [&accessLog](const std::string& line) {
            WriteNotice(line);
            accessLog.WriteNote(line);
        });
    // Whatever SleepTime holds, the main thread only watches Active and the
    // stop request in 100 ms steps; console lines are read and dropped
    // elsewhere, so a stop is noticed even while nobody types.
    while (server->Active() && !stopRequested.load()) {
        if (reloadRequested.exchange(false)) {
            reloader.Request();
        }
        reloader.Poll();
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
