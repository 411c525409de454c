#include "engine/gl/gl_palette.h"
#include "engine/gl/gl_program.h"
#include "engine/gl/gl_state.h"

#include <vector>

namespace voxa {

namespace {

// Index i (stored as i/255) selects texel i of the 256-texel palette. As
// with a paletted texture, filtering happens after the look-up: the four
// index texels around the sample point (read at their centres, so exactly)
// are looked up and their colours blended bilinearly. With indexSize 0 the
// index is sampled as it comes (nearest filtering).
constexpr char kFragmentShader[] = R"(#version 120
uniform sampler2D indexTexture;
uniform sampler2D palette;
uniform vec2 indexSize;
uniform float premultiply;
vec4 Lookup(vec2 st) {
    float index = texture2D(indexTexture, st).r;
    return texture2D(palette, vec2((floor(index * 255.0 + 0.5) + 0.5) / 256.0, 0.5));
}
void main() {
    vec2 st = gl_TexCoord[0].st;
    vec4 colour;
    if (indexSize.x > 0.0) {
        vec2 t = clamp(st * indexSize - 0.5, vec2(0.0), indexSize - 1.0);
        vec2 f = fract(t);
        vec2 base = floor(t);
        vec2 next = min(base + 1.0, indexSize - 1.0);
        vec2 a = (base + 0.5) / indexSize;
        vec2 b = (next + 0.5) / indexSize;
        colour = mix(mix(Lookup(a), Lookup(vec2(b.x, a.y)), f.x),
                     mix(Lookup(vec2(a.x, b.y)), Lookup(b), f.x), f.y);
    } else {
        colour = Lookup(st);
    }
    colour *= gl_Color;
    gl_FragColor = premultiply > 0.5 ? vec4(colour.rgb * colour.a, colour.a) : colour;
}
)";


}  // namespace

GlPalette::GlPalette() : m_gl(std::make_unique<GlShaderEntryPoints>()) {}

Result<std::unique_ptr<GlPalette>> GlPalette::Create() {
    std::unique_ptr<GlPalette> p(new GlPalette());  // private constructor
    GlShaderEntryPoints& gl = *p->m_gl;
    if (!gl.Load()) return Unavailable("the context has no GL 2.0 shader entry points");
    VOXA_ASSIGN_OR_RETURN(p->m_program,
                          BuildProgram(gl, kFixedFunctionVertexShader, kFragmentShader, "palette"));
    p->m_indexUniform = gl.GetUniformLocation(p->m_program, "indexTexture");
    p->m_paletteUniform = gl.GetUniformLocation(p->m_program, "palette");
    p->m_sizeUniform = gl.GetUniformLocation(p->m_program, "indexSize");
    p->m_premultiplyUniform = gl.GetUniformLocation(p->m_program, "premultiply");

    GLint bound = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
    glGenTextures(1, &p->m_paletteTexture);
    glBindTexture(GL_TEXTURE_2D, p->m_paletteTexture);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    std::vector<float> zeros(kPaletteSize * 4, 0.0f);
    glTexImage2D(GL_TEXTURE_2D, 0, static_cast<GLint>(kGlRgba32f), kPaletteSize, 1, 0, GL_RGBA,
                 GL_FLOAT, zeros.data());
    glBindTexture(GL_TEXTURE_2D, static_cast<GLuint>(bound));
    return p;
}

GlPalette::~GlPalette() {
    if (m_paletteTexture != 0) glDeleteTextures(1, &m_paletteTexture);
    if (m_program != 0) m_gl->DeleteProgram(m_program);
}

void GlPalette::Load(const std::array<float, kPaletteSize * 4>& rgba) {
    GLint bound = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
    glBindTexture(GL_TEXTURE_2D, m_paletteTexture);
    GL_CHECK(glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, kPaletteSize, 1, GL_RGBA, GL_FLOAT,
                             rgba.data()));
    glBindTexture(GL_TEXTURE_2D, static_cast<GLuint>(bound));
}

void GlPalette::Begin() {
    GlShaderEntryPoints& gl = *m_gl;
    gl.UseProgram(m_program);
    gl.Uniform1i(m_indexUniform, 0);
    gl.Uniform1i(m_paletteUniform, 1);
    gl.Uniform2f(m_sizeUniform, 0.0f, 0.0f);
    gl.Uniform1f(m_premultiplyUniform, 0.0f);
    gl.ActiveTexture(GL_TEXTURE1);
    glBindTexture(GL_TEXTURE_2D, m_paletteTexture);
    gl.ActiveTexture(GL_TEXTURE0);
}

void GlPalette::SetPremultiplied(bool on) {
    m_gl->Uniform1f(m_premultiplyUniform, on ? 1.0f : 0.0f);
}

void GlPalette::SetIndexSize(int width, int height) {
    m_gl->Uniform2f(m_sizeUniform, static_cast<float>(width), static_cast<float>(height));
}

void GlPalette::End() {
    GlShaderEntryPoints& gl = *m_gl;
    gl.ActiveTexture(GL_TEXTURE1);
    glBindTexture(GL_TEXTURE_2D, 0);
    gl.ActiveTexture(GL_TEXTURE0);
    gl.UseProgram(0);
}

}  // namespace voxa
