#include "platform/painter.h"

#include <cairo.h>
#include <gtk/gtk.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "util/file_util.h"

namespace platform {
namespace {

constexpr int kMaxFontPixels = 4096;

struct PngReader {
  const unsigned char* data;
  std::size_t size;
  std::size_t offset;
};

cairo_status_t ReadPng(void* closure, unsigned char* out, unsigned int length) {
  auto* r = static_cast<PngReader*>(closure);
  if (r->size - r->offset < length) return CAIRO_STATUS_READ_ERROR;
  std::memcpy(out, r->data + r->offset, length);
  r->offset += length;
  return CAIRO_STATUS_SUCCESS;
}

void SetColor(cairo_t* cr, std::uint32_t rgb, double alpha) {
  cairo_set_source_rgba(cr, ((rgb >> 16) & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0,
                        (rgb & 0xFF) / 255.0, alpha);
}

}  // namespace

Image::~Image() {
  cairo_surface_destroy(surface_);
}

std::unique_ptr<Image> Image::DecodePng(const void* data, std::size_t size, std::string* error) {
  static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (size < 8 || std::memcmp(data, kSignature, 8) != 0) {
    if (error) *error = "Not a PNG image";
    return nullptr;
  }
  PngReader reader{static_cast<const unsigned char*>(data), size, 0};
  cairo_surface_t* s = cairo_image_surface_create_from_png_stream(ReadPng, &reader);
  if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
    if (error) *error = cairo_status_to_string(cairo_surface_status(s));
    cairo_surface_destroy(s);
    return nullptr;
  }
  return std::unique_ptr<Image>(new Image(s));
}

int Image::Width() const {
  return cairo_image_surface_get_width(surface_);
}
int Image::Height() const {
  return cairo_image_surface_get_height(surface_);
}

void Image::MakeColorTransparent(std::uint32_t rgb) {
  cairo_surface_flush(surface_);
  unsigned char* base = cairo_image_surface_get_data(surface_);
  if (!base) return;
  const int stride = cairo_image_surface_get_stride(surface_);
  const bool has_alpha = cairo_image_surface_get_format(surface_) == CAIRO_FORMAT_ARGB32;
  for (int y = 0; y < Height(); ++y) {
    auto* row = reinterpret_cast<std::uint32_t*>(base + y * stride);
    for (int x = 0; x < Width(); ++x) {
      // Only opaque pixels can equal the key colour once premultiplied.
      if ((!has_alpha || (row[x] >> 24) == 0xFF) && (row[x] & 0xFFFFFF) == (rgb & 0xFFFFFF)) {
        row[x] = 0;
      }
    }
  }
  cairo_surface_mark_dirty(surface_);
}

Font::~Font() {
  pango_font_description_free(desc_);
}

std::unique_ptr<Font> Font::Create(const std::string& face, int pixel_height, bool bold,
                                   bool underline, bool italic) {
  PangoFontDescription* d = pango_font_description_new();
  // The face first, then the CJK fallback, then whatever sans the machine has.
  std::string families =
      face.empty() ? "WenQuanYi Micro Hei,sans-serif" : face + ",WenQuanYi Micro Hei,sans-serif";
  pango_font_description_set_family(d, families.c_str());
  // Skin markup may ask for any size; no glyph is drawn taller than a screen.
  const int height = pixel_height > 0 ? std::min(pixel_height, kMaxFontPixels) : 12;
  pango_font_description_set_absolute_size(d, height * PANGO_SCALE);
  pango_font_description_set_weight(d, bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
  pango_font_description_set_style(d, italic ? PANGO_STYLE_ITALIC : PANGO_STYLE_NORMAL);
  return std::unique_ptr<Font>(new Font(d, underline));
}

void Painter::PushClip(const Rect& r) {
  cairo_save(cr_);
  cairo_rectangle(cr_, r.left, r.top, r.Width(), r.Height());
  cairo_clip(cr_);
}

void Painter::PopClip() {
  cairo_restore(cr_);
}

void Painter::FillRect(const Rect& r, std::uint32_t argb) {
  if (r.IsEmpty()) return;
  SetColor(cr_, argb, ((argb >> 24) & 0xFF) / 255.0);
  cairo_rectangle(cr_, r.left, r.top, r.Width(), r.Height());
  cairo_fill(cr_);
}

void Painter::DrawPiece(const Image& image, const Rect& src, const Rect& dst, double alpha,
                        bool xtiled, bool ytiled) {
  if (src.IsEmpty() || dst.IsEmpty()) return;
  cairo_save(cr_);
  cairo_rectangle(cr_, dst.left, dst.top, dst.Width(), dst.Height());
  cairo_clip(cr_);
  cairo_translate(cr_, dst.left, dst.top);
  const double sx = xtiled ? 1.0 : static_cast<double>(dst.Width()) / src.Width();
  const double sy = ytiled ? 1.0 : static_cast<double>(dst.Height()) / src.Height();
  cairo_scale(cr_, sx, sy);
  cairo_surface_t* part = cairo_surface_create_for_rectangle(image.Surface(), src.left, src.top,
                                                             src.Width(), src.Height());
  cairo_set_source_surface(cr_, part, 0, 0);
  cairo_pattern_t* pattern = cairo_get_source(cr_);
  cairo_pattern_set_extend(pattern, (xtiled || ytiled) ? CAIRO_EXTEND_REPEAT : CAIRO_EXTEND_PAD);
  if (sx == 1.0 && sy == 1.0) cairo_pattern_set_filter(pattern, CAIRO_FILTER_NEAREST);
  cairo_paint_with_alpha(cr_, alpha);
  cairo_surface_destroy(part);
  cairo_restore(cr_);
}

void Painter::DrawImage(const Image& image, const ImageDrawParams& p) {
  Rect src = p.source == Rect{} ? Rect{0, 0, image.Width(), image.Height()} : p.source;
  src = Intersect(src, Rect{0, 0, image.Width(), image.Height()});
  if (src.IsEmpty() || p.dest.IsEmpty() || p.fade == 0) return;
  const double alpha = p.fade / 255.0;
  const Rect& c = p.corner;
  if (c.left == 0 && c.top == 0 && c.right == 0 && c.bottom == 0) {
    DrawPiece(image, src, p.dest, alpha, p.xtiled, p.ytiled);
    return;
  }
  // Nine pieces: corners unscaled, edges stretched one way, middle both ways.
  const Rect& d = p.dest;
  const int sx[4] = {src.left, src.left + c.left, src.right - c.right, src.right};
  const int sy[4] = {src.top, src.top + c.top, src.bottom - c.bottom, src.bottom};
  const int dx[4] = {d.left, d.left + c.left, d.right - c.right, d.right};
  const int dy[4] = {d.top, d.top + c.top, d.bottom - c.bottom, d.bottom};
  for (int row = 0; row < 3; ++row) {
    for (int col = 0; col < 3; ++col) {
      DrawPiece(image, Rect{sx[col], sy[row], sx[col + 1], sy[row + 1]},
                Rect{dx[col], dy[row], dx[col + 1], dy[row + 1]}, alpha,
                p.xtiled && col == 1 && row == 1, p.ytiled && col == 1 && row == 1);
    }
  }
}

void Painter::DrawText(const std::string& text, const Rect& r, const Font* font, std::uint32_t rgb,
                       unsigned format) {
  if (text.empty() || r.IsEmpty()) return;
  PangoLayout* layout = pango_cairo_create_layout(cr_);
  pango_layout_set_text(layout, text.c_str(), -1);
  if (font) pango_layout_set_font_description(layout, font->Description());
  if (font && font->Underline()) {
    PangoAttrList* attrs = pango_attr_list_new();
    pango_attr_list_insert(attrs, pango_attr_underline_new(PANGO_UNDERLINE_SINGLE));
    pango_layout_set_attributes(layout, attrs);
    pango_attr_list_unref(attrs);
  }
  const bool single = (format & DT_SINGLELINE) != 0;
  // Pango wraps whenever a width is set; a single line gets a width only to
  // be cut with an ellipsis, and is otherwise placed by hand below.
  const bool ellipsis = single && (format & DT_END_ELLIPSIS);
  pango_layout_set_single_paragraph_mode(layout, single);
  if (!single || ellipsis) pango_layout_set_width(layout, r.Width() * PANGO_SCALE);
  if (ellipsis) {
    pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_END);
    pango_layout_set_height(layout, -1);
  }
  if (!single) pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
  pango_layout_set_alignment(layout, (format & DT_CENTER)  ? PANGO_ALIGN_CENTER
                                     : (format & DT_RIGHT) ? PANGO_ALIGN_RIGHT
                                                           : PANGO_ALIGN_LEFT);
  int w = 0, h = 0;
  pango_layout_get_pixel_size(layout, &w, &h);
  int x = r.left;
  if (single && !ellipsis && (format & DT_CENTER)) x = r.left + (r.Width() - w) / 2;
  if (single && !ellipsis && (format & DT_RIGHT)) x = r.right - w;
  int y = r.top;
  if ((format & DT_VCENTER) && single) y = r.top + (r.Height() - h) / 2;
  cairo_save(cr_);
  cairo_rectangle(cr_, r.left, r.top, r.Width(), r.Height());
  cairo_clip(cr_);
  SetColor(cr_, rgb, 1.0);  // text ignores the colour's alpha
  cairo_move_to(cr_, x, y);
  pango_cairo_show_layout(cr_, layout);
  cairo_restore(cr_);
  g_object_unref(layout);
}

Surface::Surface(int width, int height)
    : width_(width),
      height_(height),
      surface_(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height)),
      cr_(cairo_create(surface_)),
      painter_(std::make_unique<Painter>(cr_)) {}

Surface::~Surface() {
  painter_.reset();
  cairo_destroy(cr_);
  cairo_surface_destroy(surface_);
}

std::uint32_t Surface::PixelAt(int x, int y) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0;
  cairo_surface_flush(surface_);
  const unsigned char* base = cairo_image_surface_get_data(surface_);
  const int stride = cairo_image_surface_get_stride(surface_);
  std::uint32_t p = reinterpret_cast<const std::uint32_t*>(base + y * stride)[x];
  const std::uint32_t a = p >> 24;
  if (a == 0) return 0;
  auto un = [a](std::uint32_t c) { return std::min<std::uint32_t>(255, c * 255 / a); };
  return (a << 24) | (un((p >> 16) & 0xFF) << 16) | (un((p >> 8) & 0xFF) << 8) | un(p & 0xFF);
}

void Surface::DrawWidget(void* widget) {
  cairo_save(cr_);
  gtk_widget_draw(static_cast<GtkWidget*>(widget), cr_);
  cairo_restore(cr_);
}

bool Surface::WritePng(const std::string& path, std::string* error) {
  cairo_surface_flush(surface_);
  const std::string tmp = TempPathFor(path);  // unique: several writers may share a folder
  cairo_status_t st = cairo_surface_write_to_png(surface_, tmp.c_str());
  if (st != CAIRO_STATUS_SUCCESS) {
    if (error) *error = cairo_status_to_string(st);
    RemoveFileIfPresent(tmp);
    return false;
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    if (error) *error = "Could not rename " + tmp;
    RemoveFileIfPresent(tmp);
    return false;
  }
  return true;
}

}  // namespace platform
