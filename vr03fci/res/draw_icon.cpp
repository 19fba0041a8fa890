// Draws the initializer's program icon (102) at build time: a memory card with its cut
// corner and contacts, a green tick over it, in the 16 colours of the classic palette.
// Usage: fci_draw_icon OUT.png SIZE
#include <png.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

struct Rgba {
  uint8_t r, g, b, a;
};
// Colours of the 16-colour palette only.
constexpr Rgba kClear{0, 0, 0, 0};
constexpr Rgba kBlack{0, 0, 0, 255};
constexpr Rgba kNavy{0, 0, 128, 255};
constexpr Rgba kBlue{0, 0, 255, 255};
constexpr Rgba kOlive{128, 128, 0, 255};
constexpr Rgba kYellow{255, 255, 0, 255};
constexpr Rgba kGreen{0, 128, 0, 255};
constexpr Rgba kLime{0, 255, 0, 255};
constexpr Rgba kWhite{255, 255, 255, 255};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: fci_draw_icon OUT.png SIZE\n");
    return 2;
  }
  const int n = std::atoi(argv[2]);
  if (n < 16 || n > 256) return 2;
  std::vector<Rgba> px(static_cast<size_t>(n) * n, kClear);
  auto at = [&](int x, int y) -> Rgba& { return px[static_cast<size_t>(y) * n + x]; };
  // Geometry on a 32-unit grid, scaled to the size.
  auto s = [n](double units) { return static_cast<int>(units * n / 32.0 + 0.5); };
  const int left = s(6), right = s(26), top = s(2), bottom = s(30), cut = s(6);
  for (int y = top; y < bottom; ++y) {
    for (int x = left; x < right; ++x) {
      if (x - left + (y - top) < cut) continue;  // the cut corner, top left
      const bool edge = x == left || x == right - 1 || y == top || y == bottom - 1 || x - left + (y - top) == cut;
      at(x, y) = edge ? kNavy : kBlue;
    }
  }
  // Contacts along the top edge.
  for (int c = 0; c < 4; ++c) {
    const int x0 = s(12 + 3.5 * c), x1 = x0 + std::max(1, s(2));
    for (int y = s(4); y < s(9); ++y)
      for (int x = x0; x < x1 && x < right - 1; ++x) at(x, y) = (y == s(4) || x == x0) ? kYellow : kOlive;
  }
  // A white label and a tick over it.
  for (int y = s(13); y < s(27); ++y)
    for (int x = s(9); x < s(23); ++x) at(x, y) = kWhite;
  const double w = std::max(1.5, n / 10.0);
  auto tick = [&](double x0, double y0, double x1, double y1) {
    for (int i = 0; i <= 200; ++i) {
      const double t = i / 200.0, cx = (x0 + (x1 - x0) * t) * n / 32.0, cy = (y0 + (y1 - y0) * t) * n / 32.0;
      for (int y = static_cast<int>(cy - w); y <= static_cast<int>(cy + w); ++y)
        for (int x = static_cast<int>(cx - w); x <= static_cast<int>(cx + w); ++x) {
          if (x < 0 || y < 0 || x >= n || y >= n) continue;
          const double d = (x + 0.5 - cx) * (x + 0.5 - cx) + (y + 0.5 - cy) * (y + 0.5 - cy);
          if (d <= w * w / 4) at(x, y) = kGreen;
          else if (d <= w * w / 2.2 && at(x, y).a != 0 && at(x, y).g != 128) at(x, y) = kLime;
        }
    }
  };
  tick(11.5, 20, 15, 24);
  tick(15, 24, 21, 15.5);
  // A black shadow along the right and bottom edges.
  for (int y = top + 1; y <= bottom && y < n; ++y)
    if (right < n && at(right, y).a == 0) at(right, y) = kBlack;
  for (int x = left + 1; x <= right && x < n; ++x)
    if (bottom < n && at(x, bottom).a == 0) at(x, bottom) = kBlack;

  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(n);
  image.height = static_cast<png_uint_32>(n);
  image.format = PNG_FORMAT_RGBA;
  if (!png_image_write_to_file(&image, argv[1], 0, px.data(), 0, nullptr)) {
    std::fprintf(stderr, "fci_draw_icon: %s\n", image.message);
    return 1;
  }
  return 0;
}
