#include "app/commands/batchreport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "app/commands/batchsubject.h"
#include "app/commands/posixfiles.h"
#include "volume/transformfiles.h"

namespace {

// Needing a look first: failed, then suspect, then the rest; list order within each.
int attention(const ResultRow& r) {
    if (r.status == "failed") return 0;
    if (r.hasVerdict && r.suspect) return 1;
    return 2;
}

std::string format(const char* f, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, f, v);
    return buf;
}

std::string hms(double seconds) {
    const long s = std::lround(seconds);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    return buf;
}

// A PNG's size from its header, so that the page reserves each thumbnail's room before
// it loads (thousands of rows that load lazily would otherwise jump as they come).
bool pngSize(const std::string& path, int& w, int& h) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    unsigned char b[24];
    const bool ok = std::fread(b, 1, sizeof b, f) == sizeof b && std::memcmp(b, "\x89PNG\r\n\x1a\n", 8) == 0 &&
                    std::memcmp(b + 12, "IHDR", 4) == 0;
    std::fclose(f);
    if (!ok) return false;
    w = (b[16] << 24) | (b[17] << 16) | (b[18] << 8) | b[19];
    h = (b[20] << 24) | (b[21] << 16) | (b[22] << 8) | b[23];
    return w > 0 && h > 0;
}

// The costs' distribution as bars, inline: the page stays one file.
std::string histogramSvg(const std::vector<ResultRow>& rows) {
    std::vector<double> costs;
    for (const ResultRow& r : rows)
        if (r.hasCost) costs.push_back(r.cost);
    if (costs.empty()) return "<p class=\"none\">No costs: no subject was registered.</p>\n";
    const double lo = *std::min_element(costs.begin(), costs.end()), hi = *std::max_element(costs.begin(), costs.end());
    const int bins = hi > lo ? std::clamp((int)std::ceil(std::sqrt((double)costs.size())), 5, 40) : 1;
    std::vector<int> count(bins, 0);
    for (double c : costs) count[hi > lo ? std::min(bins - 1, (int)((c - lo) / (hi - lo) * bins)) : 0]++;
    const int most = *std::max_element(count.begin(), count.end());
    constexpr int kW = 480, kH = 120, kLeft = 34, kBottom = 22, kTop = 8;
    const double barW = (double)(kW - kLeft - 4) / bins;
    std::string s = "<svg class=\"hist\" width=\"" + std::to_string(kW) + "\" height=\"" + std::to_string(kH) +
                    "\" viewBox=\"0 0 " + std::to_string(kW) + " " + std::to_string(kH) +
                    "\" role=\"img\" aria-label=\"histogram of the final costs\">\n";
    for (int b = 0; b < bins; ++b) {
        const double h = (double)count[b] / most * (kH - kBottom - kTop);
        const double from = lo + (hi - lo) * b / bins, to = lo + (hi - lo) * (b + 1) / bins;
        s += "<rect x=\"" + format("%.1f", kLeft + b * barW + 1) + "\" y=\"" + format("%.1f", kH - kBottom - h) +
             "\" width=\"" + format("%.1f", std::max(barW - 2, 1.0)) + "\" height=\"" + format("%.1f", h) +
             "\"><title>" + std::to_string(count[b]) + " subject" + (count[b] == 1 ? "" : "s") + ", cost " +
             format("%.4f", from) + " to " + format("%.4f", to) + "</title></rect>\n";
    }
    s += "<line x1=\"" + std::to_string(kLeft) + "\" y1=\"" + std::to_string(kH - kBottom) + "\" x2=\"" +
         std::to_string(kW - 2) + "\" y2=\"" + std::to_string(kH - kBottom) + "\"/>\n";
    s += "<text x=\"" + std::to_string(kLeft) + "\" y=\"" + std::to_string(kH - 6) + "\">" + format("%.4f", lo) +
         "</text>\n";
    s += "<text x=\"" + std::to_string(kW - 2) + "\" y=\"" + std::to_string(kH - 6) + "\" text-anchor=\"end\">" +
         format("%.4f", hi) + "</text>\n";
    s += "<text x=\"" + std::to_string(kLeft - 4) + "\" y=\"" + std::to_string(kTop + 10) +
         "\" text-anchor=\"end\">" + std::to_string(most) + "</text>\n";
    s += "<text x=\"" + std::to_string(kLeft - 4) + "\" y=\"" + std::to_string(kH - kBottom) +
         "\" text-anchor=\"end\">0</text>\n</svg>\n";
    return s;
}

std::string summaryHtml(const std::vector<ResultRow>& rows) {
    int ok = 0, skipped = 0, failed = 0, verdictOk = 0, suspect = 0, none = 0;
    std::vector<double> seconds;
    for (const ResultRow& r : rows) {
        ok += r.status == "ok";
        skipped += r.status == "skipped";
        failed += r.status == "failed";
        if (!r.hasVerdict || r.status == "failed")
            ++none;
        else if (r.suspect)
            ++suspect;
        else
            ++verdictOk;
        if (r.seconds >= 0) seconds.push_back(r.seconds);
    }
    std::string s = "<section class=\"summary\">\n<div>\n<h2>Subjects</h2>\n<table class=\"counts\">\n";
    s += "<tr><th>status</th><td>ok " + std::to_string(ok) + "</td><td>skipped " + std::to_string(skipped) +
         "</td><td" + (failed ? " class=\"bad\"" : "") + ">failed " + std::to_string(failed) + "</td></tr>\n";
    s += "<tr><th>verdict</th><td>ok " + std::to_string(verdictOk) + "</td><td" + (suspect ? " class=\"warn\"" : "") +
         ">suspect " + std::to_string(suspect) + "</td><td>none " + std::to_string(none) + "</td></tr>\n";
    s += "</table>\n<p>" + std::to_string(rows.size()) + " subject" + (rows.size() == 1 ? "" : "s");
    if (!seconds.empty()) {
        double total = 0;
        for (double t : seconds) total += t;
        std::vector<double> sorted = seconds;
        std::sort(sorted.begin(), sorted.end());
        const size_t n = sorted.size();
        const double median = n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
        s += "; time " + hms(total) + " in all (" + format("%.1f", total) + " s), per subject " +
             format("%.1f", total / n) + " s on average, " + format("%.1f", median) + " s median";
    }
    s += ".</p>\n</div>\n<div>\n<h2>Final cost</h2>\n" + histogramSvg(rows) + "</div>\n</section>\n";
    return s;
}

// One cell with its sort key; an empty key sorts last either way.
std::string cell(const std::string& html, const std::string& key, const char* cls = nullptr) {
    return std::string("<td") + (cls ? std::string(" class=\"") + cls + "\"" : "") + " data-v=\"" +
           htmlEscape(key) + "\">" + html + "</td>";
}

std::string rowHtml(const std::string& outDir, const ResultRow& r, size_t position) {
    const bool failed = r.status == "failed", suspect = !failed && r.hasVerdict && r.suspect;
    std::string s = "<tr data-order=\"" + std::to_string(position) + "\"" +
                    (failed ? " class=\"failed\"" : suspect ? " class=\"suspect\"" : "") + ">";
    s += cell(std::to_string(position + 1), std::to_string(position + 1), "num");
    // Warnings about a file that was still used stay with its name.
    std::string who = "<span class=\"id\">" + htmlEscape(r.id) + "</span><br><span class=\"path\">" +
                      htmlEscape(r.path) + "</span>";
    if (!failed && !r.message.empty()) who += "<br><span class=\"reason\">" + htmlEscape(r.message) + "</span>";
    s += cell(who, r.id);
    s += cell("<span class=\"badge " + r.status + "\">" + r.status + "</span>", r.status);
    std::string verdict, verdictKey;
    if (r.hasVerdict && !failed) {
        verdictKey = r.suspect ? "suspect" : "ok";
        verdict = "<span class=\"badge v" + verdictKey + "\">" + verdictKey + "</span>";
        if (r.suspect) verdict += "<br><span class=\"reason\">" + htmlEscape(r.reason) + "</span>";
    }
    s += cell(verdict, verdictKey);
    const std::string cost = r.hasCost ? format("%.6f", r.cost) : "";
    s += cell(cost, cost, "num");
    const std::string fo = r.hasVerdict && !failed ? format("%.3f", r.fixedOverlap) : "";
    const std::string mo = r.hasVerdict && !failed ? format("%.3f", r.movingOverlap) : "";
    const std::string turn = r.hasVerdict && !failed ? format("%.1f", r.turn) : "";
    s += cell(fo, fo, "num") + cell(mo, mo, "num") + cell(turn, turn, "num");
    const std::string secs = r.seconds >= 0 ? format("%.1f", r.seconds) : "";
    s += cell(secs, secs, "num");
    // The picture, or why there is none.
    const std::string picture = filesOf(outDir, r.id, true).qc;
    int w = 0, h = 0;
    std::string pic;
    if (pngSize(picture, w, h)) {
        const std::string href = urlSegment(r.id) + "/" + urlSegment(r.id + "_qc.png");
        const int tw = 240, th = std::max(1, (int)std::lround((double)h * tw / w));
        pic = "<a href=\"" + href + "\"><img src=\"" + href + "\" loading=\"lazy\" width=\"" + std::to_string(tw) +
              "\" height=\"" + std::to_string(th) + "\" alt=\"check picture of " + htmlEscape(r.id) + "\"></a>";
    } else if (failed) {
        pic = "<span class=\"why\">no picture: " + htmlEscape(r.message.empty() ? "the subject failed" : r.message) +
              "</span>";
    } else {
        pic = "<span class=\"why\">no picture (run with --no-qc, or removed since)</span>";
    }
    s += cell(pic, "");
    return s + "</tr>\n";
}

const char* kStyle = R"(body{font:14px/1.4 system-ui,sans-serif;margin:1.5em;color:#222;background:#fff}
h1{font-size:1.4em;margin:0 0 .6em}h2{font-size:1.05em;margin:.2em 0 .4em}
.summary{display:flex;flex-wrap:wrap;gap:2.5em;margin-bottom:1.2em}
.counts th{text-align:left;padding-right:1em}.counts td{padding-right:1.2em}
.hist rect{fill:#4a7bb7}.hist line{stroke:#444}.hist text{font-size:11px;fill:#444}
table.subjects{border-collapse:collapse}
.subjects th{position:sticky;top:0;background:#eee;cursor:pointer;user-select:none;padding:.35em .6em;
text-align:left;border-bottom:2px solid #999;white-space:nowrap}
.subjects th[aria-sort=ascending]::after{content:" \25B2"}.subjects th[aria-sort=descending]::after{content:" \25BC"}
.subjects td{padding:.35em .6em;border-bottom:1px solid #ddd;vertical-align:top}
.subjects td.num{text-align:right;font-variant-numeric:tabular-nums}
tr.failed{background:#fde2e2}tr.suspect{background:#fff1d6}
.badge{display:inline-block;padding:0 .45em;border-radius:.6em;font-weight:600}
.badge.failed{background:#c62828;color:#fff}.badge.vsuspect{background:#ef8a00;color:#fff}
.badge.ok,.badge.vok{background:#e3f0e3;color:#225522}.badge.skipped{background:#e8e8e8}
.path,.reason,.why{font-size:.85em;color:#555}.id{font-weight:600}
.subjects td:nth-child(2){min-width:11em}.path{overflow-wrap:anywhere}
.bad{color:#c62828;font-weight:600}.warn{color:#b36200;font-weight:600}
img{display:block;background:#111}
)";

// Sorting on the page itself: a click on a header sorts by its column's keys (numbers as
// numbers), a second click reverses; empty cells stay last. The order the page opens in
// (needing a look first) comes back with the first column's button.
const char* kScript = R"(
(function () {
  var table = document.getElementById("subjects");
  var body = table.tBodies[0];
  var heads = table.tHead.rows[0].cells;
  var current = -1, direction = 1;
  function sortBy(col, numeric, dir) {
    var rows = Array.prototype.slice.call(body.rows);
    rows.sort(function (a, b) {
      var x = a.cells[col].getAttribute("data-v"), y = b.cells[col].getAttribute("data-v");
      if (x === "" || y === "") {
        if (x !== y) return x === "" ? 1 : -1;
      } else {
        var c = numeric ? parseFloat(x) - parseFloat(y) : (x < y ? -1 : x > y ? 1 : 0);
        if (c !== 0) return dir * c;
      }
      return parseInt(a.getAttribute("data-order"), 10) - parseInt(b.getAttribute("data-order"), 10);
    });
    var fragment = document.createDocumentFragment();
    rows.forEach(function (r) { fragment.appendChild(r); });
    body.appendChild(fragment);
    for (var i = 0; i < heads.length; ++i) heads[i].removeAttribute("aria-sort");
    heads[col].setAttribute("aria-sort", dir > 0 ? "ascending" : "descending");
  }
  Array.prototype.forEach.call(heads, function (th, col) {
    if (th.getAttribute("data-type") === "none") return;
    th.addEventListener("click", function () {
      direction = current === col ? -direction : 1;
      current = col;
      sortBy(col, th.getAttribute("data-type") === "num", direction);
    });
  });
  var attention = document.getElementById("attention");
  var opened = Array.prototype.slice.call(body.rows);
  attention.addEventListener("click", function () {
    var fragment = document.createDocumentFragment();
    opened.forEach(function (r) { fragment.appendChild(r); });
    body.appendChild(fragment);
    for (var i = 0; i < heads.length; ++i) heads[i].removeAttribute("aria-sort");
    current = -1;
  });
})();
)";

}  // namespace

std::string htmlEscape(const std::string& text) {
    std::string s;
    for (char c : text) switch (c) {
            case '&': s += "&amp;"; break;
            case '<': s += "&lt;"; break;
            case '>': s += "&gt;"; break;
            case '"': s += "&quot;"; break;
            case '\'': s += "&#39;"; break;
            default: s += c;
        }
    return s;
}

std::string urlSegment(const std::string& segment) {
    std::string s;
    for (unsigned char c : segment) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            s += (char)c;
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            s += buf;
        }
    }
    return s;
}

std::string batchReportHtml(const std::string& outDir, const std::string& title, const std::vector<ResultRow>& rows) {
    std::vector<size_t> order(rows.size());
    for (size_t k = 0; k < rows.size(); ++k) order[k] = k;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return attention(rows[a]) < attention(rows[b]); });
    std::string s = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                    "<link rel=\"icon\" href=\"data:,\">\n<title>tarvo batch: " +
                    htmlEscape(title) + "</title>\n<style>\n" + kStyle + "</style>\n</head>\n<body>\n";
    s += "<h1>tarvo batch: " + htmlEscape(title) + "</h1>\n" + summaryHtml(rows);
    s += "<p>Failed and suspect subjects come first. Click a column's name to sort by it (again to reverse); "
         "<button id=\"attention\" type=\"button\">needing a look first</button> restores the first order. "
         "A picture opens full size. Rebuilt from results.tsv by <code>tarvo report</code>.</p>\n";
    s += "<table class=\"subjects\" id=\"subjects\">\n<thead><tr>"
         "<th data-type=\"num\">#</th><th>id</th><th>status</th><th>verdict</th><th data-type=\"num\">cost</th>"
         "<th data-type=\"num\" title=\"share of FIXED's foreground inside MOVING\">fixed overlap</th>"
         "<th data-type=\"num\" title=\"share of MOVING's foreground inside FIXED\">moving overlap</th>"
         "<th data-type=\"num\" title=\"degrees from the start\">turn</th>"
         "<th data-type=\"num\" title=\"seconds\">time (s)</th><th data-type=\"none\">picture</th>"
         "</tr></thead>\n<tbody>\n";
    for (size_t k : order) s += rowHtml(outDir, rows[k], k);
    s += "</tbody>\n</table>\n<script>" + std::string(kScript) + "</script>\n</body>\n</html>\n";
    return s;
}

bool writeBatchReport(const std::string& outDir, const std::vector<ResultRow>& rows, std::string& error) {
    const std::string path = outDir + "/report.html";
    // The folder's own name: where the page is opened from, it says which batch it shows.
    std::string title = outDir;
    while (title.size() > 1 && title.back() == '/') title.pop_back();
    const size_t slash = title.find_last_of('/');
    if (slash != std::string::npos && slash + 1 < title.size()) title = title.substr(slash + 1);
    if (!writeFileAtomically(path, batchReportHtml(outDir, title, rows))) {
        error = "cannot write '" + path + "'";
        return false;
    }
    return true;
}

bool readBatchTable(const std::string& outDir, std::vector<ResultRow>& rows, std::string& error) {
    const std::string path = outDir + "/results.tsv";
    std::string text;
    if (!readFile(path, text)) {
        error = "cannot read '" + path + "'" + (exists(outDir) ? "" : ": folder '" + outDir + "' does not exist");
        return false;
    }
    rows.clear();
    size_t start = 0;
    int line = 0;
    while (start < text.size()) {
        const size_t end = std::min(text.find('\n', start), text.size());
        const std::string l = text.substr(start, end - start);
        start = end + 1;
        ++line;
        if (line == 1) {
            if (l.rfind("id\tpath\tstatus\t", 0) != 0) {
                error = "'" + path + "' is not a batch's table (its first line is not the header)";
                return false;
            }
            continue;
        }
        ResultRow r;
        if (l.empty()) continue;
        if (!parseResultRow(l, r)) {
            error = "'" + path + "' line " + std::to_string(line) + " is not a row of a batch's table";
            return false;
        }
        rows.push_back(r);
    }
    if (line == 0) {
        error = "'" + path + "' is empty";
        return false;
    }
    return true;
}
