#pragma once
// Progress of a registration on standard error, for a person at a terminal: one line,
// rewritten in place as evaluations come back, with the share of the work done, the level,
// the time since the command started and the time left. Silent unless standard error is
// a terminal.
#include <string>
#include <vector>

#include "app/commands/batchlist.h"
#include "registration/pipeline.h"

class TerminalProgress final : public Progress {
public:
    // `enabled` false: says nothing (--quiet, or not a terminal). `precision`: the
    // registration ends with the precision stage (not --no-refine), a fifth of its work.
    TerminalProgress(bool enabled, long long startMs, bool precision = true);
    static bool stderrIsTerminal();

    void levelBegin(const char* name) override;
    void evaluated(int n) override;
    void levelEnd() override;
    // The registration is over: the line at 100 %, and a line break.
    void finish();

    // The share of the work done (0 ... 1), from the schedule's evaluations.
    double fraction() const;

private:
    void draw(bool force);

    bool enabled_;
    bool precision_;  // the 1 mm level then judges the 2 mm answer once
    long long start_, lastDraw_ = 0, passStart_ = 0;
    int level_ = -1;        // in the schedule; -1 before the first
    bool levelOver_ = false;
    double done_ = 0, total_ = 0;  // work of the levels over, and of all
    long evaluations_ = 0;         // of the level in progress
};

// Progress of a batch on standard error: on a terminal one bar (subjects done / total,
// failures, the time left, the subjects in progress), rewritten in place; otherwise one
// line per finished subject, for a log file. Not thread-safe: a batch that registers
// several subjects at once calls it under its own lock.
class BatchProgress {
public:
    enum class Mode { Silent, Bar, Lines };
    // `lanes`: subjects registered at once, which divides the time left.
    BatchProgress(Mode mode, int total, int lanes = 1);

    void starting(const std::string& id);
    // `registered`: the subject was worked on (not skipped), which the estimate counts.
    void finished(const std::string& id, const std::string& status, const std::string& detail, double seconds,
                  bool registered);
    // The same for a subject's row: its cost and time, or the reason it failed.
    void finished(const ResultRow& row, bool registered);
    void end();

private:
    void drawBar();

    Mode mode_;
    int total_, lanes_, done_ = 0, failed_ = 0, registered_ = 0;
    double workSeconds_ = 0;
    std::vector<std::string> current_;  // in progress, in the order they started
};
