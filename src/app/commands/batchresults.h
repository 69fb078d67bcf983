#pragma once
// The end of a batch: its table of rows, the summary on standard output, and the exit
// status; and --merge, which gathers the rows that the shards left.
#include <string>
#include <vector>

#include "app/commands/batchlist.h"

// Writes `table` (rows in list order) and, where `reportDir` is not empty, its page
// reportDir/report.html; prints the summary. Returns 1 when a subject failed or a file
// cannot be written, else `suspectStatus` when a subject's result is suspect (registered
// now or skipped as done before), else 0.
int finishBatch(const std::vector<ResultRow>& rows, const std::string& table, const std::string& reportDir,
                int suspectStatus, long long t0);

// Every subject's stored row, in list order, into DIR/results.tsv and the page; a subject
// without a record made with `settings` from its own image is failed. Returns as finishBatch.
int mergeBatch(const std::vector<Subject>& subjects, const std::string& outDir, const std::string& settings,
               int suspectStatus, long long t0);
