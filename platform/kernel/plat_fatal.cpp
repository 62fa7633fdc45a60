// Process stop on platform misuse.
#include "plat_fatal.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace plat
{

void Fatal(const char* format, ...)
{
    char message[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    fprintf(stderr, "platform: fatal: %s\n", message);
    fflush(stderr);
    abort();
}

} // namespace plat
