#pragma once
// The page of a batch: DIR/report.html, one static file beside results.tsv that shows the
// whole cohort at a glance. No network and no files of its own: its style and its short
// sorting script are inside it, its links are relative (the folder can be moved), and
// equal tables and pictures give an equal page.
#include <string>
#include <vector>

#include "app/commands/batchlist.h"

// The page's text for `rows` (in list order) of the batch in `outDir`, whose pictures are
// looked up there (DIR/<id>/<id>_qc.png). `title` names the batch on the page.
std::string batchReportHtml(const std::string& outDir, const std::string& title, const std::vector<ResultRow>& rows);

// Writes DIR/report.html through a temporary file. False with `error` naming the file.
bool writeBatchReport(const std::string& outDir, const std::vector<ResultRow>& rows, std::string& error);

// Reads DIR/results.tsv. False with `error` when it is missing or not such a table.
bool readBatchTable(const std::string& outDir, std::vector<ResultRow>& rows, std::string& error);

// Text for HTML, and one path segment for a URL inside it.
std::string htmlEscape(const std::string& text);
std::string urlSegment(const std::string& segment);
