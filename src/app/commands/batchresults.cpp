#include "app/commands/batchresults.h"

#include <cstdio>

#include "app/commands/batchreport.h"
#include "app/commands/batchsubject.h"
#include "app/commands/cli.h"
#include "registration/cost.h"
#include "volume/transformfiles.h"

namespace {

bool suspect(const ResultRow& r) { return r.status != "failed" && r.hasVerdict && r.suspect; }

// Each subject is counted once: a suspect result under suspect whether it was registered
// now or before, so that the four counts add up to the subjects and a rerun that skips
// everything still shows what needs a look.
void printSummary(const std::vector<ResultRow>& rows, const std::string& table, const std::string& report,
                  long long t0) {
    int ok = 0, suspects = 0, skipped = 0, failed = 0;
    for (const ResultRow& r : rows) {
        if (suspect(r)) {
            ++suspects;
            continue;
        }
        ok += r.status == "ok";
        skipped += r.status == "skipped";
        failed += r.status == "failed";
    }
    std::printf("ok: %d\nsuspect: %d\nskipped: %d\nfailed: %d\nresults: %s\n", ok, suspects, skipped, failed,
                table.c_str());
    if (!report.empty()) std::printf("report: %s\n", report.c_str());
    std::printf("time: %.3f s\n", (double)(clockMs() - t0) / 1000.0);
}

}  // namespace

int finishBatch(const std::vector<ResultRow>& rows, const std::string& table, const std::string& reportDir,
                int suspectStatus, long long t0) {
    if (!writeFileAtomically(table, tableText(rows))) {
        commandError("batch", "cannot write '" + table + "'");
        return 1;
    }
    std::string error;
    if (!reportDir.empty() && !writeBatchReport(reportDir, rows, error)) {
        commandError("batch", error);
        return 1;
    }
    printSummary(rows, table, reportDir.empty() ? "" : reportDir + "/report.html", t0);
    // A failure outranks a suspect result: the subject has nothing to look at.
    int status = 0;
    for (const ResultRow& r : rows) {
        if (r.status == "failed") return 1;
        if (suspect(r)) status = suspectStatus;
    }
    return status;
}

int mergeBatch(const std::vector<Subject>& subjects, const std::string& outDir, const std::string& settings,
               int suspectStatus, long long t0) {
    std::vector<ResultRow> rows;
    for (const Subject& s : subjects) {
        ResultRow row;
        std::string made;
        const std::string path = filesOf(outDir, s.id, false).result;
        if (!readSubjectResult(path, row, made)) {
            row = ResultRow();
            row.id = s.id;
            row.path = s.path;
            row.status = "failed";
            row.message = "no result: the subject was not run to the end";
        } else if (made != settings || row.path != s.path || row.id != s.id) {
            const bool otherImage = row.path != s.path || row.id != s.id;
            row.id = s.id;
            row.path = s.path;
            row.status = "failed";
            row.hasCost = false;
            row.seconds = -1;
            row.hasVerdict = false;
            row.message = "the result in '" + path + "' " +
                          (otherImage ? "was made for another image" : staleReason(made, settings));
        }
        rows.push_back(row);
    }
    return finishBatch(rows, outDir + "/results.tsv", outDir, suspectStatus, t0);
}
