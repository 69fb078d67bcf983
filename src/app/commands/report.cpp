// tarvo report DIR
#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include "app/commands/batchreport.h"
#include "app/commands/cli.h"
#include "app/commands/commands.h"

namespace {

const char* kName = "report";

const char* kAbout =
    "Writes DIR/report.html, the page of a batch, from DIR/results.tsv and the pictures in\n"
    "DIR: what 'tarvo batch' and 'tarvo batch --merge' write at their end, made again\n"
    "(after pictures were drawn or removed, or the table was gathered otherwise).";

const char* kFooter =
    "The page is one static file with no network access: open it from the file system.\n"
    "Summary at the top: the subjects by status and by verdict, a histogram of the final\n"
    "costs, the total and per-subject time. Then one row per subject (id, status, verdict,\n"
    "cost, overlaps, turn, time, its picture DIR/<id>/<id>_qc.png as a thumbnail that opens\n"
    "full size), failed and suspect subjects first; a click on a column's name sorts by it.\n"
    "Links are relative: the folder can be moved or copied whole.\n"
    "\n"
    "Output: 'report: DIR/report.html' on standard output. On any error: one line on\n"
    "standard error, status 1, and an earlier page left as it was.\n";

}  // namespace

int runReportCommand(int argc, char** argv) {
    CLI::App app{kAbout, "tarvo report"};
    app.footer(kFooter);
    std::string dir;
    app.add_option("DIR", dir, "a batch's --out-dir, holding results.tsv")->required();
    int status = 0;
    if (!parseCommand(app, argc, argv, kName, status)) return status;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    std::vector<ResultRow> rows;
    std::string error;
    if (!readBatchTable(dir, rows, error) || !writeBatchReport(dir, rows, error)) {
        commandError(kName, error);
        return 1;
    }
    std::printf("report: %s/report.html\n", dir.c_str());
    return 0;
}
