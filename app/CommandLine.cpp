// CommandLine: options are whole words; --config takes its path as the next
// argument or after "=". A repeated --config is refused rather than one of
// the two quietly winning.
#include "app/CommandLine.h"

#include <string_view>
#include <utility>

#include "proxy/IdAccessList.h"

namespace {

constexpr std::string_view ConfigOption = "--config";

TCommandLine Misuse(std::string problem) {
    TCommandLine result;
    result.action = TCommandAction::Misuse;
    result.problem = std::move(problem);
    return result;
}

}  // namespace

TCommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
    TCommandLine result;
    bool configGiven = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--version") {
            result.action = TCommandAction::ShowVersion;
            continue;
        }
        if (argument == "--help") {
            result.action = TCommandAction::ShowHelp;
            continue;
        }
        std::string path;
        if (argument == ConfigOption) {
            if (i + 1 >= arguments.size()) {
                return Misuse("--config needs the path of a settings file");
            }
            path = arguments[++i];
        } else if (argument.rfind(std::string(ConfigOption) + "=", 0) == 0) {
            path = argument.substr(ConfigOption.size() + 1);
        } else {
            return Misuse("unknown option " + QuotedItem(argument));
        }
        if (path.empty()) {
            return Misuse("--config needs the path of a settings file");
        }
        if (configGiven) {
            return Misuse("--config given more than once");
        }
        configGiven = true;
        result.configPath = path;
    }
    return result;
}

std::string UsageText() {
    return "Usage: vantrel [--config PATH]\n"
           "       vantrel --version | --help\n"
           "\n"
           "Starts the HTTP proxy with the settings in vtl.ini beside the program.\n"
           "\n"
           "  --config PATH  read the settings from PATH instead\n"
           "  --version      print the version and exit\n"
           "  --help         print this text and exit\n";
}
