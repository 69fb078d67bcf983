// tarvo batch FIXED LIST --out-dir DIR [registration options] [--shard I/N] [--merge]
#include <CLI/CLI.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/commands/batchhelp.h"
#include "app/commands/batchlist.h"
#include "app/commands/batchresults.h"
#include "app/commands/batchsubject.h"
#include "app/commands/cli.h"
#include "app/commands/commands.h"
#include "app/commands/posixfiles.h"
#include "app/commands/progress.h"
#include "app/commands/registrationoptions.h"
#include "device/device.h"
#include "registration/cost.h"
#include "registration/foreground.h"
#include "registration/options.h"
#include "registration/verdict.h"
#include "registration/pipeline.h"
#include "registration/searchlog.h"
#include "volume/inputs.h"

namespace {

const char* kName = "batch";
// Subjects at once on the CPU when not told: one per thread up to this many. Each holds
// its moving image, pyramid and output (a few hundred MB for a 1 mm head).
constexpr int kJobs = 8;
const std::string kEarlier = "complete from an earlier run";

struct BatchArgs {
    std::string fixed, list, outDir, shardText;
    bool mergeOnly = false, noQc = false, qcAsked = false;
    int jobsWanted = 0, suspectStatus = 0;
    RegistrationOptions ro;
};

// False when the command ends here with `status`.
bool parseBatch(int argc, char** argv, BatchArgs& a, int& status) {
    CLI::App app{kBatchAbout, "tarvo batch"};
    app.footer(std::string(kBatchFooter) + "\n" + kRegistrationOptionsHelp + "\n" + kVerdictHelp + "\n" +
               kBatchOutputFooter);
    app.add_option("FIXED", a.fixed, "image every subject is registered to; outputs lie on its grid")->required();
    app.add_option("LIST", a.list, "text file of moving images, one a line (PATH or ID<TAB>PATH)")->required();
    app.add_option("--out-dir", a.outDir, "folder of the outputs (made when missing)")->required();
    app.add_flag("--no-qc", a.noQc, "no pictures DIR/<id>/<id>_qc.png (drawn by default)");
    // Pictures are drawn by default now; the old switch stays for the scripts that give it.
    app.add_flag("--qc", a.qcAsked, "accepted and ignored: pictures are drawn unless --no-qc")->excludes("--no-qc");
    auto* shardOpt = app.add_option("--shard", a.shardText, "take subjects I, I+N, ... of the list (I/N, from 1)");
    app.add_flag("--merge", a.mergeOnly, "no registration: gather the subjects' rows into DIR/results.tsv")
        ->excludes(shardOpt);
    app.add_option("--jobs", a.jobsWanted, "subjects registered at once on the CPU backend, sharing the threads")
        ->check(CLI::Range(1, 4096));
    addRegistrationOptions(app, a.ro);
    addSuspectStatus(app, a.suspectStatus);
    status = 0;
    if (!parseCommand(app, argc, argv, kName, status)) return false;
    if (!a.ro.movingMask.empty()) {
        commandError(kName, "--moving-mask: one mask cannot lie on every subject's grid; register such "
                            "subjects one by one");
        status = 1;
        return false;
    }
    while (a.outDir.size() > 1 && a.outDir.back() == '/') a.outDir.pop_back();
    return true;
}

// The subjects `todo` (indices into `mine`) registered by `lanes` lanes at once, or only
// their pictures drawn where `pictureOnly` says so; each one's row goes to `rows` and to
// `progress` as it finishes.
void runLanes(const Batch& b, const std::vector<const Subject*>& mine, const std::vector<size_t>& todo,
              const std::vector<bool>& pictureOnly, int lanes, BatchProgress& progress, std::vector<ResultRow>& rows) {
    std::mutex lock;  // over progress and rows while lanes run
    // Each lane takes the next subject left until none is: the subjects start in list order.
    std::atomic<size_t> next{0};
    auto lane = [&](Device& dev) {
        for (size_t t; (t = next.fetch_add(1)) < todo.size();) {
            const size_t k = todo[t];
            {
                std::lock_guard<std::mutex> g(lock);
                progress.starting(mine[k]->id);
            }
            ResultRow row;
            if (pictureOnly[k]) {
                // Done before: its row stands, with a word on the picture.
                row = rows[k];
                std::string error;
                try {
                    if (!drawPicture(b, *mine[k], row, dev, error)) row.message = kEarlier + "; no picture: " + error;
                } catch (const std::exception& e) {
                    row.message = kEarlier + "; no picture: " + e.what();
                }
                std::lock_guard<std::mutex> g(lock);
                rows[k] = std::move(row);
                progress.finished(rows[k], false);
                continue;
            }
            try {
                row = registerSubject(b, *mine[k], dev);
            } catch (const std::exception& e) {  // its row could not be made: it reads as not done
                row = ResultRow();
                row.id = mine[k]->id;
                row.path = mine[k]->path;
                row.status = "failed";
                row.message = e.what();
            }
            std::lock_guard<std::mutex> g(lock);
            rows[k] = std::move(row);
            progress.finished(rows[k], true);
        }
    };
    if (lanes == 1) {
        lane(device());
        return;
    }
    // Lanes of the CPU backend, each with its own share of the threads; the fixed image
    // stays on the process's backend, which they only read.
    const int threads = defaultCpuThreads();
    std::vector<std::thread> running;
    for (int l = 0; l < lanes; ++l) {
        const int share = threads / lanes + (l < threads % lanes ? 1 : 0);
        running.emplace_back([&, share] {
            const std::unique_ptr<Device> dev = makeCpuDevice(std::max(share, 1));
            lane(*dev);
        });
    }
    for (std::thread& t : running) t.join();
}

// This process's subjects (`mine`, in list order) and their rows. The subjects complete
// from an earlier run are known before any work, as skipped rows, so that the lanes go to
// those left: `todo`, indices into `mine`. A complete subject without its picture is in
// `todo` too, for its picture alone (`pictureOnly`).
void shareOut(const Batch& b, const std::vector<Subject>& subjects, const Shard& shard,
              std::vector<const Subject*>& mine, std::vector<ResultRow>& rows, std::vector<size_t>& todo,
              std::vector<bool>& pictureOnly) {
    for (size_t k = 0; k < subjects.size(); ++k)
        if (shard.contains(k)) mine.push_back(&subjects[k]);
    rows.resize(mine.size());
    pictureOnly.assign(mine.size(), false);
    for (size_t k = 0; k < mine.size(); ++k) {
        if (complete(b, *mine[k], rows[k])) {
            rows[k].status = "skipped";
            rows[k].message = kEarlier;
            if (lacksPicture(b, *mine[k])) {
                rows[k].message += "; its picture drawn now";
                pictureOnly[k] = true;
                todo.push_back(k);
            }
        } else {
            todo.push_back(k);
        }
    }
}

}  // namespace

int runBatchCommand(int argc, char** argv) {
    const long long t0 = clockMs();
    BatchArgs a;
    int status = 0;
    if (!parseBatch(argc, argv, a, status)) return status;
    const RegistrationOptions& ro = a.ro;

    // Everything that can be checked is, before any work.
    std::string text, error;
    std::vector<Subject> subjects;
    if (!readFile(a.list, text)) {
        commandError(kName, "cannot read list '" + a.list + "'");
        return 1;
    }
    if (!parseSubjectList(text, subjects, error)) {
        commandError(kName, "list '" + a.list + "': " + error);
        return 1;
    }
    const std::string settings = settingsKey(a.fixed, ro);
    if (a.mergeOnly) {
        struct stat st;
        if (stat(a.outDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            commandError(kName, "--merge: folder '" + a.outDir + "' does not exist, so there is nothing to merge");
            return 1;
        }
        return mergeBatch(subjects, a.outDir, settings, a.suspectStatus, t0);
    }

    Shard shard;
    if (!a.shardText.empty() ? !parseShard(a.shardText, shard, error)
                             : (!shardFromSlurm(std::getenv, shard, error) && !error.empty())) {
        commandError(kName, error);
        return 1;
    }
    Start start;
    if (!settleRegistrationOptions(ro, start, error)) {
        commandError(kName, error);
        return 1;
    }
    const bool onCpu = std::string(device().kind()) == "cpu";
    if (a.jobsWanted > 1 && !onCpu) {
        commandError(kName, "--jobs registers several subjects at once on the CPU backend, but a GPU does the work");
        return 1;
    }
    const int jobs =
        a.jobsWanted > 0 ? a.jobsWanted : !onCpu || ro.verbose ? 1 : std::min(defaultCpuThreads(), kJobs);
    VolumePtr fix, fixMask;
    if (!loadFixed(a.fixed, ro, fix, fixMask, error) || !registrable(*fix, fixMask.get(), a.fixed, error)) {
        commandError(kName, error);
        return 1;
    }
    // FIXED is prepared once for every subject, as each subject's pipeline will count it.
    const PipelineOptions pipeline = pipelineOptions(ro, start);
    PipelineOptions withMask = pipeline;
    withMask.fixedMask = fixMask.get();
    const std::unique_ptr<PreparedFixed> prepared = prepareFixed(*fix, withMask);
    if (!prepared) {
        commandError(kName, "'" + a.fixed + "' is too small to hold one voxel of 1 mm");
        return 1;
    }
    if (!makeFolders(a.outDir) || access(a.outDir.c_str(), W_OK) != 0) {
        commandError(kName, "cannot write in folder '" + a.outDir + "'");
        return 1;
    }

    // This run's table appears only when the run is over; older tables are stale from now.
    const std::string table = shard.whole() ? a.outDir + "/results.tsv"
                                            : a.outDir + "/results.shard-" + std::to_string(shard.index) + "-of-" +
                                                  std::to_string(shard.count) + ".tsv";
    std::vector<std::string> inputs = registrationInputs(a.fixed, a.fixed, ro);
    inputs.push_back(a.list);
    const std::string report = a.outDir + "/report.html";
    if (!outputsSpareInputs(a.outDir, !a.noQc, subjects, inputs, {table, a.outDir + "/results.tsv", report}, error)) {
        commandError(kName, error);
        return 1;
    }
    std::remove(table.c_str());
    std::remove((a.outDir + "/results.tsv").c_str());
    std::remove(report.c_str());

    Batch b;
    b.outDir = a.outDir;
    b.settings = settings;
    b.qc = !a.noQc;
    b.fixedPath = a.fixed;
    b.dof = ro.dof;
    b.fixed = fix.get();
    // Every subject's verdict measures the same foreground of FIXED: found once.
    b.fixedForeground = verdictForeground(*fix, fixMask.get());
    fixMask.reset();
    b.prepared = prepared.get();
    b.pipeline = pipeline;

    std::vector<const Subject*> mine;
    std::vector<ResultRow> rows;
    std::vector<size_t> todo;
    std::vector<bool> pictureOnly;
    shareOut(b, subjects, shard, mine, rows, todo, pictureOnly);
    const int lanes = std::min<int>(jobs, std::max<size_t>(todo.size(), 1));
    // The search's own lines (--verbose) would cut into a bar: lines then, on a terminal too.
    const BatchProgress::Mode mode = ro.quiet ? BatchProgress::Mode::Silent
                                     : TerminalProgress::stderrIsTerminal() && !ro.verbose ? BatchProgress::Mode::Bar
                                                                                           : BatchProgress::Mode::Lines;
    BatchProgress progress(mode, (int)mine.size(), lanes);
    for (size_t k = 0; k < mine.size(); ++k)
        if (rows[k].status == "skipped" && !pictureOnly[k]) progress.finished(rows[k], false);

    SearchLogTo log(ro.verbose ? stderr : nullptr);
    runLanes(b, mine, todo, pictureOnly, lanes, progress, rows);
    progress.end();
    // The page shows the whole list: a shard's rows wait for --merge.
    return finishBatch(rows, table, shard.whole() ? a.outDir : "", a.suspectStatus, t0);
}
