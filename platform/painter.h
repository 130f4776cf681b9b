// Drawing for skinned windows: decoded images, fonts, and a painter that draws
// them, plain colours and text onto a window or an off-screen surface. Cairo
// and Pango stay behind these classes; callers see only our own types.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/win_types.h"

typedef struct _cairo cairo_t;
typedef struct _cairo_surface cairo_surface_t;
typedef struct _PangoFontDescription PangoFontDescription;

namespace platform {

// A decoded picture with its alpha. Immutable once made ready, except for
// MakeColorTransparent; used on one thread.
class Image {
 public:
  ~Image();
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;

  // Decodes PNG bytes; null with a reason in *error when they are not a PNG.
  static std::unique_ptr<Image> DecodePng(const void* data, std::size_t size, std::string* error);

  int Width() const;
  int Height() const;
  // Pixels of exactly this RGB colour become fully transparent (the `mask` key).
  void MakeColorTransparent(std::uint32_t rgb);
  cairo_surface_t* Surface() const { return surface_; }

 private:
  explicit Image(cairo_surface_t* surface) : surface_(surface) {}
  cairo_surface_t* surface_;
};

// A face, pixel height and style. Immutable; usable from any thread.
class Font {
 public:
  ~Font();
  Font(const Font&) = delete;
  Font& operator=(const Font&) = delete;

  // Faces the machine lacks fall back through fontconfig (CJK faces to an
  // installed CJK font).
  static std::unique_ptr<Font> Create(const std::string& face, int pixel_height, bool bold,
                                      bool underline, bool italic);
  PangoFontDescription* Description() const { return desc_; }
  bool Underline() const { return underline_; }

 private:
  Font(PangoFontDescription* desc, bool underline) : desc_(desc), underline_(underline) {}
  PangoFontDescription* desc_;
  bool underline_;
};

// How an image is laid onto a destination rectangle.
struct ImageDrawParams {
  Rect dest;    // where, in the painter's coordinates
  Rect source;  // part of the image; all zero means all of it
  Rect corner;  // borders kept unstretched (nine-slice)
  std::uint8_t fade = 255;
  bool xtiled = false;
  bool ytiled = false;
};

// Draws onto a cairo context it borrows. Used on the thread that owns the
// context, for the duration of one paint.
class Painter {
 public:
  explicit Painter(cairo_t* cr) : cr_(cr) {}

  void PushClip(const Rect& r);
  void PopClip();
  void FillRect(const Rect& r, std::uint32_t argb);
  void DrawImage(const Image& image, const ImageDrawParams& params);
  // Text in the RGB part of `rgb`; `format` is a set of DT_* flags.
  void DrawText(const std::string& text, const Rect& r, const Font* font, std::uint32_t rgb,
                unsigned format);

 private:
  void DrawPiece(const Image& image, const Rect& src, const Rect& dst, double alpha, bool xtiled,
                 bool ytiled);
  cairo_t* cr_;
};

// An off-screen ARGB picture to paint into and save: skins rendered without a
// window, and tests that look at pixels. Used on one thread.
class Surface {
 public:
  Surface(int width, int height);
  ~Surface();
  Surface(const Surface&) = delete;
  Surface& operator=(const Surface&) = delete;

  Painter& GetPainter() { return *painter_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  // Un-premultiplied 0xAARRGGBB of one pixel.
  std::uint32_t PixelAt(int x, int y);
  // Draws a GtkWidget as it would appear on screen (passed untyped to keep
  // GTK out of this header).
  void DrawWidget(void* widget);
  // Writes a PNG under a temporary name and renames it into place.
  bool WritePng(const std::string& path, std::string* error);

 private:
  int width_;
  int height_;
  cairo_surface_t* surface_;
  cairo_t* cr_;
  std::unique_ptr<Painter> painter_;
};

}  // namespace platform
