#include "engine/context/pixel_files.h"

#include "engine/context/render_request.h"
#include "platform/unique_fd.h"

#include <png.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace voxa {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string FrameFileName(std::string_view name, std::string_view imageName) {
    if (name.size() >= 2 && IsDigit(name[0]) && IsDigit(name[1])) {
        std::string out(imageName.substr(0, kNameField - 1));
        out += '_';
        out += name[0];
        out += name[1];
        return out;
    }
    return std::string(name);
}

bool WriteRawImage(const std::string& path, std::span<const uint8_t> rgb) {
    UniqueFile f(std::fopen(path.c_str(), "wb"));
    if (!f) return false;
    if (!rgb.empty() && std::fwrite(rgb.data(), 1, rgb.size(), f.get()) != rgb.size()) return false;
    return std::fclose(f.release()) == 0;
}

Status WritePngImage(const std::string& path, int width, int height, std::span<const uint8_t> rgb) {
    auto fail = [](const char* why) { return IoError(why); };
    if (width < 1 || height < 1 ||
        rgb.size() != static_cast<size_t>(width) * static_cast<size_t>(height) * 3)
        return InvalidArgument("frame size does not match its pixels");
    UniqueFile f(std::fopen(path.c_str(), "wb"));
    if (!f) return fail("cannot create the file");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png == nullptr) return fail("cannot start the PNG writer");
    png_infop info = png_create_info_struct(png);
    struct Guard {
        png_structp* png;
        png_infop* info;
        ~Guard() { png_destroy_write_struct(png, info); }
    } guard{&png, &info};
    if (info == nullptr) return fail("cannot start the PNG writer");
    std::vector<png_const_bytep> rows(static_cast<size_t>(height));
    const size_t stride = static_cast<size_t>(width) * 3;
    for (int y = 0; y < height; ++y)  // PNG rows go from the top
        rows[static_cast<size_t>(y)] = rgb.data() + stride * static_cast<size_t>(height - 1 - y);
    if (setjmp(png_jmpbuf(png))) return fail("PNG write failed");
    png_init_io(png, f.get());
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_rows(png, const_cast<png_bytepp>(rows.data()), static_cast<png_uint_32>(height));
    png_write_end(png, info);
    if (std::fclose(f.release()) != 0) return fail("cannot close the file");
    return Status::Ok();
}

bool ReadPngImage(const std::string& path, int& width, int& height, std::string& rgb) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
    image.format = PNG_FORMAT_RGB;
    width = static_cast<int>(image.width);
    height = static_cast<int>(image.height);
    std::string top(PNG_IMAGE_SIZE(image), '\0');
    if (!png_image_finish_read(&image, nullptr, top.data(), 0, nullptr)) {
        png_image_free(&image);
        return false;
    }
    const size_t stride = static_cast<size_t>(width) * 3;
    rgb.assign(top.size(), '\0');
    for (int y = 0; y < height; ++y)
        rgb.replace(stride * static_cast<size_t>(y), stride, top, stride * static_cast<size_t>(height - 1 - y), stride);
    return true;
}

}  // namespace voxa
