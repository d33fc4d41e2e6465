// Bounded composing of texts, shared by every module.
#ifndef VIZAD_PLATFORM_FORMAT_H
#define VIZAD_PLATFORM_FORMAT_H

#include <stddef.h>

// Like snprintf with msvcrt's own formats: cut to size - 1 bytes and always
// terminated.
void FormatText(char *buf, size_t size, const char *fmt, ...)
    __attribute__((format(ms_printf, 3, 4)));

#endif
