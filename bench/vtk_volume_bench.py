#!/usr/bin/python3
"""Baseline for the frame-time benchmark: renders a NIfTI volume with VTK's
ray-cast volume mappers at a given size and prints the mean frame time of
each mapper, one line per mapper: "<mapper> <width>x<height> <ms>".

Run under an X server (the benchmark script starts a private Xvfb)."""
import argparse
import sys
import time

import vtkmodules.all as vtk


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("volume")
    ap.add_argument("--size", type=int, nargs="+", default=[512, 1024])
    ap.add_argument("--frames", type=int, default=10)
    ap.add_argument("--png", default="", help="write the last frame of each run here (prefix)")
    ap.add_argument("--mapper", choices=["fixed", "gpu", "both"], default="both")
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
            win.Render()  # warm-up: texture upload, shader build
            cam = ren.GetActiveCamera()
            t0 = time.perf_counter()
            for _ in range(args.frames):
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
