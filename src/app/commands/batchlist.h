#pragma once
// The parts of a batch that are plain text: the subject list, the share of it one process
// takes (--shard or a Slurm array's environment), the rows of the result tables, and the
// record of a finished subject that a rerun resumes from.
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

struct Subject {
    std::string id, path;
    int line = 0;  // in the list, from 1
};

// The id a path gets when the list gives none: the file name without its image extension.
std::string subjectIdFromPath(const std::string& path);

// One subject per line: PATH, or ID<TAB>PATH. Blank lines and lines starting with '#'
// are skipped. An id names a folder of the output: it may not be empty, ".", "..", nor
// hold '/' or control characters. False with `error` (naming the lines) for a bad line,
// an id used twice, or a list without subjects.
bool parseSubjectList(const std::string& text, std::vector<Subject>& subjects, std::string& error);

// Subject k (from 0) of the list belongs to shard I of N (from 1) when k % N == I - 1.
struct Shard {
    int index = 1, count = 1;
    bool contains(size_t k) const { return (int)(k % (size_t)count) == index - 1; }
    bool whole() const { return count == 1; }
};

// "I/N" with 1 <= I <= N. False with `error`.
bool parseShard(const std::string& text, Shard& shard, std::string& error);

// The shard of a Slurm array task, from SLURM_ARRAY_TASK_ID, _MIN, _STEP and _COUNT (or
// _MAX): task MIN is shard 1. `env` looks a variable up (null when unset). Returns false
// when there is no array task id; sets `error` when there is one but the numbers cannot
// give a shard.
bool shardFromSlurm(const std::function<const char*(const char*)>& env, Shard& shard, std::string& error);

// A row of results.tsv: id, path, status (ok, failed or skipped), final cost, seconds,
// message, then the verdict: fixed_overlap, moving_overlap, turn, verdict (ok or suspect),
// reason. Cost, seconds and the verdict's columns are empty where there are none (a failed
// subject, a row of a table from before the verdict).
struct ResultRow {
    std::string id, path, status;
    bool hasCost = false;
    double cost = 0;
    double seconds = -1;  // negative: none
    std::string message;
    bool hasVerdict = false;
    double fixedOverlap = 0, movingOverlap = 0, turn = 0;
    bool suspect = false;
    std::string reason;  // empty when ok
};

extern const char* const kResultsHeader;  // the column names, tab-separated
// One line without its newline; tabs and line breaks in the texts become spaces.
std::string formatResultRow(const ResultRow& row);
// False for a line that is not a row of eleven columns, or of the six of a table from
// before the verdict, with a known status and verdict.
bool parseResultRow(const std::string& line, ResultRow& row);

// The table of a batch (results.tsv and its shards): the header, then one row a line.
std::string tableText(const std::vector<ResultRow>& rows);

// A subject's own record (DIR/<id>/result.tsv), written last: the settings it was made
// with, the header and its row. A rerun skips the subject only when the record is whole
// and the settings are the run's.
std::string subjectResultText(const ResultRow& row, const std::string& settings);
// False for a text that is not such a record; `settings` receives what it was made with.
bool parseSubjectResult(const std::string& text, ResultRow& row, std::string& settings);
