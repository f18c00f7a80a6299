#include "image_picture.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string_view>
#include <system_error>

namespace kolv::tools {
namespace {

// Larger images are refused before decoding: one would need gigabytes.
constexpr int kMaxImageDimension = 16384;

struct ObjectUnref {
  void operator()(GdkPixbuf* pixbuf) const { g_object_unref(pixbuf); }
};
using Pixbuf = std::unique_ptr<GdkPixbuf, ObjectUnref>;

struct GFree {
  void operator()(gchar* text) const { g_free(text); }
};
using OwnedText = std::unique_ptr<gchar, GFree>;

struct ErrorFree {
  void operator()(GError* error) const { g_error_free(error); }
};
using ErrorHandle = std::unique_ptr<GError, ErrorFree>;

std::uint8_t overBlack(std::uint8_t value, std::uint8_t alpha) {
  return static_cast<std::uint8_t>((value * alpha + 127) / 255);
}

}  // namespace

std::optional<std::vector<std::byte>> loadFittedPicture(const std::filesystem::path& path, std::uint32_t width,
                                                        std::uint32_t height, std::string& error) {
  const std::string quoted = "'" + path.string() + "'";
  std::error_code code;
  if (!std::filesystem::is_regular_file(path, code)) {
    error = code ? "cannot open " + quoted + ": " + code.message()
                 : (std::filesystem::exists(path, code) ? quoted + " is not a file" : "no such file: " + quoted);
    return std::nullopt;
  }
  int imageWidth = 0;
  int imageHeight = 0;
  GdkPixbufFormat* format = gdk_pixbuf_get_file_info(path.c_str(), &imageWidth, &imageHeight);
  const OwnedText formatName(format ? gdk_pixbuf_format_get_name(format) : nullptr);
  const std::string_view name = formatName ? formatName.get() : "";
  if (name != "png" && name != "jpeg") {
    error = quoted + " is not a PNG or JPEG image";
    return std::nullopt;
  }
  if (imageWidth > kMaxImageDimension || imageHeight > kMaxImageDimension) {
    error = quoted + " is too large (" + std::to_string(imageWidth) + "x" + std::to_string(imageHeight) +
            "; at most 16384 pixels each way)";
    return std::nullopt;
  }

  GError* rawError = nullptr;
  Pixbuf loaded(gdk_pixbuf_new_from_file(path.c_str(), &rawError));
  const ErrorHandle loadError(rawError);
  if (!loaded) {
    error = "cannot decode " + quoted + ": " + (loadError ? loadError->message : "unknown error");
    return std::nullopt;
  }
  // Photographs often say in their EXIF data which way up they are.
  Pixbuf upright(gdk_pixbuf_apply_embedded_orientation(loaded.get()));
  if (!upright || gdk_pixbuf_get_bits_per_sample(upright.get()) != 8 || gdk_pixbuf_get_n_channels(upright.get()) < 3) {
    error = "cannot decode " + quoted + ": unsupported pixel layout";
    return std::nullopt;
  }

  const int sourceWidth = gdk_pixbuf_get_width(upright.get());
  const int sourceHeight = gdk_pixbuf_get_height(upright.get());
  const double scale = std::min(static_cast<double>(width) / sourceWidth, static_cast<double>(height) / sourceHeight);
  const int fittedWidth = std::clamp(static_cast<int>(std::lround(sourceWidth * scale)), 1, static_cast<int>(width));
  const int fittedHeight = std::clamp(static_cast<int>(std::lround(sourceHeight * scale)), 1, static_cast<int>(height));
  Pixbuf fitted(gdk_pixbuf_scale_simple(upright.get(), fittedWidth, fittedHeight, GDK_INTERP_BILINEAR));
  if (!fitted) {
    error = "cannot scale " + quoted + ": out of memory";
    return std::nullopt;
  }

  std::vector<std::byte> picture(std::size_t{width} * height * 4);
  for (std::size_t i = 3; i < picture.size(); i += 4) picture[i] = std::byte{255};  // opaque black
  const int channels = gdk_pixbuf_get_n_channels(fitted.get());
  const bool hasAlpha = gdk_pixbuf_get_has_alpha(fitted.get());
  const int stride = gdk_pixbuf_get_rowstride(fitted.get());
  const guint8* source = gdk_pixbuf_read_pixels(fitted.get());
  const std::size_t left = (width - static_cast<std::uint32_t>(fittedWidth)) / 2;
  const std::size_t top = (height - static_cast<std::uint32_t>(fittedHeight)) / 2;
  for (int y = 0; y < fittedHeight; ++y) {
    const guint8* in = source + static_cast<std::size_t>(y) * stride;
    std::byte* out = picture.data() + ((top + y) * width + left) * 4;
    for (int x = 0; x < fittedWidth; ++x, in += channels, out += 4) {
      const std::uint8_t alpha = hasAlpha ? in[3] : 255;
      out[0] = std::byte{overBlack(in[2], alpha)};
      out[1] = std::byte{overBlack(in[1], alpha)};
      out[2] = std::byte{overBlack(in[0], alpha)};
    }
  }
  return picture;
}

}  // namespace kolv::tools
