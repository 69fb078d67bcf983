#include "app/commands/batchlist.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

#include "volume/inputs.h"

std::string subjectIdFromPath(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return withoutImageExtension(slash == std::string::npos ? path : path.substr(slash + 1));
}

namespace {

// Without surrounding spaces (and a Windows line end); tabs separate columns and stay.
std::string trimmed(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && s[b] == ' ') ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
}

const char* badId(const std::string& id) {
    if (id.empty()) return "an empty id";
    if (id == "." || id == "..") return "an id that names no folder";
    for (unsigned char c : id) {
        if (c == '/') return "an id with '/'";
        if (c < 0x20 || c == 0x7f) return "an id with a control character";
    }
    return nullptr;
}

// A text from the list as a message may quote it: control characters and bytes beyond
// ASCII as \xNN, so that a binary file given as the list cannot write raw bytes to the
// terminal.
std::string escaped(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7f) {
            out += (char)c;
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    return out;
}

// Whole decimal number (optionally signed), nothing else.
bool wholeNumber(const char* text, long& v) {
    if (!text || !*text) return false;
    char* end = nullptr;
    errno = 0;
    v = std::strtol(text, &end, 10);
    return errno == 0 && *end == '\0';
}

// More shards than any batch has subjects for; it bounds --shard and the Slurm array alike.
constexpr long kMaxShards = 1000000;
// Slurm's array indices stay below its MaxArraySize (at most 4000001): anything beyond this
// is not an array task, and below it the shard arithmetic cannot overflow.
constexpr long kMaxArrayValue = 1000000000;
bool arrayValue(long v) { return v >= -kMaxArrayValue && v <= kMaxArrayValue; }

}  // namespace

bool parseSubjectList(const std::string& text, std::vector<Subject>& subjects, std::string& error) {
    subjects.clear();
    std::map<std::string, int> firstLine;
    std::string dupes;
    if (text.find('\0') != std::string::npos) {
        error = "not a text file (it holds NUL bytes): give a list of image paths, one a line";
        return false;
    }
    std::istringstream in(text);
    std::string raw;
    for (int line = 1; std::getline(in, raw); ++line) {
        const std::string l = trimmed(raw);
        if (l.empty() || l[0] == '#') continue;
        Subject s;
        s.line = line;
        const size_t tab = l.find('\t');
        if (tab == std::string::npos) {
            s.path = l;
            s.id = subjectIdFromPath(l);
        } else {
            s.id = trimmed(l.substr(0, tab));
            s.path = trimmed(l.substr(tab + 1));
            if (s.path.find('\t') != std::string::npos) {
                error = "line " + std::to_string(line) + ": more than two columns";
                return false;
            }
        }
        if (s.path.empty()) {
            error = "line " + std::to_string(line) + ": no image path";
            return false;
        }
        if (const char* why = badId(s.id)) {
            error = "line " + std::to_string(line) + ": " + why + " ('" + escaped(s.id) + "')";
            return false;
        }
        auto [at, fresh] = firstLine.emplace(s.id, line);
        if (!fresh) {
            if (!dupes.empty()) dupes += ", ";
            // Appended piece by piece: gcc 12 misreads "'" + a temporary as an overlapping copy.
            dupes += '\'';
            dupes += escaped(s.id);
            dupes += "' on lines " + std::to_string(at->second) + " and " + std::to_string(line);
        }
        subjects.push_back(std::move(s));
    }
    if (!dupes.empty()) {
        error = "ids used twice: " + dupes + " (give them ids of their own: ID<TAB>PATH)";
        return false;
    }
    if (subjects.empty()) {
        error = "the list holds no subject";
        return false;
    }
    return true;
}

bool parseShard(const std::string& text, Shard& shard, std::string& error) {
    const size_t slash = text.find('/');
    long i = 0, n = 0;
    if (slash == std::string::npos || !wholeNumber(text.substr(0, slash).c_str(), i) ||
        !wholeNumber(text.substr(slash + 1).c_str(), n) || n < 1 || i < 1 || i > n || n > kMaxShards) {
        error = "--shard must be I/N with 1 <= I <= N, not '" + escaped(text) + "'";
        return false;
    }
    shard.index = (int)i;
    shard.count = (int)n;
    return true;
}

bool shardFromSlurm(const std::function<const char*(const char*)>& env, Shard& shard, std::string& error) {
    long id = 0;
    const char* idText = env("SLURM_ARRAY_TASK_ID");
    if (!idText) return false;
    long min = 0, max = 0, step = 1, count = 0;
    const char* stepText = env("SLURM_ARRAY_TASK_STEP");
    const bool haveCount = wholeNumber(env("SLURM_ARRAY_TASK_COUNT"), count);
    const bool haveMax = wholeNumber(env("SLURM_ARRAY_TASK_MAX"), max);
    if (!wholeNumber(idText, id) || !wholeNumber(env("SLURM_ARRAY_TASK_MIN"), min) || !(haveCount || haveMax) ||
        (stepText && !wholeNumber(stepText, step)) || step < 1 || !arrayValue(id) || !arrayValue(min) ||
        !arrayValue(max) || !arrayValue(step)) {
        error = "the Slurm array variables (SLURM_ARRAY_TASK_ID, _MIN, _COUNT or _MAX) do not give a shard; "
                "give --shard I/N";
        return false;
    }
    const long n = haveCount ? count : (max - min) / step + 1;
    const long i = (id - min) / step + 1;
    if ((id - min) % step != 0 || n < 1 || n > kMaxShards || i < 1 || i > n) {
        error = "Slurm array task " + std::string(idText) + " is not one of " + std::to_string(n) +
                " evenly numbered tasks from " + std::to_string(min) + "; give --shard I/N";
        return false;
    }
    shard.index = (int)i;
    shard.count = (int)n;
    return true;
}

const char* const kResultsHeader =
    "id\tpath\tstatus\tcost\tseconds\tmessage\tfixed_overlap\tmoving_overlap\tturn\tverdict\treason";

namespace {

// The header of the tables and records written before the verdict's columns: their rows
// are still read (a rerun redoes them, see settingsKey).
const char* const kResultsHeaderBeforeVerdict = "id\tpath\tstatus\tcost\tseconds\tmessage";

// A number column: empty, or a finite number and nothing else.
bool numberColumn(const std::string& f, bool& has, double& v) {
    has = !f.empty();
    if (!has) return true;
    char* end = nullptr;
    v = std::strtod(f.c_str(), &end);
    return !*end && std::isfinite(v);
}

}  // namespace

namespace {

std::string oneLine(std::string s) {
    for (char& c : s)
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    return s;
}

}  // namespace

std::string formatResultRow(const ResultRow& r) {
    char cost[32] = "", seconds[32] = "", verdict[96] = "\t\t\t";
    if (r.hasCost) std::snprintf(cost, sizeof cost, "%.6f", r.cost);
    if (r.seconds >= 0) std::snprintf(seconds, sizeof seconds, "%.3f", r.seconds);
    if (r.hasVerdict)
        std::snprintf(verdict, sizeof verdict, "%.3f\t%.3f\t%.1f\t%s", r.fixedOverlap, r.movingOverlap, r.turn,
                      r.suspect ? "suspect" : "ok");
    return oneLine(r.id) + "\t" + oneLine(r.path) + "\t" + r.status + "\t" + cost + "\t" + seconds + "\t" +
           oneLine(r.message) + "\t" + verdict + "\t" + (r.hasVerdict && r.suspect ? oneLine(r.reason) : "");
}

bool parseResultRow(const std::string& line, ResultRow& r) {
    std::vector<std::string> f;
    size_t b = 0;
    for (;;) {
        const size_t t = line.find('\t', b);
        f.push_back(line.substr(b, t == std::string::npos ? std::string::npos : t - b));
        if (t == std::string::npos) break;
        b = t + 1;
    }
    if ((f.size() != 6 && f.size() != 11) || (f[2] != "ok" && f[2] != "failed" && f[2] != "skipped")) return false;
    r = ResultRow();
    r.id = f[0];
    r.path = f[1];
    r.status = f[2];
    bool hasSeconds = false;
    if (!numberColumn(f[3], r.hasCost, r.cost) || !numberColumn(f[4], hasSeconds, r.seconds)) return false;
    if (!hasSeconds) r.seconds = -1;
    r.message = f[5];
    if (f.size() == 6) return true;
    // All of the verdict's columns or none of them; a reason only with suspect.
    bool hasF = false, hasM = false, hasT = false;
    if (!numberColumn(f[6], hasF, r.fixedOverlap) || !numberColumn(f[7], hasM, r.movingOverlap) ||
        !numberColumn(f[8], hasT, r.turn))
        return false;
    r.hasVerdict = !f[9].empty();
    r.suspect = f[9] == "suspect";
    r.reason = f[10];
    if (r.hasVerdict ? !(hasF && hasM && hasT) || (f[9] != "ok" && !r.suspect) || (!r.suspect && !r.reason.empty())
                     : hasF || hasM || hasT || !r.reason.empty())
        return false;
    return true;
}

std::string tableText(const std::vector<ResultRow>& rows) {
    std::string t = std::string(kResultsHeader) + "\n";
    for (const ResultRow& r : rows) t += formatResultRow(r) + "\n";
    return t;
}

namespace {

const char* kSettingsPrefix = "# tarvo batch settings: ";

}  // namespace

std::string subjectResultText(const ResultRow& row, const std::string& settings) {
    return kSettingsPrefix + settings + "\n" + kResultsHeader + "\n" + formatResultRow(row) + "\n";
}

bool parseSubjectResult(const std::string& text, ResultRow& row, std::string& settings) {
    std::istringstream in(text);
    std::string first, header, line;
    if (!std::getline(in, first) || first.rfind(kSettingsPrefix, 0) != 0 || !std::getline(in, header) ||
        (header != kResultsHeader && header != kResultsHeaderBeforeVerdict) || !std::getline(in, line))
        return false;
    // A row as wide as its header, or the record is not one that batch wrote.
    if (std::count(line.begin(), line.end(), '\t') != std::count(header.begin(), header.end(), '\t')) return false;
    settings = first.substr(std::strlen(kSettingsPrefix));
    return parseResultRow(line, row);
}
