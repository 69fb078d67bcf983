// tarvo._tarvo: the registration library for Python. Thin: images become the same Volume
// records the command line loads, and register/apply/cost run the same pipeline and
// resampling as `tarvo register` and `tarvo apply`. The Python package (python/tarvo, its
// functions in _api.py) turns nibabel images, paths and arrays into these calls.
#include <Python.h>
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>

#include <sys/stat.h>

#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/commands/qccaption.h"
#include "device/device.h"
#include "registration/cost.h"
#include "registration/options.h"
#include "registration/outputs.h"
#include "registration/pipeline.h"
#include "registration/searchlog.h"
#include "registration/verdict.h"
#include "volume/arrayimage.h"
#include "volume/inputs.h"
#include "volume/physicalimage.h"
#include "volume/qcpicture.h"
#include "volume/resample.h"
#include "volume/transformfiles.h"

namespace nb = nanobind;
using Matrix4 = nb::ndarray<nb::numpy, double, nb::shape<4, 4>>;
using Matrix4In = nb::ndarray<const double, nb::shape<4, 4>, nb::device::cpu>;

namespace {

// One pipeline at a time: the prepared cost pair, the evaluation counters and the search
// log are process-wide. Taken only after the GIL is released (see Cancel::cancelled).
std::mutex gWork;

[[noreturn]] void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw nb::python_error();
}

// Backends by name, made once and kept for the life of the process: every volume points at
// the backend that holds its voxels, so a backend must outlive anything Python still holds.
Device& backend(const std::string& name, int threads) {
    static auto* made = new std::map<std::string, std::unique_ptr<Device>>();
    const std::string key = name + ":" + std::to_string(threads);
    auto it = made->find(key);
    if (it != made->end()) return *it->second;
    std::unique_ptr<Device> d;
    std::string error;
    int envThreads = 0;
    if (threads == 0 && !cpuThreadsSetting(envThreads, error)) raise(PyExc_ValueError, error);
    d = makeDevice(name, error);
    if (!d) raise(PyExc_ValueError, name == "cuda" ? "device='cuda' but " + error : "device " + error);
    if (threads > 0 && std::string(d->kind()) != "cpu")
        raise(PyExc_ValueError, "threads sets the CPU backend's threads, but a GPU does the work");
    if (threads > 0) d = makeCpuDevice(threads);
    return *made->emplace(key, std::move(d)).first->second;
}

// A volume held by Python. Masks are consumed by a registration (made 0/1 in place).
struct PyVolume {
    VolumePtr v;
    const Volume& get() const {
        if (!v) raise(PyExc_ValueError, "this image has been used up (a mask is consumed by its registration)");
        return *v;
    }
};

Affine toAffine(const Matrix4In& m) {
    Affine a;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) a.a[r][c] = m(r, c);
    return a;
}

Matrix4 toNumpy(const Affine& a) {
    double* d = new double[16];
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) d[4 * r + c] = a.a[r][c];
    nb::capsule owner(d, [](void* p) noexcept { delete[] static_cast<double*>(p); });
    return Matrix4(d, {4, 4}, owner);
}

// A world matrix handed in from Python: finite and invertible, as a matrix file must be.
Affine checkedMatrix(const Matrix4In& m, const char* what) {
    const Affine a = toAffine(m);
    if (!a.finite()) raise(PyExc_ValueError, std::string(what) + " holds a number that is not finite");
    if (a.a[3][0] != 0 || a.a[3][1] != 0 || a.a[3][2] != 0 || a.a[3][3] != 1)
        raise(PyExc_ValueError, std::string(what) + " must have the last row 0 0 0 1");
    if (!(std::fabs(a.determinant3()) > 1e-12)) raise(PyExc_ValueError, std::string(what) + " is singular");
    return a;
}

int niftiCode(const nb::dlpack::dtype& t) {
    using nb::dlpack::dtype_code;
    const auto code = (dtype_code)t.code;
    if (code == dtype_code::UInt) {
        switch (t.bits) {
            case 8: return 2;
            case 16: return 512;
            case 32: return 768;
            case 64: return 1280;
        }
    } else if (code == dtype_code::Int) {
        switch (t.bits) {
            case 8: return 256;
            case 16: return 4;
            case 32: return 8;
            case 64: return 1024;
        }
    } else if (code == dtype_code::Float) {
        if (t.bits == 32) return 16;
        if (t.bits == 64) return 64;
    } else if (code == dtype_code::Bool) {
        return 2;
    }
    return 0;
}

// Asked between evaluation batches, on the thread that runs the registration: a pending
// Ctrl-C (or any signal whose Python handler raises) ends it.
class Cancel final : public Progress {
public:
    void levelBegin(const char*) override {}
    void evaluated(int) override {}
    void levelEnd() override {}
    bool cancelled() override {
        nb::gil_scoped_acquire gil;
        return PyErr_CheckSignals() != 0;
    }
};

PyVolume load(const std::string& path, const std::string& dev, int threads) {
    Device& d = backend(dev, threads);
    std::string error;
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) raise(PyExc_IsADirectoryError, "'" + path + "' is a folder");
    VolumePtr v = loadInput(path, error, &d);
    if (!v) raise(PyExc_OSError, error);
    return PyVolume{std::move(v)};
}

std::tuple<PyVolume, size_t> fromArray(nb::ndarray<nb::ro, nb::ndim<3>, nb::device::cpu> a, float slope,
                                       float inter, std::tuple<float, float, float> zooms,
                                       std::optional<Matrix4In> orient, const std::string& dev, int threads) {
    ArrayImage img;
    img.datatype = niftiCode(a.dtype());
    if (!img.datatype) raise(PyExc_ValueError, "arrays of this dtype cannot be registered (numbers only)");
    img.data = a.data();
    const int64_t item = a.itemsize();
    for (int i = 0; i < 3; ++i) {
        img.shape[i] = (int64_t)a.shape(i);
        img.stride[i] = a.stride(i) * item;
    }
    img.slope = slope;
    img.inter = inter;
    img.dx = std::get<0>(zooms);
    img.dy = std::get<1>(zooms);
    img.dz = std::get<2>(zooms);
    if (orient) {
        img.orient.code = 1;
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c) img.orient.m[r][c] = (float)(*orient)(r, c);
    }
    Device& d = backend(dev, threads);
    std::string error;
    size_t nonFinite = 0;
    VolumePtr v;
    {
        nb::gil_scoped_release release;
        v = volumeFromArray(img, &d, error, nonFinite);
    }
    if (!v) raise(PyExc_ValueError, error);
    return {PyVolume{std::move(v)}, nonFinite};
}


// Restores the centroids of two volumes when it goes.
struct CentroidsKept {
    Volume& moving;
    Volume& fixed;
    float m[3] = {moving.center[0], moving.center[1], moving.center[2]};
    float f[3] = {fixed.center[0], fixed.center[1], fixed.center[2]};
    ~CentroidsKept() {
        for (int i = 0; i < 3; ++i) {
            moving.center[i] = m[i];
            fixed.center[i] = f[i];
        }
    }
};

// The world matrix as written, the cost, and the verdict on it: fixed overlap, moving
// overlap, turn, suspect, reason.
using Registered = std::tuple<Matrix4, float, double, double, double, bool, std::string>;

Registered registerPair(const PyVolume& moving, const PyVolume& fixed, int dof, const std::string& init,
                        std::optional<Matrix4In> initMatrix, PyVolume* fixedMask, PyVolume* movingMask,
                        const std::string& search, bool refine, bool verbose, bool foreground, bool twoWay) {
    if (search != "header" && search != "wide" && search != "standard")
        raise(PyExc_ValueError, "search must be 'header', 'wide' or 'standard', not '" + search + "'");
    if (!Dof::valid(dof)) raise(PyExc_ValueError, "dof must be 6, 7, 9 or 12, not " + std::to_string(dof));
    RegistrationOptions ro;
    ro.dof = dof;
    ro.init = init;
    ro.search = search;
    ro.noRefine = !refine;
    ro.verbose = verbose;
    ro.noForeground = !foreground;
    ro.oneWay = !twoWay;
    const Volume& mov = moving.get();
    const Volume& fix = fixed.get();
    if (mov.owner != fix.owner) raise(PyExc_ValueError, "moving and fixed images are on different devices");
    Start start;
    std::string error;
    if (initMatrix) {
        start.kind = StartKind::Matrix;
        start.world = checkedMatrix(*initMatrix, "the init matrix");
    } else if (!parseStart(ro.init, start, error, "init")) {
        raise(error.find("does not exist") != std::string::npos || error.find("cannot read") != std::string::npos
                  ? PyExc_OSError
                  : PyExc_ValueError,
              error);
    }
    VolumePtr fixMask, movMask;
    if (fixedMask && !(fixMask = maskOnGrid(std::move(fixedMask->v), fix, "fixed_mask", "fixed", error)))
        raise(PyExc_ValueError, error);
    if (movingMask && !(movMask = maskOnGrid(std::move(movingMask->v), mov, "moving_mask", "moving", error)))
        raise(PyExc_ValueError, error);
    if (!registrable(mov, movMask.get(), "moving", error) || !registrable(fix, fixMask.get(), "fixed", error))
        raise(PyExc_ValueError, error);

    // As the command does: with a mask, the start pairs the centroids of the parts inside.
    // The images may be cached and used again without the mask: their centroids go back.
    CentroidsKept kept{const_cast<Volume&>(mov), const_cast<Volume&>(fix)};
    if (fixMask) centroidInsideMask(kept.fixed, *fixMask);
    if (movMask) centroidInsideMask(kept.moving, *movMask);

    Cancel cancel;
    PipelineOptions opts = pipelineOptions(ro, start);
    opts.fixedMask = fixMask.get();
    opts.movingMask = movMask.get();
    opts.progress = &cancel;
    PipelineResult res;
    bool cancelled = false;
    {
        nb::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(gWork);
        SearchLogTo log(ro.verbose ? stderr : nullptr);
        try {
            res = runPipeline(mov, fix, opts);
        } catch (const RegistrationCancelled&) {
            cancelled = true;
        }
    }
    if (cancelled) throw nb::python_error();  // the KeyboardInterrupt that stopped it
    Affine world;
    if (!registeredWorld(res, world, error)) raise(PyExc_ValueError, error);
    Verdict v;
    {
        nb::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(gWork);
        v = judgeRegistration(mov, movMask.get(), fix, fixMask.get(), world, res.startWorld, res.movingForeground.get());
    }
    return {toNumpy(world), res.cost, v.fixedOverlap, v.movingOverlap, v.turn, v.suspect, v.reason};
}

PyVolume resample(const PyVolume& moving, const PyVolume& fixed, Matrix4In matrix, bool nearest) {
    const Affine world = checkedMatrix(matrix, "the matrix");
    const Volume& mov = moving.get();
    const Volume& fix = fixed.get();
    if (mov.owner != fix.owner) raise(PyExc_ValueError, "moving and fixed images are on different devices");
    nb::gil_scoped_release release;
    std::lock_guard<std::mutex> lock(gWork);
    return PyVolume{resampleWorld(mov, fix, world, nearest)};
}

float cost(const PyVolume& moving, const PyVolume& fixed, std::optional<Matrix4In> matrix) {
    const Volume& mov = moving.get();
    const Volume& fix = fixed.get();
    if (mov.owner != fix.owner) raise(PyExc_ValueError, "moving and fixed images are on different devices");
    Start start;
    start.kind = StartKind::Identity;
    if (matrix) {
        start.kind = StartKind::Matrix;
        start.world = checkedMatrix(*matrix, "the matrix");
    }
    float c = 0.0f;
    bool ok = resamplesTo(mov, 1.0f) && resamplesTo(fix, 1.0f);  // asked first: the resampler would print
    if (ok) {
        nb::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(gWork);
        ok = costAt1mm(mov, fix, start, c);
    }
    if (!ok) raise(PyExc_ValueError, "an image is too small to hold one voxel of 1 mm");
    return c;
}

// Physical values (the normalisation undone, as an output file holds them) in Fortran
// order, shape (x, y, z).
nb::ndarray<nb::numpy, float, nb::ndim<3>, nb::f_contig> physical(const PyVolume& pv) {
    const Volume& v = pv.get();
    auto* values = new std::vector<float>(physicalValues(v));
    nb::capsule owner(values, [](void* p) noexcept { delete static_cast<std::vector<float>*>(p); });
    const size_t shape[3] = {(size_t)v.x, (size_t)v.y, (size_t)v.z};
    return {values->data(), 3, shape, owner};
}

// With `who` (the caption's first words, "MOVING <name>"), the picture carries the same
// caption as register's: whose registration, cost, verdict, dof, version.
void writeQc(const PyVolume& fixed, const PyVolume& registered, const std::string& path, const std::string& who,
             const std::string& fixedName, double cost, double fixedOverlap, double movingOverlap, double turn,
             bool suspect, const std::string& reason, int dof) {
    std::string error;
    if (!outputPossible(path, error)) raise(PyExc_OSError, error);
    QcCaption caption;
    if (!who.empty()) {
        Verdict v;
        v.fixedOverlap = fixedOverlap;
        v.movingOverlap = movingOverlap;
        v.turn = turn;
        v.suspect = suspect;
        v.reason = reason;
        caption = registrationCaption(who, fixedName, cost, v, dof);
    }
    bool ok;
    {
        nb::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(gWork);
        ok = writeQcPicture(fixed.get(), registered.get(), path.c_str(), error, nullptr, caption);
    }
    if (!ok) raise(PyExc_OSError, error);
}

Matrix4 readMatrix(const std::string& path) {
    Affine m;
    std::string error;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) raise(PyExc_FileNotFoundError, "matrix file '" + path + "' does not exist");
    if (!readWorldMatrix(path, m, error)) raise(error.rfind("cannot read", 0) == 0 ? PyExc_OSError : PyExc_ValueError, error);
    return toNumpy(m);
}

void writeFile(const std::string& path, Matrix4In m, bool itk) {
    const Affine a = checkedMatrix(m, "the matrix");
    std::string error;
    if (!outputPossible(path, error)) raise(PyExc_OSError, error);
    if (!(itk ? writeItkTransform(path, a, error) : writeWorldMatrix(path, a, error))) raise(PyExc_OSError, error);
}

}  // namespace

NB_MODULE(_tarvo, m) {
    m.doc() = "The compiled core of tarvo; use the functions of the tarvo package.";

    nb::class_<PyVolume>(m, "Volume", "An image on a tarvo backend (normalised voxels, grid, centroid).")
        .def_prop_ro("shape", [](const PyVolume& p) {
            const Volume& v = p.get();
            return std::make_tuple(v.x, v.y, v.z);
        })
        .def_prop_ro("zooms", [](const PyVolume& p) {
            const Volume& v = p.get();
            return std::make_tuple(v.dx, v.dy, v.dz);
        })
        .def_prop_ro("affine", [](const PyVolume& p) { return toNumpy(worldGridOf(p.get()).voxelToWorld); },
                     nb::rv_policy::move, "Voxel index -> RAS mm as tarvo reads the header (sform, else qform, else the zooms).")
        .def_prop_ro("oriented", [](const PyVolume& p) { return p.get().orient.code > 0; })
        .def_prop_ro("datatype", [](const PyVolume& p) { return (int)p.get().datatype; },
                     "The NIfTI datatype code of the values it was made from.")
        .def_prop_ro("slope_inter", [](const PyVolume& p) {
            const Volume& v = p.get();
            return std::make_tuple(v.sclSlope, v.sclInter);
        }, "The scaling of the stored values (slope 0: none).")
        .def_prop_ro("device", [](const PyVolume& p) { return std::string(deviceOf(p.get()).kind()); });

    m.def("device_kind", [](const std::string& name, int threads) { return std::string(backend(name, threads).kind()); },
          nb::arg("name"), nb::arg("threads") = 0);
    m.def("device_description",
          [](const std::string& name, int threads) { return backend(name, threads).description(); },
          nb::arg("name"), nb::arg("threads") = 0);
    m.def("load", &load, nb::arg("path"), nb::arg("device"), nb::arg("threads") = 0,
          "Reads an image file as `tarvo register` does; OSError with its message when it cannot.");
    m.def("from_array", &fromArray, nb::arg("array"), nb::arg("slope"), nb::arg("inter"), nb::arg("zooms"),
          nb::arg("orientation").none(), nb::arg("device"), nb::arg("threads") = 0,
          "A 3D array of stored values (any strides) as an image: (volume, count of non-finite values).");
    m.def("register", &registerPair, nb::arg("moving"), nb::arg("fixed"), nb::arg("dof"), nb::arg("init"),
          nb::arg("init_matrix").none(), nb::arg("fixed_mask").none(), nb::arg("moving_mask").none(),
          nb::arg("search") = "header", nb::arg("refine") = true, nb::arg("verbose") = false,
          nb::arg("foreground") = true, nb::arg("two_way") = true,
          "Runs the registration pipeline with the GIL released: (world matrix as written, cost, fixed overlap, "
          "moving overlap, turn in degrees, suspect, reason).");
    m.def("resample", &resample, nb::arg("moving"), nb::arg("fixed"), nb::arg("matrix"), nb::arg("nearest"));
    m.def("cost", &cost, nb::arg("moving"), nb::arg("fixed"), nb::arg("matrix").none());
    m.def("physical", &physical, nb::arg("volume"));
    m.def("write_qc", &writeQc, nb::arg("fixed"), nb::arg("registered"), nb::arg("path"), nb::arg("who") = "",
          nb::arg("fixed_name") = "", nb::arg("cost") = 0.0, nb::arg("fixed_overlap") = 0.0,
          nb::arg("moving_overlap") = 0.0, nb::arg("turn") = 0.0, nb::arg("suspect") = false,
          nb::arg("reason") = "", nb::arg("dof") = 12,
          "The PNG picture of register --qc: the registered image, FIXED's edges over it.");
    m.def("read_matrix", &readMatrix, nb::arg("path"));
    m.def("write_matrix", [](const std::string& p, Matrix4In mat) { writeFile(p, mat, false); }, nb::arg("path"),
          nb::arg("matrix"));
    m.def("write_itk", [](const std::string& p, Matrix4In mat) { writeFile(p, mat, true); }, nb::arg("path"),
          nb::arg("matrix"));
    m.def("as_written", [](Matrix4In mat) { return toNumpy(asWrittenInText(toAffine(mat))); }, nb::arg("matrix"));
    m.def("format_matrix", [](Matrix4In mat) { return formatWorldMatrix(toAffine(mat)); }, nb::arg("matrix"));
}
