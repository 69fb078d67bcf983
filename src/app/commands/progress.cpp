#include "app/commands/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
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
