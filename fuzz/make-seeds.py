#!/usr/bin/python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/.

The images are built byte by byte (tiny grids, every datatype the readers know, plain,
gzipped and as pairs), so the seeds need nothing but this script. Rerun it after changing
it; the files it writes are committed.
"""
import gzip
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")

# code: (struct format of one value, bytes per value)
DATATYPES = {
    2: "B", 4: "h", 8: "i", 16: "f", 64: "d", 256: "b", 512: "H", 768: "I", 1024: "q", 1280: "Q",
}


def header(datatype, dims, pixdim=(1.0, 1.0, 1.0), slope=0.0, inter=0.0, pair=False,
           analyze=False, sform=True, qform=False, bitpix=None):
    h = bytearray(348)
    struct.pack_into("<i", h, 0, 348)
    dim = [len(dims)] + list(dims) + [1] * (7 - len(dims))
    struct.pack_into("<8h", h, 40, *dim)
    fmt = DATATYPES.get(datatype)
    if bitpix is None:
        bitpix = 8 * struct.calcsize(fmt) if fmt else 24
    struct.pack_into("<hhh", h, 70, datatype, bitpix, 0)
    struct.pack_into("<8f", h, 76, 1.0, *pixdim, 1.0, 1.0, 1.0, 1.0)
    struct.pack_into("<fff", h, 108, 0.0 if pair else 352.0, slope, inter)
    if analyze:
        h[38] = ord("r")
        return bytes(h)
    struct.pack_into("<hh", h, 252, 1 if qform else 0, 1 if sform else 0)
    if qform:
        struct.pack_into("<6f", h, 256, 0.0, 0.0, 0.0, -10.0, 12.0, -5.0)
    if sform:
        struct.pack_into("<4f", h, 280, -pixdim[0], 0.0, 0.0, 20.0)
        struct.pack_into("<4f", h, 296, 0.0, pixdim[1], 0.0, -18.0)
        struct.pack_into("<4f", h, 312, 0.0, 0.0, pixdim[2], -9.0)
    h[344:348] = b"ni1\0" if pair else b"n+1\0"
    return bytes(h)


def voxels(datatype, count):
    fmt = DATATYPES[datatype]
    if fmt in "fd":
        values = [0.5 * i - 3.0 for i in range(count)]
    elif fmt in "BHIQ":
        values = [(7 * i) % 200 for i in range(count)]
    else:
        values = [(7 * i) % 200 - 60 for i in range(count)]
    return struct.pack("<%d%s" % (count, fmt), *values)


def single(datatype, dims, **kw):
    n = 1
    for d in dims:
        n *= d
    return header(datatype, dims, **kw) + b"\0\0\0\0" + voxels(datatype, n)


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def image_seeds():
    # The first byte chooses the form (see fuzz_image.cpp): 0 .nii, 1 .nii.gz compressed by
    # the target, 2 .nii.gz as given, 3 a .hdr/.img pair.
    for code in DATATYPES:
        nii = single(code, (3, 2, 2))
        write("fuzz_image", "nii-%d" % code, b"\0" + nii)
        write("fuzz_image", "gzin-%d" % code, b"\1" + nii)
    write("fuzz_image", "gz-int16", b"\2" + gzip.compress(single(4, (3, 3, 2)), mtime=0))
    write("fuzz_image", "gz-float", b"\2" + gzip.compress(single(16, (2, 2, 2), qform=True, sform=False), mtime=0))
    write("fuzz_image", "nii-scaled", b"\0" + single(512, (2, 3, 2), slope=0.25, inter=-10.0))
    write("fuzz_image", "nii-4d", b"\0" + single(2, (2, 2, 2, 2)))
    write("fuzz_image", "nii-2d", b"\0" + single(16, (4, 3), pixdim=(1.0, 2.0, 0.0)))
    write("fuzz_image", "nii-rgb", b"\0" + header(128, (2, 2, 1)) + b"\0" * 4 + bytes(12))
    write("fuzz_image", "pair-nifti", b"\3" + header(4, (3, 2, 2), pair=True) + voxels(4, 12))
    write("fuzz_image", "pair-analyze", b"\3" + header(16, (2, 2, 3), pair=True, analyze=True) + voxels(16, 12))


def world_matrix_seeds():
    write("fuzz_worldmatrix", "identity", b"1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n")
    write("fuzz_worldmatrix", "affine",
          b"0.98 -0.17 0.02 3.5\n0.17 0.97 -0.1 -2.25\n0.01 0.1 1.05 7\n0 0 0 1\n")
    write("fuzz_worldmatrix", "itk",
          b"#Insight Transform File V1.0\n#Transform 0\nTransform: AffineTransform_double_3_3\n"
          b"Parameters: 1 0.1 0 -0.1 1 0 0 0 1.2 4 -5 6\nFixedParameters: 1 2 3\n")
    write("fuzz_worldmatrix", "itk-float",
          b"#Insight Transform File V1.0\n#Transform 0\nTransform: AffineTransform_float_3_3\n"
          b"Parameters: 2 0 0 0 2 0 0 0 2 0 0 0\n")


def batch_seeds():
    write("fuzz_batchlist", "paths", b"# subjects\n/data/sub-01.nii.gz\n\n/data/sub-02.hdr\nrel/sub-03.nii\n")
    write("fuzz_batchlist", "ids", b"a\t/data/x.nii.gz\r\nb \t /data/x.nii.gz\n")
    write("fuzz_batchlist", "shard", b"3/8")
    write("fuzz_batchlist", "slurm", b"7\n1\n2\n-\n15\n")
    write("fuzz_batchlist", "record",
          b"# tarvo batch settings: dof=12 search=standard\nid\tpath\tstatus\tcost\tseconds\tmessage\n"
          b"sub-01\t/data/sub-01.nii.gz\tok\t0.123456\t12.500\t\n")
    write("fuzz_batchlist", "table",
          b"id\tpath\tstatus\tcost\tseconds\tmessage\ns1\tp1\tfailed\t\t0.250\tcannot read\n"
          b"s2\tp2\tskipped\t\t\tdone before\n")


def classic_text_seeds():
    # The first byte chooses the reader (see fuzz_classictext.cpp): even -tm, odd -tt.
    write("fuzz_classictext", "matrix", b"\0" + b"1.1 0 0 2\n0 0.9 0.1 -3\n0 -0.1 1 0.5\n0 0 0 1\n")
    write("fuzz_classictext", "matrix-short", b"\0" + b"1 0 0 0 0 1")
    write("fuzz_classictext", "params", b"\1" + b"0.1 -0.05 0.2 1 2 -3 1 1.1 0.9 0 0.01 0\n")
    write("fuzz_classictext", "params-short", b"\1" + b"0.3 0.2")


if __name__ == "__main__":
    shutil.rmtree(CORPUS, ignore_errors=True)
    image_seeds()
    world_matrix_seeds()
    batch_seeds()
    classic_text_seeds()
