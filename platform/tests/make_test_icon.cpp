// Writes the small PNG icons the resource tests embed, in patterns whose scaled forms
// the tests can predict:
//   bands: top half opaque red, bottom half green at alpha 128
//   split: left half opaque blue, right half fully transparent
//   green: opaque green
// usage: make_test_icon OUT.png SIZE PATTERN
#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: make_test_icon OUT.png SIZE bands|split|green\n");
    return 2;
  }
  const int size = std::atoi(argv[2]);
  const std::string pattern = argv[3];
  if (size <= 0 || (pattern != "bands" && pattern != "split" && pattern != "green")) {
    std::fprintf(stderr, "make_test_icon: bad size or pattern\n");
    return 2;
  }
  std::vector<unsigned char> rgba(static_cast<size_t>(size) * size * 4);
  for (int y = 0; y < size; ++y)
    for (int x = 0; x < size; ++x) {
      unsigned char* p = &rgba[(static_cast<size_t>(y) * size + x) * 4];
      unsigned char r = 0, g = 0, b = 0, a = 0;
      if (pattern == "bands") {
        if (y < size / 2) r = 255, a = 255;
        else g = 255, a = 128;
      } else if (pattern == "split") {
        if (x < size / 2) b = 255, a = 255;
      } else {
        g = 255, a = 255;
      }
      p[0] = r, p[1] = g, p[2] = b, p[3] = a;
    }
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(size);
  image.height = static_cast<png_uint_32>(size);
  image.format = PNG_FORMAT_RGBA;
  if (!png_image_write_to_file(&image, argv[1], 0, rgba.data(), 0, nullptr)) {
    std::fprintf(stderr, "make_test_icon: %s\n", image.message);
    return 1;
  }
  return 0;
}
