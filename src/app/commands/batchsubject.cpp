#include "app/commands/batchsubject.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <set>
#include <utility>

#include "app/commands/commands.h"
#include "app/commands/posixfiles.h"
#include "app/commands/qccaption.h"
#include "registration/cost.h"
#include "registration/verdict.h"
#include "device/costfunction.h"
#include "volume/inputs.h"
#include "volume/physicalimage.h"
#include "volume/qcpicture.h"
#include "volume/resample.h"
#include "volume/transformfiles.h"

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

std::string settingsKey(const std::string& fixed, const RegistrationOptions& o) {
    return std::string("version=") + tarvoVersion() + " cost=" + (o.oneWay ? "" : "two-way-") + (o.noForeground ? "whole-field" : "foreground") +
           " fixed=" + fixed + " fixed-mask=" + o.fixedMask + " dof=" + std::to_string(o.dof) + " init=" + o.init +
           " search=" + o.search + (o.noRefine ? " no-refine" : "");
}

std::string staleReason(const std::string& made, const std::string& settings) {
    // The version is the key's first word; a record from before it has none.
    auto version = [](const std::string& key) {
        return key.rfind("version=", 0) == 0 ? key.substr(0, key.find(' ')) : std::string();
    };
    if (version(made) != version(settings)) return "was made by another version of tarvo";
    return "was made for another image or with other settings";
}

bool readSubjectResult(const std::string& path, ResultRow& row, std::string& settings) {
    std::string text;
    return readFile(path, text) && parseSubjectResult(text, row, settings);
}

bool outputsSpareInputs(const std::string& outDir, bool qc, const std::vector<Subject>& subjects,
                        const std::vector<std::string>& inputs, const std::vector<std::string>& tables,
                        std::string& error) {
    // By device and inode: thousands of subjects, each output looked up once.
    std::set<std::pair<dev_t, ino_t>> read;
    auto remember = [&](const std::string& f) {
        struct stat st;
        if (stat(f.c_str(), &st) == 0) read.emplace(st.st_dev, st.st_ino);
    };
    for (const std::string& f : inputs) remember(f);
    for (const Subject& s : subjects)
        for (const std::string& f : inputImageFiles(s.path)) remember(f);
    auto spared = [&](const std::string& out) {
        struct stat st;
        if (stat(out.c_str(), &st) != 0 || !read.count({st.st_dev, st.st_ino})) return true;
        error = "output '" + out + "' would overwrite an input of the run";
        return false;
    };
    for (const std::string& t : tables)
        if (!spared(t)) return false;
    for (const Subject& s : subjects) {
        const SubjectFiles f = filesOf(outDir, s.id, qc);
        for (const std::string* out : {&f.out.image, &f.out.matrix, &f.out.itk, &f.qc, &f.result})
            if (!spared(*out)) return false;
    }
    return true;
}

bool complete(const Batch& b, const Subject& s, ResultRow& stored) {
    const SubjectFiles f = filesOf(b.outDir, s.id, b.qc);
    std::string settings;
    return readSubjectResult(f.result, stored, settings) && stored.status == "ok" && stored.hasVerdict &&
           stored.path == s.path && stored.id == s.id && settings == b.settings && exists(f.out.image) &&
           exists(f.out.matrix) && exists(f.out.itk);
}

bool lacksPicture(const Batch& b, const Subject& s) { return b.qc && !exists(filesOf(b.outDir, s.id, true).qc); }

namespace {

Verdict storedVerdict(const ResultRow& row) {
    Verdict v;
    v.fixedOverlap = row.fixedOverlap;
    v.movingOverlap = row.movingOverlap;
    v.turn = row.turn;
    v.suspect = row.suspect;
    v.reason = row.reason;
    return v;
}

QcCaption subjectCaption(const Batch& b, const Subject& s, double cost, const Verdict& v) {
    return registrationCaption("subject " + s.id + ": " + s.path, b.fixedPath, cost, v, b.dof);
}

}  // namespace

bool drawPicture(const Batch& b, const Subject& s, const ResultRow& stored, Device& dev, std::string& error) {
    const SubjectFiles f = filesOf(b.outDir, s.id, true);
    Affine world;
    if (!readWorldMatrix(f.out.matrix, world, error)) return false;
    LoadOptions load;
    load.device = &dev;
    VolumePtr mov = loadImage(s.path.c_str(), error, load);
    if (!mov) return false;
    // The image as the registration resampled it: through the matrix as the file holds it.
    VolumePtr out = resampleWorld(*mov, *b.fixed, world, false);
    return writeQcPicture(*b.fixed, *out, f.qc.c_str(), error, nullptr,
                          subjectCaption(b, s, stored.cost, storedVerdict(stored)));
}

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
            if (mov && registrable(*mov, nullptr, s.path, error)) {
                const PipelineResult res = runPipeline(*mov, *b.prepared, b.pipeline);
                Affine world;
                Verdict v;
                // The verdict before the files: the picture's caption says it.
                if (registeredWorld(res, world, error)) {
                    v = judgeRegistration(*mov, nullptr, *b.fixed, b.fixedForeground, world, res.startWorld,
                                          res.movingForeground.get());
                    RegistrationFiles out = f.out;
                    if (!out.qc.empty()) out.caption = subjectCaption(b, s, res.cost, v);
                    ok = writeRegistration(res, *mov, *b.fixed, out, world, error);
                }
                row.hasCost = ok;
                row.cost = res.cost;
                if (ok) {
                    row.hasVerdict = true;
                    row.fixedOverlap = v.fixedOverlap;
                    row.movingOverlap = v.movingOverlap;
                    row.turn = v.turn;
                    row.suspect = v.suspect;
                    row.reason = v.reason;
                }
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
