#pragma once
// Where the search's own lines (level banners, candidates, sweep results, timings) go:
// standard output for the six commands, which print them as part of their output; the
// world-space commands send them to standard error with --verbose, or drop them.
#include <cstdio>

// printf to the current search log; nothing when it is off.
void searchPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Sends the search's lines to `to` (null: nowhere) while alive.
class SearchLogTo {
public:
    explicit SearchLogTo(std::FILE* to);
    ~SearchLogTo();
    SearchLogTo(const SearchLogTo&) = delete;
    SearchLogTo& operator=(const SearchLogTo&) = delete;

private:
    std::FILE* previous_;
};
