#!/usr/bin/python3
"""Compares the framing of two rendered frames (VOXA's and the baseline's):
prints the share of each image that the volume covers (pixels whose
brightest channel exceeds --threshold on a black background), their ratio,
and whether they agree within --tolerance; writes both side by side (first
on the left) to --out. Exit status 0 when they agree, 1 when the framing
differs, 2 on bad input.

usage: frame_compare.py FIRST.png SECOND.png [--out SIDE.png] [--threshold 16] [--tolerance 0.05]
"""
import argparse
import sys

import vtkmodules.all as vtk
from vtkmodules.util import numpy_support
import numpy as np


def load(path):
    r = vtk.vtkPNGReader()
    if not r.CanReadFile(path):
        raise ValueError(f"{path}: not a readable PNG")
    r.SetFileName(path)
    r.Update()
    img = r.GetOutput()
    w, h, _ = img.GetDimensions()
    comps = img.GetPointData().GetScalars().GetNumberOfComponents()
    a = numpy_support.vtk_to_numpy(img.GetPointData().GetScalars()).reshape(h, w, comps)
    return a[:, :, :3]


def coverage(rgb, threshold):
    return float(np.count_nonzero(rgb.max(axis=2) > threshold)) / (rgb.shape[0] * rgb.shape[1])


def write_side_by_side(a, b, path):
    h = max(a.shape[0], b.shape[0])
    out = np.zeros((h, a.shape[1] + b.shape[1], 3), dtype=np.uint8)
    out[:a.shape[0], :a.shape[1]] = a
    out[:b.shape[0], a.shape[1]:] = b
    data = vtk.vtkImageData()
    data.SetDimensions(out.shape[1], out.shape[0], 1)
    arr = numpy_support.numpy_to_vtk(out.reshape(-1, 3), deep=True,
                                     array_type=vtk.VTK_UNSIGNED_CHAR)
    data.GetPointData().SetScalars(arr)
    wr = vtk.vtkPNGWriter()
    wr.SetFileName(path)
    wr.SetInputData(data)
    wr.Write()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("first")
    ap.add_argument("second")
    ap.add_argument("--out", default="")
    ap.add_argument("--threshold", type=int, default=16)
    ap.add_argument("--tolerance", type=float, default=0.05)
    args = ap.parse_args()
    try:
        a, b = load(args.first), load(args.second)
    except ValueError as e:
        print(f"frame_compare: {e}", file=sys.stderr)
        return 2
    ca, cb = coverage(a, args.threshold), coverage(b, args.threshold)
    if args.out:
        write_side_by_side(a, b, args.out)
    if cb <= 0 or ca <= 0:
        print(f"coverage {ca * 100:.1f}% vs {cb * 100:.1f}%: an image is empty, framing differs")
        return 1
    ratio = ca / cb
    same = abs(ratio - 1.0) <= args.tolerance
    print(f"coverage {ca * 100:.1f}% vs {cb * 100:.1f}% (ratio {ratio:.3f}): "
          + ("same framing" if same else "framing differs"))
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
