#pragma once
#include <cstdint>
#include <vector>
// One subject of a batch: where its files go, whether an earlier run finished it, and its
// registration, whose failure becomes its row rather than the batch's end.
#include <string>
#include <vector>

#include "app/commands/batchlist.h"
#include "registration/options.h"
#include "registration/outputs.h"
#include "registration/pipeline.h"

class Device;

// Everything one process shares across its subjects.
struct Batch {
    std::string outDir, settings;
    std::string fixedPath;  // as the command line names it: the pictures' captions say it
    int dof = 12;
    bool qc = true;
    const Volume* fixed = nullptr;
    std::vector<uint8_t> fixedForeground;  // FIXED's, for the verdict (verdictForeground)
    const PreparedFixed* prepared = nullptr;
    PipelineOptions pipeline = PipelineOptions::registerDefaults();
};

// DIR/<id>/: what register writes, the picture, and the subject's record.
struct SubjectFiles {
    std::string dir, result;
    RegistrationFiles out;
    std::string qc;  // where the picture goes when asked for

    std::vector<const std::string*> outputs() const { return {&out.image, &out.matrix, &out.itk, &qc}; }
};

SubjectFiles filesOf(const std::string& outDir, const std::string& id, bool qc);

// What a subject's outputs depend on besides its own image: a record made otherwise is
// not this run's. It begins with the program's version and the kind of cost (version=V
// cost=foreground|whole-field): another version may register or judge differently, and
// the two costs give different answers, so their records are never taken for this run's.
std::string settingsKey(const std::string& fixed, const RegistrationOptions& o);

// Why a record made with `made` is not this run's (made with `settings`), in a few words.
std::string staleReason(const std::string& made, const std::string& settings);

// A subject's stored record, when its file is whole; `settings` receives what it was made
// with.
bool readSubjectResult(const std::string& path, ResultRow& row, std::string& settings);

// Complete: an ok row made from this path with these settings, and every output there
// but the picture, which drawPicture can add without registering again.
bool complete(const Batch& b, const Subject& s, ResultRow& stored);
// Whether a complete subject still lacks the picture the batch draws.
bool lacksPicture(const Batch& b, const Subject& s);

// The picture of a complete subject from its stored matrix and row (the image resampled
// as its registration did, the caption from the row), on `dev`. False with `error`.
bool drawPicture(const Batch& b, const Subject& s, const ResultRow& stored, Device& dev, std::string& error);

// No output of the run (a subject's image, matrices, picture and record, or one of
// `tables`) may be a file the run reads: a subject's image, or one of `inputs` (the fixed
// image and mask, --init's matrix, the list). Checked by what the files are on disk,
// before any work or removal. False with `error` naming the file.
bool outputsSpareInputs(const std::string& outDir, bool qc, const std::vector<Subject>& subjects,
                        const std::vector<std::string>& inputs, const std::vector<std::string>& tables,
                        std::string& error);

// One subject on `dev`: its image is loaded there, and the whole registration follows it.
// Its record is written last; the row returned says ok or failed, with the reason.
ResultRow registerSubject(const Batch& b, const Subject& s, Device& dev);
