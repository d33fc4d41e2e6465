// Bounded composing of texts.
#include "platform/format.h"

#include <stdarg.h>
#include <stdio.h>

// msvcrt's _vsnprintf leaves the buffer unterminated when the text is cut,
// so the last byte is always written here.
void FormatText(char *buf, size_t size, const char *fmt, ...)
{
    va_list args;

    if (size == 0)
        return;
    va_start(args, fmt);
    _vsnprintf(buf, size, fmt, args);
    va_end(args);
    buf[size - 1] = '\0';
}
