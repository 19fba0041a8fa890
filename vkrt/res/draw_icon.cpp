// Draws the data class icons of vkrt as PNG files at build time: each design is a few
// shapes in a unit square, rendered with 4x4 supersampling at the size asked for.
// usage: vkrt_draw_icon OUT.png SIZE DESIGN
//   designs: patient report statistics session recorder-events study-events sample
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

struct Color {
  float r, g, b, a;
};

// Inside test of a shape at a point of the unit square (x right, y down).
using Shape = std::function<bool(float x, float y)>;

Shape RoundRect(float x0, float y0, float x1, float y1, float radius) {
  return [=](float x, float y) {
    if (x < x0 || x > x1 || y < y0 || y > y1) return false;
    float cx = std::clamp(x, x0 + radius, x1 - radius);
    float cy = std::clamp(y, y0 + radius, y1 - radius);
    return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius;
  };
}

Shape Circle(float cx, float cy, float radius) {
  return [=](float x, float y) { return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius; };
}

// A line of the given width with round ends.
Shape Segment(float x0, float y0, float x1, float y1, float width) {
  return [=](float x, float y) {
    float dx = x1 - x0, dy = y1 - y0;
    float len2 = dx * dx + dy * dy;
    float t = len2 > 0 ? std::clamp(((x - x0) * dx + (y - y0) * dy) / len2, 0.0f, 1.0f) : 0.0f;
    float px = x0 + t * dx - x, py = y0 + t * dy - y;
    return px * px + py * py <= width * width / 4;
  };
}

Shape Polyline(std::vector<std::pair<float, float>> points, float width) {
  std::vector<Shape> parts;
  for (size_t i = 1; i < points.size(); ++i)
    parts.push_back(Segment(points[i - 1].first, points[i - 1].second, points[i].first, points[i].second, width));
  return [parts](float x, float y) {
    return std::any_of(parts.begin(), parts.end(), [&](const Shape& s) { return s(x, y); });
  };
}

// A polygon by the even-odd rule.
Shape Polygon(std::vector<std::pair<float, float>> points) {
  return [points](float x, float y) {
    bool inside = false;
    for (size_t i = 0, j = points.size() - 1; i < points.size(); j = i++) {
      auto [xi, yi] = points[i];
      auto [xj, yj] = points[j];
      if ((yi > y) != (yj > y) && x < (xj - xi) * (y - yi) / (yj - yi) + xi) inside = !inside;
    }
    return inside;
  };
}

// The part of a shape inside another.
Shape Clip(Shape shape, Shape clip) {
  return [=](float x, float y) { return clip(x, y) && shape(x, y); };
}

struct Layer {
  Shape shape;
  Color color;
};

// The designs. Each begins with its darker outline shape under the body, so that the
// icon stays readable on light and dark backgrounds.
std::vector<Layer> Design(const std::string& name) {
  const Color outline{0.16f, 0.20f, 0.30f, 1};
  const Color paper{0.98f, 0.98f, 0.96f, 1};
  const Color ink{0.45f, 0.50f, 0.58f, 1};
  const Color red{0.85f, 0.16f, 0.16f, 1};
  const Color blue{0.20f, 0.42f, 0.78f, 1};
  const Color green{0.22f, 0.62f, 0.30f, 1};
  const Color orange{0.95f, 0.58f, 0.12f, 1};
  const auto ecg = std::vector<std::pair<float, float>>{{0.12f, 0.60f}, {0.32f, 0.60f}, {0.38f, 0.52f},
                                                        {0.44f, 0.60f}, {0.50f, 0.60f}, {0.56f, 0.22f},
                                                        {0.62f, 0.78f}, {0.68f, 0.60f}, {0.88f, 0.60f}};
  if (name == "patient")
    return {{RoundRect(0.04f, 0.04f, 0.96f, 0.96f, 0.16f), outline},
            {RoundRect(0.10f, 0.10f, 0.90f, 0.90f, 0.12f), {0.80f, 0.88f, 0.97f, 1}},
            {Circle(0.50f, 0.38f, 0.17f), blue},
            {Clip(RoundRect(0.20f, 0.60f, 0.80f, 1.10f, 0.22f), RoundRect(0.10f, 0.10f, 0.90f, 0.90f, 0.12f)), blue}};
  if (name == "report")
    return {{Polygon({{0.14f, 0.02f}, {0.64f, 0.02f}, {0.88f, 0.26f}, {0.88f, 0.98f}, {0.14f, 0.98f}}), outline},
            {Polygon({{0.20f, 0.08f}, {0.60f, 0.08f}, {0.82f, 0.30f}, {0.82f, 0.92f}, {0.20f, 0.92f}}), paper},
            {Polygon({{0.60f, 0.08f}, {0.60f, 0.30f}, {0.82f, 0.30f}}), ink},
            {Segment(0.30f, 0.22f, 0.50f, 0.22f, 0.08f), red},
            {Segment(0.30f, 0.42f, 0.72f, 0.42f, 0.07f), ink},
            {Segment(0.30f, 0.58f, 0.72f, 0.58f, 0.07f), ink},
            {Segment(0.30f, 0.74f, 0.60f, 0.74f, 0.07f), ink}};
  if (name == "statistics")
    return {{RoundRect(0.04f, 0.04f, 0.96f, 0.96f, 0.10f), outline},
            {RoundRect(0.10f, 0.10f, 0.90f, 0.90f, 0.06f), paper},
            {RoundRect(0.18f, 0.50f, 0.36f, 0.82f, 0.02f), blue},
            {RoundRect(0.41f, 0.22f, 0.59f, 0.82f, 0.02f), green},
            {RoundRect(0.64f, 0.38f, 0.82f, 0.82f, 0.02f), orange},
            {Segment(0.14f, 0.84f, 0.86f, 0.84f, 0.05f), outline}};
  if (name == "session")
    return {{RoundRect(0.04f, 0.04f, 0.96f, 0.96f, 0.10f), outline},
            {RoundRect(0.10f, 0.10f, 0.90f, 0.90f, 0.06f), {0.90f, 0.92f, 0.95f, 1}},
            {Segment(0.20f, 0.28f, 0.80f, 0.28f, 0.06f), ink},
            {Segment(0.20f, 0.50f, 0.80f, 0.50f, 0.06f), ink},
            {Segment(0.20f, 0.72f, 0.80f, 0.72f, 0.06f), ink},
            {Circle(0.35f, 0.28f, 0.10f), blue},
            {Circle(0.66f, 0.50f, 0.10f), green},
            {Circle(0.46f, 0.72f, 0.10f), orange}};
  if (name == "recorder-events")
    return {{RoundRect(0.10f, 0.02f, 0.90f, 0.98f, 0.14f), outline},
            {RoundRect(0.16f, 0.08f, 0.84f, 0.92f, 0.10f), {0.55f, 0.58f, 0.62f, 1}},
            {RoundRect(0.24f, 0.16f, 0.76f, 0.56f, 0.04f), {0.10f, 0.16f, 0.14f, 1}},
            {Polyline({{0.28f, 0.40f}, {0.42f, 0.40f}, {0.48f, 0.22f}, {0.54f, 0.50f}, {0.58f, 0.40f},
                       {0.72f, 0.40f}},
                      0.05f),
             {0.35f, 0.95f, 0.45f, 1}},
            {Circle(0.50f, 0.76f, 0.11f), red}};
  if (name == "study-events")
    return {{RoundRect(0.04f, 0.10f, 0.96f, 0.90f, 0.10f), outline},
            {RoundRect(0.10f, 0.16f, 0.90f, 0.84f, 0.06f), paper},
            {Segment(0.56f, 0.20f, 0.56f, 0.80f, 0.05f), red},
            {Polyline(ecg, 0.07f), blue},
            {Polygon({{0.56f, 0.20f}, {0.78f, 0.27f}, {0.56f, 0.34f}}), red}};
  if (name == "sample")
    return {{Polygon({{0.50f, 0.02f}, {0.98f, 0.50f}, {0.50f, 0.98f}, {0.02f, 0.50f}}), outline},
            {Polygon({{0.50f, 0.12f}, {0.88f, 0.50f}, {0.50f, 0.88f}, {0.12f, 0.50f}}), {0.55f, 0.30f, 0.75f, 1}},
            {Circle(0.50f, 0.50f, 0.12f), {1.00f, 0.85f, 0.20f, 1}}};
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: vkrt_draw_icon OUT.png SIZE DESIGN\n");
    return 2;
  }
  const int size = std::atoi(argv[2]);
  const std::vector<Layer> layers = Design(argv[3]);
  if (size <= 0 || size > 256 || layers.empty()) {
    std::fprintf(stderr, "vkrt_draw_icon: bad size or unknown design %s\n", argv[3]);
    return 2;
  }
  constexpr int kSub = 4;  // samples per pixel side
  std::vector<unsigned char> rgba(static_cast<size_t>(size) * size * 4);
  for (int py = 0; py < size; ++py)
    for (int px = 0; px < size; ++px) {
      // Straight (not premultiplied) colour, composited layer over layer.
      float r = 0, g = 0, b = 0, a = 0;
      for (const Layer& layer : layers) {
        int hits = 0;
        for (int sy = 0; sy < kSub; ++sy)
          for (int sx = 0; sx < kSub; ++sx) {
            float x = (static_cast<float>(px) + (static_cast<float>(sx) + 0.5f) / kSub) / static_cast<float>(size);
            float y = (static_cast<float>(py) + (static_cast<float>(sy) + 0.5f) / kSub) / static_cast<float>(size);
            hits += layer.shape(x, y) ? 1 : 0;
          }
        float srcA = layer.color.a * static_cast<float>(hits) / (kSub * kSub);
        if (srcA <= 0) continue;
        float outA = srcA + a * (1 - srcA);
        r = (layer.color.r * srcA + r * a * (1 - srcA)) / outA;
        g = (layer.color.g * srcA + g * a * (1 - srcA)) / outA;
        b = (layer.color.b * srcA + b * a * (1 - srcA)) / outA;
        a = outA;
      }
      unsigned char* p = &rgba[(static_cast<size_t>(py) * size + px) * 4];
      p[0] = static_cast<unsigned char>(std::lround(r * 255));
      p[1] = static_cast<unsigned char>(std::lround(g * 255));
      p[2] = static_cast<unsigned char>(std::lround(b * 255));
      p[3] = static_cast<unsigned char>(std::lround(a * 255));
    }
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(size);
  image.height = static_cast<png_uint_32>(size);
  image.format = PNG_FORMAT_RGBA;
  if (!png_image_write_to_file(&image, argv[1], 0, rgba.data(), 0, nullptr)) {
    std::fprintf(stderr, "vkrt_draw_icon: %s\n", image.message);
    return 1;
  }
  return 0;
}
