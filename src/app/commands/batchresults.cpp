#include "app/commands/batchresults.h"

#include <cstdio>

#include "app/commands/batchsubject.h"
#include "app/commands/cli.h"
#include "registration/cost.h"
#include "volume/transformfiles.h"

namespace {

void printSummary(const std::vector<ResultRow>& rows, const std::string& table, long long t0) {
    int ok = 0, skipped = 0, failed = 0;
    for (const ResultRow& r : rows) {
        ok += r.status == "ok";
        skipped += r.status == "skipped";
        failed += r.status == "failed";
    }
    std::printf("ok: %d\nskipped: %d\nfailed: %d\nresults: %s\ntime: %.3f s\n", ok, skipped, failed, table.c_str(),
                (double)(clockMs() - t0) / 1000.0);
}

}  // namespace

int finishBatch(const std::vector<ResultRow>& rows, const std::string& table, long long t0) {
    if (!writeFileAtomically(table, tableText(rows))) {
        commandError("batch", "cannot write '" + table + "'");
        return 1;
    }
    printSummary(rows, table, t0);
    for (const ResultRow& r : rows)
        if (r.status == "failed") return 1;
    return 0;
}

int mergeBatch(const std::vector<Subject>& subjects, const std::string& outDir, const std::string& settings,
               long long t0) {
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
            row.id = s.id;
            row.path = s.path;
            row.status = "failed";
            row.hasCost = false;
            row.seconds = -1;
            row.message = "the result in '" + path + "' was made for another image or with other settings";
        }
        rows.push_back(row);
    }
    return finishBatch(rows, outDir + "/results.tsv", t0);
}
