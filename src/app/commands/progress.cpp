#include "app/commands/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "registration/cost.h"

namespace {

// The work of a registration with register's defaults, level by level: the evaluations of
// each, and the time of one relative to one at 8 mm, on the shared subject pair (T1 brain
// at 0.88 mm to the 1 mm template; bench/progress.sh). The search's evaluation counts vary
// little between pairs, and each level's cost grows with its voxels, as every pair's does,
// so the shares hold beyond that pair. The precision stage runs inside the 1 mm level.
struct LevelWork {
    const char* name;
    double evaluations, cost;
};
constexpr LevelWork kSchedule[] = {
    {"8mm", 42000, 1}, {"4mm", 15150, 10.4}, {"2mm", 700, 96}, {"1mm", 274, 1990}, {"precision", 230, 600}};
constexpr int kLevels = sizeof kSchedule / sizeof kSchedule[0];
constexpr int k1mm = 3;
// With the precision stage the 1 mm level has no work of its own: the stage judges the
// 2 mm answer instead of the level's sweeps.
constexpr double k1mmJudged = 0;
// After the levels: the check that the answer is plausible (registration/pipeline.h), which
// maps MOVING's foreground (found beside the search) through it; a hundredth of the
// levels' time on that pair.
constexpr double kAfterLevels = 0.01;

double work(int level, bool precision) {
    const double evaluations = level == k1mm && precision ? k1mmJudged : kSchedule[level].evaluations;
    return evaluations * kSchedule[level].cost;
}

// The work of the levels before `level`.
double workBefore(int level, bool precision) {
    double w = 0;
    for (int i = 0; i < level; ++i) w += work(i, precision);
    return w;
}

std::string timeLeft(double s) {
    char buf[48];
    const long r = std::lround(s);
    if (s < 9.95)
        std::snprintf(buf, sizeof buf, "~%.1f s left", s);
    else if (r < 60)
        std::snprintf(buf, sizeof buf, "~%ld s left", r);
    else
        std::snprintf(buf, sizeof buf, "~%ld:%02ld:%02ld left", r / 3600, r / 60 % 60, r % 60);
    return buf;
}

}  // namespace

TerminalProgress::TerminalProgress(bool enabled, long long startMs, bool precision)
    : enabled_(enabled),
      precision_(precision),
      start_(startMs),
      total_((1 + kAfterLevels) * workBefore(precision ? kLevels : kLevels - 1, precision)) {}

bool TerminalProgress::stderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

void TerminalProgress::levelBegin(const char* name) {
    int level = -1;
    for (int i = 0; i < kLevels; ++i)
        if (std::strcmp(kSchedule[i].name, name) == 0) level = i;
    if (level < 0) return;  // not in the schedule: its work counts as the level's it is part of
    // A level again from the start: the registration runs a second time (on FIXED's
    // tissue alone), and what is left is that whole run.
    if (level <= level_ || level_ < 0) passStart_ = clockMs();
    level_ = level;
    levelOver_ = false;
    done_ = workBefore(level, precision_);
    evaluations_ = 0;
    draw(true);
}

void TerminalProgress::evaluated(int n) {
    evaluations_ += n;
    draw(false);
}

void TerminalProgress::levelEnd() {
    // The 1 mm level ends after the precision stage inside it: nothing left to count then.
    if (level_ < 0 || levelOver_) return;
    levelOver_ = true;
    done_ = workBefore(level_ + 1, precision_);
    draw(true);
}

void TerminalProgress::finish() {
    if (!enabled_ || level_ < 0) return;
    done_ = total_;
    levelOver_ = true;
    draw(true);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

double TerminalProgress::fraction() const {
    double w = done_;
    // A level may take more evaluations than the schedule's: it stays short of its end
    // until it ends.
    if (level_ >= 0 && !levelOver_)
        w += std::min((double)evaluations_ * kSchedule[level_].cost, 0.95 * work(level_, precision_));
    return std::clamp(w / total_, 0.0, 1.0);
}

void TerminalProgress::draw(bool force) {
    if (!enabled_) return;
    const long long now = clockMs();
    // A few redraws a second are enough to see it move.
    if (!force && now - lastDraw_ < 200) return;
    lastDraw_ = now;
    const double f = fraction();
    // The time left: the time this run took so far, scaled by the work left, once a
    // little of the work is done.
    std::string left;
    if (f >= 1.0)
        left = "done";
    else if (f >= 0.02)
        left = timeLeft((double)(now - passStart_) / 1000.0 * (1.0 - f) / f);
    const char* level = level_ >= 0 ? kSchedule[level_].name : "";
    std::fprintf(stderr, "\r\033[Kregistering: %3.0f%%  level %-9s %7.1f s  %s", 100.0 * f, level,
                 (double)(now - start_) / 1000.0, left.c_str());
    std::fflush(stderr);
}

BatchProgress::BatchProgress(Mode mode, int total, int lanes)
    : mode_(mode), total_(total), lanes_(lanes > 0 ? lanes : 1) {}

void BatchProgress::starting(const std::string& id) {
    current_.push_back(id);
    if (mode_ == Mode::Bar) drawBar();
}

void BatchProgress::finished(const std::string& id, const std::string& status, const std::string& detail,
                             double seconds, bool registered) {
    ++done_;
    failed_ += status == "failed";
    if (registered) {
        ++registered_;
        workSeconds_ += seconds;
    }
    const auto at = std::find(current_.begin(), current_.end(), id);
    if (at != current_.end()) current_.erase(at);
    if (mode_ == Mode::Lines) {
        std::fprintf(stderr, "tarvo batch: [%d/%d] %s %s%s%s\n", done_, total_, id.c_str(), status.c_str(),
                     detail.empty() ? "" : ": ", detail.c_str());
        std::fflush(stderr);
    } else if (mode_ == Mode::Bar) {
        drawBar();
    }
}

void BatchProgress::finished(const ResultRow& row, bool registered) {
    char cost[64] = "";
    if (row.hasCost) std::snprintf(cost, sizeof cost, "cost %.6f, %.1f s", row.cost, row.seconds);
    // A suspect result is named on its line: batch's counterpart of register's warning.
    std::string detail = cost;
    if (row.hasVerdict && row.suspect) detail += "; suspect: " + row.reason;
    finished(row.id, row.status, row.status == "failed" ? row.message : detail, row.seconds, registered);
}

void BatchProgress::end() {
    if (mode_ != Mode::Bar) return;
    current_.clear();
    drawBar();
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

void BatchProgress::drawBar() {
    constexpr int kWidth = 30;
    const int filled = total_ > 0 ? kWidth * done_ / total_ : kWidth;
    char bar[kWidth + 1];
    for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : '.';
    bar[kWidth] = '\0';
    char left[48] = "";
    if (registered_ > 0 && done_ < total_) {
        const int lanes = std::min(lanes_, total_ - done_);
        const long s = std::lround(workSeconds_ / registered_ * (total_ - done_) / lanes);
        std::snprintf(left, sizeof left, "  ~%ld:%02ld:%02ld left", s / 3600, s / 60 % 60, s % 60);
    }
    std::string now;
    for (const std::string& id : current_) now += (now.empty() ? "  " : ", ") + id;
    std::fprintf(stderr, "\r\033[K[%s] %d/%d  %d failed%s%s", bar, done_, total_, failed_, left, now.c_str());
    std::fflush(stderr);
}
