// IdException: message formatting for the error hierarchy. The classes
// themselves live in the header; only the printf-style helper needs a body.
#include "base/IdException.h"

#include <cstdarg>
#include <cstdio>

std::string FormatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string result;
    if (length > 0) {
        // vsnprintf writes a terminating NUL; std::string keeps room for it
        // past size(), so the buffer is exactly large enough.
        result.resize(static_cast<size_t>(length));
        std::vsnprintf(result.data(), result.size() + 1, format, args);
    }
    va_end(args);
    return result;
}
