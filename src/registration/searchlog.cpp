#include "registration/searchlog.h"

#include <cstdarg>

// Set by the command before the search runs; the search runs on one host thread.
static std::FILE* sink = stdout;

void searchPrintf(const char* format, ...) {
    if (!sink) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(sink, format, args);
    va_end(args);
}

SearchLogTo::SearchLogTo(std::FILE* to) : previous_(sink) { sink = to; }

SearchLogTo::~SearchLogTo() { sink = previous_; }
