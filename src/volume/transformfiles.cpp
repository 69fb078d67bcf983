#include "volume/transformfiles.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "volume/stagedfiles.h"

namespace {

// Nine significant digits give every float back exactly.
constexpr const char* kNumber = "%.9g";

std::string number(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, kNumber, v);
    return buf;
}

bool writeAtomically(const std::string& path, const std::string& text, std::string& error, StagedFiles* staged) {
    if (writeFileAtomically(path, text, staged)) return true;
    error = "cannot write '" + path + "'";
    return false;
}

// Numbers of a text; false at the first token that is not one (non-finite ones are
// numbers here and refused later with their own message).
bool parseNumbers(std::istringstream& in, std::vector<double>& out) {
    std::string tok;
    while (in >> tok) {
        char* end = nullptr;
        const double v = std::strtod(tok.c_str(), &end);
        if (end == tok.c_str() || *end != '\0') return false;
        out.push_back(v);
    }
    return true;
}

bool readSmallFile(const std::string& path, std::string& text, std::string& error) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        error = "matrix file '" + path + "' does not exist";
        return false;
    }
    if (!S_ISREG(st.st_mode) || st.st_size > (1 << 20)) {
        error = "'" + path + "' is not a matrix file";
        return false;
    }
    std::ifstream f(path);
    if (!f) {
        error = "cannot read matrix file '" + path + "'";
        return false;
    }
    std::stringstream ss;
    ss << f.rdbuf();
    text = ss.str();
    return true;
}

bool checkUsable(const Affine& m, const std::string& path, std::string& error) {
    if (!m.finite()) {
        error = "matrix file '" + path + "' holds a number that is not finite";
        return false;
    }
    const double d = m.determinant3();
    if (!(std::fabs(d) > 1e-12)) {
        error = "matrix in '" + path + "' is singular";
        return false;
    }
    return true;
}

bool readItk(const std::string& path, const std::string& text, Affine& m, std::string& error) {
    std::istringstream lines(text);
    std::string line, type;
    std::vector<double> params, fixed;
    bool haveParams = false, haveFixed = false;
    int transforms = 0;
    while (std::getline(lines, line)) {
        const auto colon = line.find(':');
        if (line.empty() || line[0] == '#' || colon == std::string::npos) continue;
        const std::string key = line.substr(0, colon);
        std::istringstream rest(line.substr(colon + 1));
        if (key == "Transform") {
            ++transforms;
            rest >> type;
        } else if (key == "Parameters") {
            haveParams = parseNumbers(rest, params);
            if (!haveParams) break;
        } else if (key == "FixedParameters") {
            haveFixed = parseNumbers(rest, fixed);
            if (!haveFixed) break;
        }
    }
    if (transforms != 1 ||
        (type != "AffineTransform_double_3_3" && type != "AffineTransform_float_3_3" &&
         type != "MatrixOffsetTransformBase_double_3_3")) {
        error = "ITK transform '" + path + "' is not a single 3D affine transform";
        return false;
    }
    if (!haveParams || params.size() != 12 || (haveFixed && fixed.size() != 3)) {
        error = "ITK transform '" + path + "' does not hold 12 parameters and a 3D centre";
        return false;
    }
    double c[3] = {0, 0, 0};
    if (haveFixed) c[0] = fixed[0], c[1] = fixed[1], c[2] = fixed[2];
    Affine lps;
    for (int r = 0; r < 3; ++r) {
        double mc = 0;
        for (int k = 0; k < 3; ++k) {
            lps.a[r][k] = params[3 * r + k];
            mc += params[3 * r + k] * c[k];
        }
        // x -> M (x - c) + c + t
        lps.a[r][3] = params[9 + r] + c[r] - mc;
    }
    m = lpsToRas(lps);
    return checkUsable(m, path, error);
}

}  // namespace

bool writeFileAtomically(const std::string& path, const std::string& text, StagedFiles* staged) {
    // The temporary name of every file the program writes (images and pictures too), which
    // a batch knows to clear away after a crash.
    const std::string tmp = staged ? staged->add(path) : temporaryName(path);
    std::FILE* f = std::fopen(tmp.c_str(), "w");
    if (!f) return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0 || !ok || (!staged && std::rename(tmp.c_str(), path.c_str()) != 0)) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

std::string formatWorldMatrix(const Affine& m) {
    std::string s;
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) s += number(m.a[r][c]) + (c < 3 ? " " : "\n");
    }
    return s;
}

Affine asWrittenInText(const Affine& m) {
    Affine r;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) r.a[i][j] = std::strtod(number(m.a[i][j]).c_str(), nullptr);
    return r;
}

bool writeWorldMatrix(const std::string& path, const Affine& m, std::string& error, StagedFiles* staged) {
    return writeAtomically(path, formatWorldMatrix(m), error, staged);
}

bool writeItkTransform(const std::string& path, const Affine& ras, std::string& error, StagedFiles* staged) {
    const Affine lps = rasToLps(ras);
    std::string s = "#Insight Transform File V1.0\n#Transform 0\nTransform: AffineTransform_double_3_3\nParameters:";
    char buf[64];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            std::snprintf(buf, sizeof buf, " %.17g", lps.a[r][c]);
            s += buf;
        }
    for (int r = 0; r < 3; ++r) {
        std::snprintf(buf, sizeof buf, " %.17g", lps.a[r][3]);
        s += buf;
    }
    s += "\nFixedParameters: 0 0 0\n";
    return writeAtomically(path, s, error, staged);
}

bool readWorldMatrix(const std::string& path, Affine& m, std::string& error) {
    std::string text;
    if (!readSmallFile(path, text, error)) return false;
    if (text.rfind("#Insight Transform File", 0) == 0) return readItk(path, text, m, error);
    std::istringstream in(text);
    std::vector<double> v;
    if (!parseNumbers(in, v) || v.size() != 16) {
        error = "matrix file '" + path + "' does not hold exactly 16 numbers";
        return false;
    }
    for (double x : v)
        if (!std::isfinite(x)) {
            error = "matrix file '" + path + "' holds a number that is not finite";
            return false;
        }
    for (int i = 0; i < 16; ++i) m.a[i / 4][i % 4] = v[i];
    if (std::fabs(v[12]) > 1e-6 || std::fabs(v[13]) > 1e-6 || std::fabs(v[14]) > 1e-6 ||
        std::fabs(v[15] - 1.0) > 1e-6) {
        error = "matrix in '" + path + "' does not end with the row 0 0 0 1";
        return false;
    }
    m.a[3][0] = m.a[3][1] = m.a[3][2] = 0;
    m.a[3][3] = 1;
    return checkUsable(m, path, error);
}
