// ConsolePosix: picks the console device for standard output on POSIX
// systems: ANSI escape sequences on a terminal, plain text otherwise. Box
// pieces are written as UTF-8, the character set of today's terminals.
#include "app/Console.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

std::unique_ptr<TConsoleDevice> CreateStdOutDevice() {
    // A "dumb" terminal (an editor's shell buffer, for one) shows escape
    // sequences as text, so it gets the plain form.
    const char* term = std::getenv("TERM");
    const bool dumb = term == nullptr || std::strcmp(term, "dumb") == 0;
    const TConsoleMode mode = (isatty(STDOUT_FILENO) == 1 && !dumb) ? cmTerminal : cmRedirected;
    return CreateStreamDevice(WriteStdOut, mode, true);
}
