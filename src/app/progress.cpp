#include "app/progress.h"

#include <unistd.h>

#include <cstdio>

#include "registration/cost.h"

TerminalProgress::TerminalProgress(bool enabled, long long startMs) : enabled_(enabled), start_(startMs) {}

bool TerminalProgress::stderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

void TerminalProgress::levelBegin(const char* name) {
    level_ = name;
    evaluations_ = 0;
    draw(true);
}

void TerminalProgress::evaluated(int n) {
    evaluations_ += n;
    draw(false);
}

void TerminalProgress::levelEnd() {
    draw(true);
    if (enabled_) std::fputc('\n', stderr);
}

void TerminalProgress::draw(bool force) {
    if (!enabled_) return;
    const long long now = clockMs();
    // A few redraws a second are enough to see it move.
    if (!force && now - lastDraw_ < 200) return;
    lastDraw_ = now;
    std::fprintf(stderr, "\r\033[Kregistering: level %-4s %7ld evaluations  %7.1f s", level_, evaluations_,
                 (double)(now - start_) / 1000.0);
    std::fflush(stderr);
}
