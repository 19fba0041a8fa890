// Icons from module resources: choosing the embedded PNG for a requested size, decoding
// it with libpng, scaling, and the table of live icon handles.
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "nxpal/resource.h"
#include "res/resource_table.h"

namespace {

// One decoded icon: premultiplied 0xAARRGGBB pixels, rows top to bottom.
struct Icon {
  int width = 0;
  int height = 0;
  std::vector<DWORD> pixels;
  HMODULE sharedModule = nullptr;  // set for LR_SHARED icons: they live as long as it
};

using SharedKey = std::tuple<HMODULE, UINT, int, int>;  // module, id, width, height

// Live icons by handle value. Handle values count up from a base and are never reused,
// so a destroyed or invented handle is simply not found; icon memory is reached only
// through this table. Never destroyed (modules unload after this library's statics).
struct IconTable {
  std::mutex mutex;  // guards everything below; taken after ModulesLock() when both are
  std::map<uintptr_t, std::unique_ptr<Icon>> icons;
  std::map<SharedKey, uintptr_t> shared;
  uintptr_t next = 0x10000;
};

IconTable& Icons() {
  static auto* const table = new IconTable;
  return *table;
}

constexpr uintptr_t kHandleStep = 4;

HICON AddIcon(std::unique_ptr<Icon> icon) {
  IconTable& t = Icons();
  std::lock_guard lock(t.mutex);
  uintptr_t handle = t.next;
  t.next += kHandleStep;
  t.icons.emplace(handle, std::move(icon));
  return reinterpret_cast<HICON>(handle);
}

// ---- decoding and scaling -----------------------------------------------------------
DWORD DecodePng(const NxIconImageResource& img, Icon* out) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, img.png, img.size)) {
    png_image_free(&image);
    return ERROR_INVALID_DATA;
  }
  // 8-bit formats of the simplified API are sRGB with straight alpha; BGRA bytes read
  // as a little-endian DWORD are 0xAARRGGBB.
  image.format = PNG_FORMAT_BGRA;
  if (image.width != img.width || image.height != img.height) {
    png_image_free(&image);
    return ERROR_INVALID_DATA;
  }
  std::vector<DWORD> pixels(static_cast<size_t>(image.width) * image.height);
  if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
    png_image_free(&image);
    return ERROR_INVALID_DATA;
  }
  for (DWORD& p : pixels) {
    DWORD a = p >> 24;
    auto mul = [a](DWORD c) { return (c * a + 127) / 255; };
    p = (a << 24) | (mul((p >> 16) & 0xFF) << 16) | (mul((p >> 8) & 0xFF) << 8) | mul(p & 0xFF);
  }
  out->width = static_cast<int>(image.width);
  out->height = static_cast<int>(image.height);
  out->pixels = std::move(pixels);
  return ERROR_SUCCESS;
}

// Source pixels and weights that make one destination pixel along one axis.
struct Tap {
  int index;
  float weight;
};

// Shrinking averages the source pixels each destination pixel covers (by covered
// length); enlarging interpolates linearly between the two nearest pixel centres.
std::vector<std::vector<Tap>> AxisTaps(int src, int dst) {
  std::vector<std::vector<Tap>> taps(static_cast<size_t>(dst));
  const double scale = static_cast<double>(src) / dst;
  for (int d = 0; d < dst; ++d) {
    auto& list = taps[static_cast<size_t>(d)];
    if (dst <= src) {
      const double lo = d * scale, hi = (d + 1) * scale;
      for (int s = static_cast<int>(std::floor(lo)); s < src && s < hi; ++s) {
        double covered = std::min<double>(hi, s + 1) - std::max<double>(lo, s);
        if (covered > 1e-9) list.push_back({s, static_cast<float>(covered / scale)});
      }
    } else {
      double x = (d + 0.5) * scale - 0.5;
      int s0 = static_cast<int>(std::floor(x));
      float t = static_cast<float>(x - s0);
      int a = std::clamp(s0, 0, src - 1), b = std::clamp(s0 + 1, 0, src - 1);
      list.push_back({a, 1.0f - t});
      list.push_back({b, t});
    }
  }
  return taps;
}

// Resamples premultiplied pixels; separable, horizontal pass first.
Icon Scale(const Icon& src, int width, int height) {
  auto xTaps = AxisTaps(src.width, width);
  auto yTaps = AxisTaps(src.height, height);
  // Channels in the order B, G, R, A, as floats.
  std::vector<float> rows(static_cast<size_t>(src.height) * width * 4, 0.0f);
  for (int y = 0; y < src.height; ++y)
    for (int x = 0; x < width; ++x) {
      float* out = &rows[(static_cast<size_t>(y) * width + x) * 4];
      for (const Tap& tap : xTaps[static_cast<size_t>(x)]) {
        DWORD p = src.pixels[static_cast<size_t>(y) * src.width + tap.index];
        for (int c = 0; c < 4; ++c) out[c] += tap.weight * static_cast<float>((p >> (8 * c)) & 0xFF);
      }
    }
  Icon dst;
  dst.width = width;
  dst.height = height;
  dst.pixels.resize(static_cast<size_t>(width) * height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      float acc[4] = {0, 0, 0, 0};
      for (const Tap& tap : yTaps[static_cast<size_t>(y)]) {
        const float* in = &rows[(static_cast<size_t>(tap.index) * width + x) * 4];
        for (int c = 0; c < 4; ++c) acc[c] += tap.weight * in[c];
      }
      DWORD v[4];
      for (int c = 0; c < 4; ++c) v[c] = static_cast<DWORD>(std::clamp(std::lround(acc[c]), 0L, 255L));
      // Rounding must not leave a colour above its alpha.
      for (int c = 0; c < 3; ++c) v[c] = std::min(v[c], v[3]);
      dst.pixels[static_cast<size_t>(y) * width + x] = v[0] | (v[1] << 8) | (v[2] << 16) | (v[3] << 24);
    }
  return dst;
}

// ---- choosing the image -------------------------------------------------------------
// Exact size first; else the smallest image at least as large in both directions;
// else the largest.
const NxIconImageResource* ChooseImage(const NxIconImageResource* first, const NxIconImageResource* last,
                                       int width, int height) {
  const NxIconImageResource* larger = nullptr;
  const NxIconImageResource* largest = nullptr;
  auto area = [](const NxIconImageResource* i) { return static_cast<uint64_t>(i->width) * i->height; };
  for (const NxIconImageResource* i = first; i != last; ++i) {
    if (static_cast<int>(i->width) == width && static_cast<int>(i->height) == height) return i;
    if (static_cast<int>(i->width) >= width && static_cast<int>(i->height) >= height &&
        (!larger || area(i) < area(larger)))
      larger = i;
    if (!largest || area(i) > area(largest)) largest = i;
  }
  return larger ? larger : largest;
}

// Parses the name of an icon: an integer resource or "#123".
bool IconId(LPCWSTR name, UINT* id) {
  if (!name) return false;
  if (IS_INTRESOURCE(name)) {
    *id = static_cast<UINT>(reinterpret_cast<ULONG_PTR>(name) & 0xFFFF);
    return true;
  }
  if (name[0] != u'#' || !name[1]) return false;
  UINT v = 0;
  for (LPCWSTR p = name + 1; *p; ++p) {
    if (*p < u'0' || *p > u'9') return false;
    v = v * 10 + static_cast<UINT>(*p - u'0');
    if (v > 0xFFFF) return false;
  }
  *id = v;
  return true;
}

DWORD LoadIconImage(HINSTANCE hInst, LPCWSTR name, int cx, int cy, UINT flags, HICON* out) {
  UINT id = 0;
  if (!IconId(name, &id)) return ERROR_RESOURCE_NAME_NOT_FOUND;  // named icons do not exist here
  const bool defaultSize = (flags & LR_DEFAULTSIZE) != 0;
  // The size the choice aims at, and the size asked for (0: the image's own).
  const int wantW = cx ? cx : (defaultSize ? NX_DEFAULT_ICON_SIZE : 0);
  const int wantH = cy ? cy : (defaultSize ? NX_DEFAULT_ICON_SIZE : 0);
  const int aimW = wantW ? wantW : (wantH ? wantH : NX_DEFAULT_ICON_SIZE);
  const int aimH = wantH ? wantH : aimW;

  std::shared_lock modules(nxpal::ModulesLock());
  const NxModuleResources* r = nxpal::FindModuleLocked(hInst);
  if (!r) return ERROR_RESOURCE_DATA_NOT_FOUND;
  if (r->imageCount == 0) return ERROR_RESOURCE_TYPE_NOT_FOUND;
  const NxIconImageResource* end = r->images + r->imageCount;
  auto [first, last] = std::equal_range(r->images, end, NxIconImageResource{id, 0, 0, 0, nullptr},
                                        [](const NxIconImageResource& a, const NxIconImageResource& b) {
                                          return a.id < b.id;
                                        });
  if (first == last) return ERROR_RESOURCE_NAME_NOT_FOUND;
  const NxIconImageResource* img = ChooseImage(first, last, aimW, aimH);
  const int width = wantW ? wantW : static_cast<int>(img->width);
  const int height = wantH ? wantH : static_cast<int>(img->height);

  IconTable& t = Icons();
  const SharedKey key{hInst, id, width, height};
  if (flags & LR_SHARED) {
    std::lock_guard lock(t.mutex);
    auto it = t.shared.find(key);
    if (it != t.shared.end()) {
      *out = reinterpret_cast<HICON>(it->second);
      return ERROR_SUCCESS;
    }
  }

  auto icon = std::make_unique<Icon>();
  DWORD err = DecodePng(*img, icon.get());
  if (err != ERROR_SUCCESS) return err;
  if (icon->width != width || icon->height != height) *icon = Scale(*icon, width, height);
  if (!(flags & LR_SHARED)) {
    *out = AddIcon(std::move(icon));
    return ERROR_SUCCESS;
  }
  // Still under the modules lock, so the module cannot unregister before its shared
  // icon is recorded (it would outlive the module otherwise).
  icon->sharedModule = hInst;
  std::lock_guard lock(t.mutex);
  auto it = t.shared.find(key);  // another thread may have been faster
  if (it != t.shared.end()) {
    *out = reinterpret_cast<HICON>(it->second);
    return ERROR_SUCCESS;
  }
  uintptr_t handle = t.next;
  t.next += kHandleStep;
  t.icons.emplace(handle, std::move(icon));
  t.shared.emplace(key, handle);
  *out = reinterpret_cast<HICON>(handle);
  return ERROR_SUCCESS;
}

DWORD Destroy(HICON hIcon) {
  IconTable& t = Icons();
  std::lock_guard lock(t.mutex);
  auto it = t.icons.find(reinterpret_cast<uintptr_t>(hIcon));
  if (it == t.icons.end()) return ERROR_INVALID_ICON_HANDLE;
  if (it->second->sharedModule) return ERROR_SUCCESS;  // shared icons belong to their module
  t.icons.erase(it);
  return ERROR_SUCCESS;
}

DWORD Pixels(HICON hIcon, int* width, int* height, DWORD* pixels, DWORD pixelCount) {
  IconTable& t = Icons();
  std::lock_guard lock(t.mutex);
  auto it = t.icons.find(reinterpret_cast<uintptr_t>(hIcon));
  if (it == t.icons.end()) return ERROR_INVALID_ICON_HANDLE;
  const Icon& icon = *it->second;
  *width = icon.width;
  *height = icon.height;
  if (!pixels) return ERROR_SUCCESS;
  if (pixelCount < icon.pixels.size()) return ERROR_INSUFFICIENT_BUFFER;
  std::memcpy(pixels, icon.pixels.data(), icon.pixels.size() * sizeof(DWORD));
  return ERROR_SUCCESS;
}

}  // namespace

namespace nxpal {

void DropSharedIconsLocked(HMODULE module) {
  IconTable& t = Icons();
  std::lock_guard lock(t.mutex);
  for (auto it = t.shared.begin(); it != t.shared.end();) {
    if (std::get<0>(it->first) == module) {
      t.icons.erase(it->second);
      it = t.shared.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace nxpal

HANDLE LoadImageW(HINSTANCE hInst, LPCWSTR name, UINT type, int cx, int cy, UINT fuLoad) {
  if (type > IMAGE_CURSOR || cx < 0 || cy < 0 || cx > NX_MAX_ICON_SIZE || cy > NX_MAX_ICON_SIZE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (fuLoad & LR_LOADFROMFILE) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  if (type != IMAGE_ICON) {  // modules carry no bitmaps or cursors
    SetLastError(hInst ? ERROR_RESOURCE_TYPE_NOT_FOUND : ERROR_RESOURCE_DATA_NOT_FOUND);
    return nullptr;
  }
  HICON icon = nullptr;
  DWORD err = LoadIconImage(hInst, name, cx, cy, fuLoad, &icon);
  if (err != ERROR_SUCCESS) {
    SetLastError(err);
    return nullptr;
  }
  return icon;
}

HICON LoadIconW(HINSTANCE hInstance, LPCWSTR lpIconName) {
  return static_cast<HICON>(LoadImageW(hInstance, lpIconName, IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
}

BOOL DestroyIcon(HICON hIcon) {
  DWORD err = Destroy(hIcon);
  if (err != ERROR_SUCCESS) {
    SetLastError(err);
    return FALSE;
  }
  return TRUE;
}

BOOL NxGetIconPixels(HICON hIcon, int* width, int* height, DWORD* pixels, DWORD pixelCount) {
  if (!width || !height) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD err = Pixels(hIcon, width, height, pixels, pixelCount);
  if (err != ERROR_SUCCESS) {
    SetLastError(err);
    return FALSE;
  }
  return TRUE;
}
