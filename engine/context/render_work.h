// The view and key operations of the render work interface as pure
// functions on the render request block: frustum, eye motion by mouse
// deltas, zoom, and the conversions between the block and the view key
// (Renderparams). The render context calls them; tests call them directly.
// No GL, no state of their own; any thread.
#pragma once

#include "engine/context/render_request.h"

#include <string>

namespace voxa {

inline constexpr int kMaxFrameSide = 16384;  // largest accepted frame width or height

// The context's own copies of the quality settings and what SaveKey reports
// besides the block.
struct ViewQuality {
    float opacity = 1.0f;
    float nplanes = 1.0f;
    float maxplanes = 1.0f;
    int32_t pixelError = 5;
    float angleError = 0.02f;
    float sizeError = 8.0f;
};

struct KeyExtras {
    std::string imageName = kDefaultImageName;
    int32_t nx = 0, ny = 0, nz = 0;  // volume size, set when a volume is loaded
};

// SetFrustum / AddFrustum: width, height, aspect, panel vectors, half sizes,
// field of view 2 atan(halfHeight / |center . normal|) in degrees, frustum
// changed := 1. Refuses (false, block unchanged) a width or height outside
// 1..16384, which would make a zero aspect or an unbounded pixel buffer.
bool ApplyFrustum(RenderRequestBlock& block, const float center[3], const float up[3],
                  const float normal[3], int width, int height, float panWidth);

// IncrementEyePoint: modes 0 (orbit), 1 (turn about up, raise/lower),
// 2 (pan), 3 (orbit and roll up); the up vector is normalised in every mode.
void IncrementEye(RenderRequestBlock& block, int delx, int dely, int mode);

// ZoomEyePoint: eye := centre + e^(-0.002 dely) (eye - centre); mode 2
// moves the centre with the eye.
void ZoomEye(RenderRequestBlock& block, int dely, int mode);

// SaveKey: the view key of the block and the context's settings.
Renderparams MakeKey(const RenderRequestBlock& block, const ViewQuality& quality,
                     const KeyExtras& extras);
// RestorKey: the block (names, field of view, eye, centre, up, clips, near,
// far and the quality copies), the context's quality and the image name.
// Names that lack a terminator are cut at 99 characters.
void ApplyKey(const Renderparams& key, RenderRequestBlock& block, ViewQuality& quality,
              KeyExtras& extras);

}  // namespace voxa
