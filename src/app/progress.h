#pragma once
// Progress of a registration on standard error, for a person at a terminal: one line per
// level, rewritten in place as evaluations come back, with the time since the command
// started. Silent unless standard error is a terminal.
#include "registration/pipeline.h"

class TerminalProgress final : public Progress {
public:
    // `enabled` false: says nothing (--quiet, or not a terminal).
    TerminalProgress(bool enabled, long long startMs);
    static bool stderrIsTerminal();

    void levelBegin(const char* name) override;
    void evaluated(int n) override;
    void levelEnd() override;

private:
    void draw(bool force);

    bool enabled_;
    long long start_, lastDraw_ = 0;
    const char* level_ = "";
    long evaluations_ = 0;
};
