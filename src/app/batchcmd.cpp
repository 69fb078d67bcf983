// tarvo batch FIXED LIST --out-dir DIR [registration options] [--shard I/N] [--merge]
#include <CLI/CLI.hpp>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/batchlist.h"
#include "app/progress.h"
#include "app/registrationjob.h"
#include "app/worldcommands.h"
#include "app/worldcommon.h"
#include "device/costfunction.h"
#include "registration/cost.h"
#include "registration/pipeline.h"
#include "registration/searchlog.h"
#include "volume/physicalimage.h"

namespace {

const char* kName = "batch";
// Subjects at once on the CPU when not told: one per thread up to this many. Each holds
// its moving image, pyramid and output (a few hundred MB for a 1 mm head).
constexpr int kJobs = 8;

const char* kFooterBatch =
    "LIST: one moving image per line, or ID<TAB>PATH; blank lines and lines starting with\n"
    "'#' are skipped. An id defaults to the file name without its extension; an id used\n"
    "twice is refused before any work. Relative paths are taken from the current folder.\n"
    "\n"
    "Outputs: DIR/<id>/ receives what register writes: <id>.nii.gz (MOVING resampled onto\n"
    "FIXED's grid), <id>_affine.txt (the world matrix), <id>_itk.txt (the ITK transform),\n"
    "<id>_qc.png with --qc, and result.tsv, the subject's row, written last.\n"
    "DIR/results.tsv holds one row per subject: id, path, status (ok, failed or skipped),\n"
    "final cost, seconds, message (the reason of a failure, warnings about a file used).\n"
    "\n"
    "Resuming: every file goes through a temporary name and is renamed into place, the\n"
    "subject's row last. Run the same command again and the subjects whose row says ok,\n"
    "with these settings (FIXED, --fixed-mask, --dof, --init, --no-refine) and all files\n"
    "present, are skipped; the rest are done again. A batch stopped at any moment can\n"
    "simply be rerun.\n"
    "\n"
    "Several at once: on the CPU backend the batch registers --jobs subjects at once, the\n"
    "threads (--threads, default all) shared among them; the results are register's, however\n"
    "the threads are shared. Default: one per thread, at most 8 (with --verbose: 1, so\n"
    "that a subject's search lines stay together). Memory grows with the subjects in\n"
    "progress, not with the list.\n"
    "\n"
    "Failures: a subject that cannot be read or registered gets a failed row with the\n"
    "reason and the batch goes on. Exit status 0 when every subject is ok or skipped, else 1.\n"
    "\n"
    "Clusters: --shard I/N takes subjects I, I+N, I+2N, ... of the list (from 1) and writes\n"
    "DIR/results.shard-I-of-N.tsv. Without --shard, inside a Slurm array job, I and N come\n"
    "from the array (its first task is shard 1). --merge, given the batch's own command\n"
    "line, does no registration: it gathers every subject's row into DIR/results.tsv\n"
    "(a subject without one is failed). scripts/slurm-batch.sh submits both steps.\n";

const char* kFooterOutput =
    "Output: on standard output, exactly\n"
    "  ok: N / skipped: N / failed: N  one line each\n"
    "  results: FILE               the table written\n"
    "  time: S s                   seconds for the whole command\n"
    "Progress on standard error: a bar on a terminal, else one line per subject (nothing\n"
    "with --quiet).\n";

struct SubjectFiles {
    std::string dir, result;
    RegistrationFiles out;
    std::string qc;  // where the picture goes when asked for

    std::vector<const std::string*> outputs() const { return {&out.image, &out.matrix, &out.itk, &qc}; }
};

SubjectFiles filesOf(const std::string& outDir, const std::string& id, bool qc) {
    SubjectFiles f;
    f.dir = outDir + "/" + id;
    f.out.image = f.dir + "/" + id + ".nii.gz";
    f.out.matrix = f.dir + "/" + id + "_affine.txt";
    f.out.itk = f.dir + "/" + id + "_itk.txt";
    f.qc = f.dir + "/" + id + "_qc.png";
    if (qc) f.out.qc = f.qc;
    f.result = f.dir + "/result.tsv";
    return f;
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// mkdir -p; concurrent shards may create the same folders.
bool makeFolders(const std::string& path) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at < path.size() && path[at] != '/') continue;
        const std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool readFile(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    text = s.str();
    return !in.bad();
}

// A whole file through a temporary name and a rename: it is there complete or not at all.
bool writeFileAtomically(const std::string& path, const std::string& text) {
    const std::string tmp = path + ".tmp" + std::to_string((long)getpid());
    std::FILE* f = std::fopen(tmp.c_str(), "w");
    if (!f) return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0 || !ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

// Temporary files that a process killed while writing left in a subject's folder.
void removeLeftovers(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    std::vector<std::string> gone;
    while (dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        const size_t t = n.rfind(".tmp");
        const bool imageTmp = n.rfind(".tarvo-", 0) == 0 && t == n.size() - 4;
        const bool textTmp = t != std::string::npos && t + 4 < n.size() &&
                             n.find_first_not_of("0123456789", t + 4) == std::string::npos;
        if (imageTmp || textTmp) gone.push_back(dir + "/" + n);
    }
    closedir(d);
    for (const std::string& f : gone) std::remove(f.c_str());
}

// What a subject's outputs depend on besides its own image.
std::string settingsKey(const std::string& fixed, const RegistrationOptions& o) {
    return "fixed=" + fixed + " fixed-mask=" + o.fixedMask + " dof=" + std::to_string(o.dof) + " init=" + o.init +
           " search=" + o.search + (o.noRefine ? " no-refine" : "");
}

const char* kSettingsPrefix = "# tarvo batch settings: ";

std::string subjectResultText(const ResultRow& row, const std::string& settings) {
    return kSettingsPrefix + settings + "\n" + kResultsHeader + "\n" + formatResultRow(row) + "\n";
}

// A subject's stored row, when its file is whole; `settings` receives what it was made with.
bool readSubjectResult(const std::string& path, ResultRow& row, std::string& settings) {
    std::string text;
    if (!readFile(path, text)) return false;
    std::istringstream in(text);
    std::string first, header, line;
    if (!std::getline(in, first) || first.rfind(kSettingsPrefix, 0) != 0 || !std::getline(in, header) ||
        header != kResultsHeader || !std::getline(in, line))
        return false;
    settings = first.substr(std::strlen(kSettingsPrefix));
    return parseResultRow(line, row);
}

std::string tableText(const std::vector<ResultRow>& rows) {
    std::string t = std::string(kResultsHeader) + "\n";
    for (const ResultRow& r : rows) t += formatResultRow(r) + "\n";
    return t;
}

// Everything one process shares across its subjects.
struct Batch {
    std::string outDir, settings;
    bool qc = false;
    const Volume* fixed = nullptr;
    const PreparedFixed* prepared = nullptr;
    PipelineOptions pipeline = PipelineOptions::registerDefaults();
};

// Complete: an ok row made from this path with these settings, and every output there.
bool complete(const Batch& b, const Subject& s, ResultRow& stored) {
    const SubjectFiles f = filesOf(b.outDir, s.id, b.qc);
    std::string settings;
    return readSubjectResult(f.result, stored, settings) && stored.status == "ok" && stored.path == s.path &&
           stored.id == s.id && settings == b.settings && exists(f.out.image) && exists(f.out.matrix) &&
           exists(f.out.itk) && (!b.qc || exists(f.qc));
}

// One subject on `dev`: its image is loaded there, and the whole registration follows it.
ResultRow registerSubject(const Batch& b, const Subject& s, Device& dev) {
    const long long t0 = clockMs();
    const SubjectFiles f = filesOf(b.outDir, s.id, b.qc);
    ResultRow row;
    row.id = s.id;
    row.path = s.path;
    std::string error;
    bool ok = false;
    // A clean slate: nothing of an earlier run stays to be taken for this one's, and the
    // row goes first, so that until the new one is written the subject reads as not done.
    std::remove(f.result.c_str());
    for (const std::string* p : f.outputs()) std::remove(p->c_str());
    removeLeftovers(f.dir);
    if (!makeFolders(f.dir)) {
        error = "cannot create folder '" + f.dir + "': " + std::strerror(errno);
    } else {
        try {
            // Warnings about a file that is still used go into the subject's row.
            std::vector<std::string> warnings;
            LoadOptions load;
            load.warnings = &warnings;
            load.device = &dev;
            VolumePtr mov = loadImage(s.path.c_str(), error, load);
            if (mov) {
                const PipelineResult res = runPipeline(*mov, *b.prepared, b.pipeline);
                Affine world;
                ok = writeRegistration(res, *mov, *b.fixed, f.out, world, error);
                row.hasCost = ok;
                row.cost = res.cost;
            }
            for (const std::string& w : warnings) row.message += (row.message.empty() ? "" : "; ") + w;
        } catch (const std::bad_alloc&) {
            error = "not enough memory";
        } catch (const std::exception& e) {
            error = e.what();
        }
    }
    if (!ok) freeCorrelationRatio();  // whatever a failure left prepared
    row.status = ok ? "ok" : "failed";
    if (!ok) row.message = error + (row.message.empty() ? "" : "; " + row.message);
    row.seconds = (double)(clockMs() - t0) / 1000.0;
    // The row last: only now does the subject read as done.
    if (exists(f.dir) && !writeFileAtomically(f.result, subjectResultText(row, b.settings)) && ok) {
        for (const std::string* p : f.outputs()) std::remove(p->c_str());
        row.status = "failed";
        row.hasCost = false;
        row.message = "cannot write '" + f.result + "'";
    }
    return row;
}

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

int finish(const std::vector<ResultRow>& rows, const std::string& table, long long t0) {
    if (!writeFileAtomically(table, tableText(rows))) {
        commandError(kName, "cannot write '" + table + "'");
        return 1;
    }
    printSummary(rows, table, t0);
    for (const ResultRow& r : rows)
        if (r.status == "failed") return 1;
    return 0;
}

// Every subject's stored row, in list order, into DIR/results.tsv.
int merge(const std::vector<Subject>& subjects, const std::string& outDir, const std::string& settings,
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
    return finish(rows, outDir + "/results.tsv", t0);
}

}  // namespace

int runBatchCommand(int argc, char** argv) {
    const long long t0 = clockMs();
    CLI::App app{"Registers every image of LIST to FIXED in one process: FIXED is loaded and prepared\n"
                 "once, each subject's outputs go to their own folder of DIR, a failed subject does\n"
                 "not stop the others, and a stopped batch resumes where it was.",
                 "tarvo batch"};
    app.footer(std::string(kFooterBatch) + "\n" + kRegistrationOptionsHelp + "\n" + kFooterOutput);
    std::string fixed, list, outDir, shardText;
    bool mergeOnly = false, qc = false;
    int jobsWanted = 0;
    RegistrationOptions ro;
    app.add_option("FIXED", fixed, "image every subject is registered to; outputs lie on its grid")->required();
    app.add_option("LIST", list, "text file of moving images, one a line (PATH or ID<TAB>PATH)")->required();
    app.add_option("--out-dir", outDir, "folder of the outputs (made when missing)")->required();
    app.add_flag("--qc", qc, "also DIR/<id>/<id>_qc.png, a picture to check each registration by eye");
    auto* shardOpt = app.add_option("--shard", shardText, "take subjects I, I+N, ... of the list (I/N, from 1)");
    app.add_flag("--merge", mergeOnly, "no registration: gather the subjects' rows into DIR/results.tsv")
        ->excludes(shardOpt);
    app.add_option("--jobs", jobsWanted, "subjects registered at once on the CPU backend, sharing the threads")
        ->check(CLI::Range(1, 4096));
    addRegistrationOptions(app, ro);
    int status = 0;
    if (!parseCommand(app, argc, argv, kName, status)) return status;
    if (!ro.movingMask.empty()) {
        commandError(kName, "--moving-mask: one mask cannot lie on every subject's grid; register such "
                            "subjects one by one");
        return 1;
    }
    while (outDir.size() > 1 && outDir.back() == '/') outDir.pop_back();

    // Everything that can be checked is, before any work.
    std::string text, error;
    std::vector<Subject> subjects;
    if (!readFile(list, text)) {
        commandError(kName, "cannot read list '" + list + "'");
        return 1;
    }
    if (!parseSubjectList(text, subjects, error)) {
        commandError(kName, "list '" + list + "': " + error);
        return 1;
    }
    const std::string settings = settingsKey(fixed, ro);
    if (mergeOnly) return merge(subjects, outDir, settings, t0);

    Shard shard;
    if (!shardText.empty() ? !parseShard(shardText, shard, error)
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
    if (jobsWanted > 1 && !onCpu) {
        commandError(kName, "--jobs registers several subjects at once on the CPU backend, but a GPU does the work");
        return 1;
    }
    const int jobs = jobsWanted > 0 ? jobsWanted : !onCpu || ro.verbose ? 1 : std::min(defaultCpuThreads(), kJobs);
    VolumePtr fix, fixMask;
    if (!loadFixed(fixed, ro, fix, fixMask, error)) {
        commandError(kName, error);
        return 1;
    }
    const std::unique_ptr<PreparedFixed> prepared = PreparedFixed::prepare(*fix, fixMask.get());
    fixMask.reset();
    if (!prepared) {
        commandError(kName, "'" + fixed + "' is too small to hold one voxel of 1 mm");
        return 1;
    }
    if (!makeFolders(outDir) || access(outDir.c_str(), W_OK) != 0) {
        commandError(kName, "cannot write in folder '" + outDir + "'");
        return 1;
    }

    // This run's table appears only when the run is over; older tables are stale from now.
    const std::string table = shard.whole() ? outDir + "/results.tsv"
                                            : outDir + "/results.shard-" + std::to_string(shard.index) + "-of-" +
                                                  std::to_string(shard.count) + ".tsv";
    std::remove(table.c_str());
    std::remove((outDir + "/results.tsv").c_str());

    Batch b;
    b.outDir = outDir;
    b.settings = settings;
    b.qc = qc;
    b.fixed = fix.get();
    b.prepared = prepared.get();
    b.pipeline.dof = Dof(ro.dof);
    b.pipeline.search = ro.search == "standard" ? SearchKind::Standard : SearchKind::Wide;
    b.pipeline.start = start;
    b.pipeline.precision = !ro.noRefine;

    std::vector<const Subject*> mine;
    for (size_t k = 0; k < subjects.size(); ++k)
        if (shard.contains(k)) mine.push_back(&subjects[k]);
    // Rows in list order; the subjects complete from an earlier run are known before any
    // work, so that the lanes go to those left.
    std::vector<ResultRow> rows(mine.size());
    std::vector<size_t> todo;
    for (size_t k = 0; k < mine.size(); ++k) {
        if (complete(b, *mine[k], rows[k])) {
            rows[k].status = "skipped";
            rows[k].message = "complete from an earlier run";
        } else {
            todo.push_back(k);
        }
    }
    const int lanes = std::min<int>(jobs, std::max<size_t>(todo.size(), 1));
    // The search's own lines (--verbose) would cut into a bar: lines then, on a terminal too.
    const BatchProgress::Mode mode = ro.quiet ? BatchProgress::Mode::Silent
                                     : TerminalProgress::stderrIsTerminal() && !ro.verbose ? BatchProgress::Mode::Bar
                                                                                           : BatchProgress::Mode::Lines;
    BatchProgress progress(mode, (int)mine.size(), lanes);
    std::mutex lock;  // over progress and rows while lanes run
    auto finished = [&](size_t k, bool registered) {
        const ResultRow& row = rows[k];
        char detail[64] = "";
        if (row.hasCost) std::snprintf(detail, sizeof detail, "cost %.6f, %.1f s", row.cost, row.seconds);
        progress.finished(mine[k]->id, row.status, row.status == "failed" ? row.message : detail, row.seconds,
                          registered);
    };
    for (size_t k = 0; k < mine.size(); ++k)
        if (rows[k].status == "skipped") finished(k, false);

    SearchLogTo log(ro.verbose ? stderr : nullptr);
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
            finished(k, true);
        }
    };
    if (lanes == 1) {
        lane(device());
    } else {
        // Lanes of the CPU backend, each with its own share of the threads; the fixed
        // image stays on the process's backend, which they only read.
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
    progress.end();
    return finish(rows, table, t0);
}
