// The plain-text parts of a batch: the subject list, --shard, the Slurm array variables,
// the rows of results.tsv and a subject's own record that a rerun resumes from. Every
// parser sees the whole input; the Slurm variables are its first lines.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/commands/batchlist.h"

namespace {

void subjectList(const std::string& text) {
    std::vector<Subject> subjects;
    std::string error;
    if (!parseSubjectList(text, subjects, error)) {
        if (error.empty()) std::abort();
        return;
    }
    // The ids name output folders: they must be usable and distinct.
    std::set<std::string> ids;
    for (const Subject& s : subjects) {
        if (s.id.empty() || s.id == "." || s.id == ".." || s.id.find('/') != std::string::npos ||
            s.path.empty() || s.line < 1 || !ids.insert(s.id).second)
            std::abort();
    }
    if (subjects.empty()) std::abort();
}

void shard(const std::string& text) {
    Shard s;
    std::string error;
    if (parseShard(text, s, error) && !(1 <= s.index && s.index <= s.count)) std::abort();
}

void slurm(const std::string& text) {
    static const char* const kNames[] = {"SLURM_ARRAY_TASK_ID", "SLURM_ARRAY_TASK_MIN", "SLURM_ARRAY_TASK_STEP",
                                         "SLURM_ARRAY_TASK_COUNT", "SLURM_ARRAY_TASK_MAX"};
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; lines.size() < 5 && std::getline(in, l);) lines.push_back(l);
    // A line of a single '-' stands for an unset variable.
    auto env = [&](const char* name) -> const char* {
        for (size_t i = 0; i < lines.size(); ++i)
            if (std::strcmp(name, kNames[i]) == 0) return lines[i] == "-" ? nullptr : lines[i].c_str();
        return nullptr;
    };
    Shard s;
    std::string error;
    if (shardFromSlurm(env, s, error) && !(1 <= s.index && s.index <= s.count)) std::abort();
}

// A row the program writes must read back: a rerun trusts its own records.
void resultRows(const std::string& text) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        ResultRow row;
        if (!parseResultRow(line, row)) continue;
        ResultRow again;
        if (!parseResultRow(formatResultRow(row), again) || again.status != row.status ||
            again.hasCost != row.hasCost)
            std::abort();
    }
    ResultRow row;
    std::string settings;
    if (parseSubjectResult(text, row, settings)) {
        ResultRow again;
        std::string settingsAgain;
        if (settings.find('\n') == std::string::npos &&
            (!parseSubjectResult(subjectResultText(row, settings), again, settingsAgain) || settingsAgain != settings))
            std::abort();
    }
    (void)tableText({row});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    subjectList(text);
    shard(text);
    slurm(text);
    resultRows(text);
    (void)subjectIdFromPath(text);
    return 0;
}
