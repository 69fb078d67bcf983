#pragma once
// The end of a batch: its table of rows, the summary on standard output, and the exit
// status; and --merge, which gathers the rows that the shards left.
#include <string>
#include <vector>

#include "app/commands/batchlist.h"

// Writes `table` (rows in list order), prints the summary; 1 when a subject failed or the
// table cannot be written.
int finishBatch(const std::vector<ResultRow>& rows, const std::string& table, long long t0);

// Every subject's stored row, in list order, into DIR/results.tsv; a subject without a
// record made with `settings` from its own image is failed.
int mergeBatch(const std::vector<Subject>& subjects, const std::string& outDir, const std::string& settings,
               long long t0);
