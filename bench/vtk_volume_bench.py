#!/usr/bin/python3
"""Baseline for the frame-time benchmark: renders a NIfTI volume with VTK's
ray-cast volume mappers at a given size and prints the mean frame time of
each mapper, one line per mapper: "<mapper> <width>x<height> <ms>".

With --view (the "view ..." line of frame_bench --print-view) the camera is
VOXA's: its eye, centre, up and view angle carried from VOXA's world units
into the volume's millimetres through the world limits and voxel extent,
turned about the volume's z axis by 360 (f + 1) / N degrees for frame f of
N, so the last frame is the starting view, as in frame_bench. Without it
the camera is VTK's default, turned by azimuth.

Run under an X server (the benchmark script starts a private Xvfb)."""
import argparse
import math
import sys
import time

import vtkmodules.all as vtk


def parse_view(line, image):
    """VOXA's starting view in the volume's millimetres: eye, centre, up
    (unit) and the view angle. World position w on axis a is voxel
    (w - min_a) / voxel_a - 0.5 (voxel centres), i.e. origin_a + spacing_a
    times that in millimetres."""
    words = line.split()
    def after(key, n, cast=float):
        k = words.index(key)
        return [cast(x) for x in words[k + 1:k + 1 + n]]
    eye, center, up = after("eye", 3), after("center", 3), after("up", 3)
    fov = after("fov", 1)[0]
    lim, vox = after("limits", 6), after("voxels", 3, int)
    origin, spacing = image.GetOrigin(), image.GetSpacing()
    def to_mm(w):
        out = []
        for a in range(3):
            size = (lim[2 * a + 1] - lim[2 * a]) / vox[a]
            out.append(origin[a] + spacing[a] * ((w[a] - lim[2 * a]) / size - 0.5))
        return out
    return {"eye": to_mm(eye), "center": to_mm(center), "up": up, "fov": fov}


def turned(v, c, degrees):
    """v turned about the z axis through c."""
    a = math.radians(degrees)
    x, y = v[0] - c[0], v[1] - c[1]
    return [c[0] + math.cos(a) * x - math.sin(a) * y, c[1] + math.sin(a) * x + math.cos(a) * y, v[2]]


def place_camera(ren, cam, view, degrees):
    c = view["center"]
    cam.SetFocalPoint(*c)
    cam.SetPosition(*turned(view["eye"], c, degrees))
    cam.SetViewUp(*turned(view["up"], [0, 0, 0], degrees))
    cam.SetViewAngle(view["fov"])
    ren.ResetCameraClippingRange()


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("volume")
    ap.add_argument("--size", type=int, nargs="+", default=[512, 1024])
    ap.add_argument("--frames", type=int, default=10)
    ap.add_argument("--png", default="", help="write the last frame of each run here (prefix)")
    ap.add_argument("--mapper", choices=["fixed", "gpu", "both"], default="both")
    ap.add_argument("--view", default="", help='"view eye ... voxels ..." line of frame_bench')
    args = ap.parse_args()

    reader = vtk.vtkNIFTIImageReader()
    reader.SetFileName(args.volume)
    reader.Update()
    lo, hi = reader.GetOutput().GetScalarRange()
    # Scale to bytes over the data range, as the VOXA brick builder does.
    shift = vtk.vtkImageShiftScale()
    shift.SetInputConnection(reader.GetOutputPort())
    shift.SetShift(-lo)
    shift.SetScale(255.0 / (hi - lo) if hi > lo else 1.0)
    shift.SetOutputScalarTypeToUnsignedChar()
    shift.ClampOverflowOn()
    shift.Update()

    # Grey ramp colours and a linear opacity ramp, like a grey VOXA map.
    color = vtk.vtkColorTransferFunction()
    color.AddRGBPoint(0, 0, 0, 0)
    color.AddRGBPoint(255, 1, 1, 1)
    opacity = vtk.vtkPiecewiseFunction()
    opacity.AddPoint(0, 0.0)
    opacity.AddPoint(255, 1.0)
    prop = vtk.vtkVolumeProperty()
    prop.SetColor(color)
    prop.SetScalarOpacity(opacity)
    prop.SetInterpolationTypeToLinear()

    mappers = [("vtkFixedPointVolumeRayCastMapper", vtk.vtkFixedPointVolumeRayCastMapper),
               ("vtkGPUVolumeRayCastMapper", vtk.vtkGPUVolumeRayCastMapper)]
    if args.mapper == "fixed":
        mappers = mappers[:1]
    elif args.mapper == "gpu":
        mappers = mappers[1:]
    for name, cls in mappers:
        for size in args.size:
            mapper = cls()
            mapper.SetInputConnection(shift.GetOutputPort())
            if hasattr(mapper, "SetAutoAdjustSampleDistances"):
                mapper.SetAutoAdjustSampleDistances(0)
            volume = vtk.vtkVolume()
            volume.SetMapper(mapper)
            volume.SetProperty(prop)
            ren = vtk.vtkRenderer()
            ren.AddVolume(volume)
            ren.SetBackground(0, 0, 0)
            win = vtk.vtkRenderWindow()
            win.SetOffScreenRendering(1)
            win.AddRenderer(ren)
            win.SetSize(size, size)
            ren.ResetCamera()
            cam = ren.GetActiveCamera()
            view = parse_view(args.view, reader.GetOutput()) if args.view else None
            if view:
                place_camera(ren, cam, view, 0.0)
            win.Render()  # warm-up: texture upload, shader build
            t0 = time.perf_counter()
            for f in range(args.frames):
                if view:
                    place_camera(ren, cam, view, 360.0 * (f + 1) / args.frames)
                else:
                    cam.Azimuth(360.0 / args.frames)
                win.Render()
            ms = (time.perf_counter() - t0) * 1000.0 / args.frames
            print(f"{name} {size}x{size} {ms:.1f}", flush=True)
            if args.png:
                w2i = vtk.vtkWindowToImageFilter()
                w2i.SetInput(win)
                w2i.Update()
                png = vtk.vtkPNGWriter()
                png.SetFileName(f"{args.png}{name}_{size}.png")
                png.SetInputConnection(w2i.GetOutputPort())
                png.Write()
            win.Finalize()
    return 0


if __name__ == "__main__":
    sys.exit(main())
