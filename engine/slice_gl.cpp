#include "engine/slice_gl.h"

#include "engine/gl_palette.h"
#include "engine/test_volume.h"
#include "engine/timers.h"

#include <GL/gl.h>

namespace voxa {

namespace {

constexpr GLenum kColorIndex8Ext = 0x80E5;  // GL_COLOR_INDEX8_EXT

std::span<const uint8_t> Layout(const uint8_t* bytes, size_t size) {
    return bytes != nullptr ? std::span<const uint8_t>(bytes, size) : std::span<const uint8_t>();
}

}  // namespace

void SliceDrawer::MakeTransposes(PassKind kind, const BrickBytes& bytes, WorkBuffers& buffers,
                                 bool paired, bool timers, TimerRecorder& recorder) {
    if (kind == PassKind::kXY) return;
    bool& valid = kind == PassKind::kYZ ? buffers.yzValid : buffers.xzValid;
    if (valid) return;
    TimerLabels labels = TransposeTimerLabels(kind);
    if (timers) recorder.StampTimer(labels.begin);
    const size_t nativeSize = NativeBytesRead(bytes.shape);
    const size_t bufferSize = static_cast<size_t>(buffers.Size());
    auto transpose = kind == PassKind::kYZ ? TransposeYZ : TransposeXZ;
    unsigned char* mainOut = kind == PassKind::kYZ ? buffers.MainYZ() : buffers.MainXZ();
    transpose(Layout(bytes.main, nativeSize), std::span<uint8_t>(mainOut, bufferSize), bytes.shape);
    if (paired && bytes.second != nullptr) {
        unsigned char* secondOut = kind == PassKind::kYZ ? buffers.SecondYZ() : buffers.SecondXZ();
        transpose(Layout(bytes.second, nativeSize), std::span<uint8_t>(secondOut, bufferSize),
                  bytes.shape);
    }
    if (timers) recorder.StampTimer(labels.end);
    valid = true;
}

int SliceDrawer::DrawPasses(const PassPlan& plan, const BrickBytes& bytes, WorkBuffers& buffers,
                            const ColorTableRef& table, const SliceDrawSettings& settings,
                            const PaletteBinding& palette, TimerRecorder& timers,
                            const SliceTextures& textures) {
    const TextureMethod method = ChooseTextureMethod(settings.usePalet, settings.paired);
    const bool standIn = method == TextureMethod::kBob && !palette.extension &&
                         palette.standIn != nullptr;
    const size_t bufferSize = static_cast<size_t>(buffers.Size());
    const size_t nativeSize = NativeBytesRead(bytes.shape);
    int drawn = 0;
    for (const PlannedPass& pass : plan.passes) {
        MakeTransposes(pass.kind, bytes, buffers, settings.paired, settings.timers, timers);
        std::span<const uint8_t> mainLayout, secondLayout;
        switch (pass.kind) {
            case PassKind::kYZ:
                mainLayout = Layout(buffers.MainYZ(), bufferSize);
                secondLayout = settings.paired ? Layout(buffers.SecondYZ(), bufferSize)
                                               : std::span<const uint8_t>();
                break;
            case PassKind::kXZ:
                mainLayout = Layout(buffers.MainXZ(), bufferSize);
                secondLayout = settings.paired ? Layout(buffers.SecondXZ(), bufferSize)
                                               : std::span<const uint8_t>();
                break;
            case PassKind::kXY:
                mainLayout = Layout(bytes.main, nativeSize);
                secondLayout = settings.paired ? Layout(bytes.second, nativeSize)
                                               : std::span<const uint8_t>();
                break;
        }
        TimerLabels labels = PassTimerLabels(pass.kind, settings.usePalet);
        if (settings.timers) timers.StampTimer(labels.begin);
        glColor4f(1.0f, 1.0f, 1.0f, plan.alpha);
        if (standIn) {
            palette.standIn->Begin();
            palette.standIn->SetIndexSize(pass.texWidth, pass.texHeight);
        }
        for (const PlannedSlice& slice : pass.slices) {
            if (textures.count > 0) {
                m_nextTexture %= textures.count;
                glBindTexture(GL_TEXTURE_2D, textures.names[m_nextTexture]);
                m_nextTexture = (m_nextTexture + 1) % textures.count;
            }
            if (method == TextureMethod::kBob) {
                std::span<const uint8_t> image =
                    SliceImage(mainLayout, bytes.shape, pass.kind, SinglePlane(slice.planes));
                if (image.empty()) continue;
                if (palette.extension)
                    glTexImage2D(GL_TEXTURE_2D, 0, static_cast<GLint>(kColorIndex8Ext),
                                 pass.texWidth, pass.texHeight, 0, GL_COLOR_INDEX,
                                 GL_UNSIGNED_BYTE, image.data());
                else
                    glTexImage2D(GL_TEXTURE_2D, 0, GL_LUMINANCE8, pass.texWidth, pass.texHeight, 0,
                                 GL_LUMINANCE, GL_UNSIGNED_BYTE, image.data());
            } else {
                BolSource src{mainLayout, secondLayout, bytes.shape};
                std::span<const uint32_t> texels =
                    BuildBolSlice(src, pass.kind, slice, table, m_staging);
                if (texels.empty()) continue;
                glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, pass.texWidth, pass.texHeight, 0, GL_RGBA,
                             GL_UNSIGNED_BYTE, texels.data());
            }
            glBegin(GL_QUADS);
            for (const SliceVertex& v : slice.quad) {
                glTexCoord2f(v.s, v.t);
                glVertex3f(v.pos[0], v.pos[1], v.pos[2]);
            }
            glEnd();
            ++drawn;
        }
        if (standIn) palette.standIn->End();
        if (settings.timers) timers.StampTimer(labels.end);
    }
    glFlush();
    glFinish();
    return drawn;
}

}  // namespace voxa
