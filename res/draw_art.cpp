// Draws the program's logo (logo.bmp, 160 x 46) and icon (lormix.ico, 32 x 32
// and 16 x 16), all 4 bits per pixel on the standard 16-colour palette.
// Deterministic: the same source always writes the same bytes, so the committed
// pictures can be checked against it.
//
//   draw_art OUTDIR      writes OUTDIR/logo.bmp and OUTDIR/lormix.ico
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The standard 16-colour palette, as RGB.
constexpr uint32_t kPalette[16] = {
    0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
    0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF,
};
enum Colour : uint8_t {
  kBlack = 0, kMaroon, kGreen, kOlive, kNavy, kPurple, kTeal, kSilver,
  kGray, kRed, kLime, kYellow, kBlue, kFuchsia, kAqua, kWhite,
};

struct Picture {
  int width, height;
  std::vector<uint8_t> pixels;  // colour index, top row first
  std::vector<uint8_t> clear;   // 1: transparent (icons only)
  Picture(int w, int h, uint8_t fill) : width(w), height(h), pixels(w * h, fill), clear(w * h, 0) {}
  void Set(int x, int y, uint8_t c) {
    if (x >= 0 && y >= 0 && x < width && y < height) pixels[y * width + x] = c, clear[y * width + x] = 0;
  }
  void Fill(int x0, int y0, int x1, int y1, uint8_t c) {  // inclusive corners
    for (int y = y0; y <= y1; ++y)
      for (int x = x0; x <= x1; ++x) Set(x, y, c);
  }
  void Transparent(int x, int y) {
    if (x >= 0 && y >= 0 && x < width && y < height) clear[y * width + x] = 1, pixels[y * width + x] = kBlack;
  }
};

// A 5 x 7 font for the few characters the logo needs; each row is 5 bits, MSB left.
struct Glyph {
  char c;
  uint8_t rows[7];
};
constexpr Glyph kFont[] = {
    {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}}, {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}}, {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}},
    {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}}, {'X', {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11}},
    {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}}, {'Q', {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}}, {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}}, {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}}, {'D', {0x1E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1E}},
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}}, {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}},
    {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}}, {'W', {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}},
    {' ', {0, 0, 0, 0, 0, 0, 0}},
};

const Glyph* FindGlyph(char c) {
  for (const Glyph& g : kFont)
    if (g.c == c) return &g;
  return nullptr;
}

// Draws text at (x, y) with each font pixel a scale x scale block; a shadow
// colour, when not negative, is drawn one pixel down and right first.
void Text(Picture& p, int x, int y, const char* text, int scale, uint8_t colour, int shadow) {
  for (int pass = shadow < 0 ? 1 : 0; pass < 2; ++pass) {
    const int off = pass == 0 ? 1 : 0;
    const uint8_t c = pass == 0 ? static_cast<uint8_t>(shadow) : colour;
    int cx = x;
    for (const char* s = text; *s; ++s) {
      const Glyph* g = FindGlyph(*s);
      if (g != nullptr)
        for (int row = 0; row < 7; ++row)
          for (int col = 0; col < 5; ++col)
            if (g->rows[row] & (0x10 >> col))
              p.Fill(cx + col * scale + off, y + row * scale + off, cx + col * scale + scale - 1 + off,
                     y + row * scale + scale - 1 + off, c);
      cx += 6 * scale;
    }
  }
}

int TextWidth(const char* text, int scale) { return static_cast<int>(std::strlen(text)) * 6 * scale - scale; }

Picture DrawLogo() {
  Picture p(160, 46, kWhite);
  // A navy plate with rounded corners and a silver rim.
  p.Fill(0, 0, 159, 45, kNavy);
  for (int i = 0; i < 2; ++i) {
    p.Set(i, 0, kWhite), p.Set(0, i, kWhite), p.Set(159 - i, 0, kWhite), p.Set(159, i, kWhite);
    p.Set(i, 45, kWhite), p.Set(0, 45 - i, kWhite), p.Set(159 - i, 45, kWhite), p.Set(159, 45 - i, kWhite);
  }
  for (int x = 2; x <= 157; ++x) p.Set(x, 1, kSilver), p.Set(x, 44, kGray);
  for (int y = 2; y <= 43; ++y) p.Set(1, y, kSilver), p.Set(158, y, kGray);

  // A signal trace across the plate: the serial line.
  for (int x = 4; x <= 155; ++x) {
    const int phase = (x / 6) % 4;
    const int y = phase == 0 || phase == 1 ? 39 : 41;
    p.Set(x, y, kTeal);
    if (x % 6 == 0) p.Fill(x, 39, x, 41, kTeal);
  }

  const char* name = "LORMIX";
  const int nameX = (160 - TextWidth(name, 3)) / 2;
  Text(p, nameX, 5, name, 3, kYellow, kBlack);

  const char* line = "TQ410 FIRMWARE UPDATE";
  const int lineX = (160 - TextWidth(line, 1)) / 2;
  Text(p, lineX, 29, line, 1, kAqua, -1);
  return p;
}

// The icon: a device (a dark box with pins) with an update arrow over it.
Picture DrawIcon(int size) {
  Picture p(size, size, kBlack);
  for (int y = 0; y < size; ++y)
    for (int x = 0; x < size; ++x) p.Transparent(x, y);
  const int s = size / 16;  // 2 for 32 x 32, 1 for 16 x 16
  // Body.
  p.Fill(3 * s, 7 * s, 13 * s - 1, 15 * s - 1, kNavy);
  p.Fill(3 * s, 7 * s, 13 * s - 1, 7 * s + s - 1, kBlue);
  // Pins on both sides.
  for (int k = 0; k < 3; ++k) {
    const int y = (9 + 2 * k) * s;
    p.Fill(1 * s, y, 3 * s - 1, y + s - 1, kSilver);
    p.Fill(13 * s, y, 15 * s - 1, y + s - 1, kSilver);
  }
  // A status lamp.
  p.Fill(10 * s, 12 * s, 11 * s - 1, 13 * s - 1, kLime);
  // Down arrow: shaft and head.
  p.Fill(7 * s, 0, 9 * s - 1, 4 * s - 1, kYellow);
  for (int row = 0; row < 4 * s; ++row) {
    const int half = 4 * s - row;
    p.Fill(8 * s - half, 4 * s + row, 8 * s + half - 1, 4 * s + row, kYellow);
  }
  return p;
}

void Put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

// BITMAPINFOHEADER, palette and pixel rows (bottom-up, rows padded to 4 bytes);
// for icons the height is doubled and the AND mask follows.
std::vector<uint8_t> Dib(const Picture& p, bool withMask) {
  std::vector<uint8_t> out;
  const int rowBytes = ((p.width * 4 + 31) / 32) * 4;
  const int maskBytes = ((p.width + 31) / 32) * 4;
  const uint32_t imageSize = rowBytes * p.height + (withMask ? maskBytes * p.height : 0);
  Put32(out, 40);
  Put32(out, p.width);
  Put32(out, withMask ? p.height * 2 : p.height);
  Put16(out, 1);
  Put16(out, 4);
  Put32(out, 0);  // BI_RGB
  Put32(out, imageSize);
  Put32(out, withMask ? 0 : 2835);  // 72 dpi for the logo
  Put32(out, withMask ? 0 : 2835);
  Put32(out, 16);
  Put32(out, 16);
  for (uint32_t rgb : kPalette) {
    out.push_back(static_cast<uint8_t>(rgb));
    out.push_back(static_cast<uint8_t>(rgb >> 8));
    out.push_back(static_cast<uint8_t>(rgb >> 16));
    out.push_back(0);
  }
  for (int y = p.height - 1; y >= 0; --y) {
    std::vector<uint8_t> row(rowBytes, 0);
    for (int x = 0; x < p.width; ++x)
      row[x / 2] |= static_cast<uint8_t>(p.pixels[y * p.width + x] << (x % 2 == 0 ? 4 : 0));
    out.insert(out.end(), row.begin(), row.end());
  }
  if (withMask) {
    for (int y = p.height - 1; y >= 0; --y) {
      std::vector<uint8_t> row(maskBytes, 0);
      for (int x = 0; x < p.width; ++x)
        if (p.clear[y * p.width + x]) row[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
      out.insert(out.end(), row.begin(), row.end());
    }
  }
  return out;
}

std::vector<uint8_t> BmpFile(const Picture& p) {
  std::vector<uint8_t> dib = Dib(p, false);
  std::vector<uint8_t> out = {'B', 'M'};
  Put32(out, static_cast<uint32_t>(14 + dib.size()));
  Put32(out, 0);
  Put32(out, 14 + 40 + 16 * 4);
  out.insert(out.end(), dib.begin(), dib.end());
  return out;
}

std::vector<uint8_t> IcoFile(const std::vector<Picture>& images) {
  std::vector<std::vector<uint8_t>> dibs;
  for (const Picture& p : images) dibs.push_back(Dib(p, true));
  std::vector<uint8_t> out;
  Put16(out, 0);
  Put16(out, 1);  // icon
  Put16(out, static_cast<uint32_t>(images.size()));
  uint32_t offset = static_cast<uint32_t>(6 + 16 * images.size());
  for (size_t i = 0; i < images.size(); ++i) {
    out.push_back(static_cast<uint8_t>(images[i].width));
    out.push_back(static_cast<uint8_t>(images[i].height));
    out.push_back(16);  // colours
    out.push_back(0);
    Put16(out, 1);  // planes
    Put16(out, 4);  // bits per pixel
    Put32(out, static_cast<uint32_t>(dibs[i].size()));
    Put32(out, offset);
    offset += static_cast<uint32_t>(dibs[i].size());
  }
  for (const auto& d : dibs) out.insert(out.end(), d.begin(), d.end());
  return out;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  if (!WriteFile(dir + "/logo.bmp", BmpFile(DrawLogo())) ||
      !WriteFile(dir + "/lormix.ico", IcoFile({DrawIcon(32), DrawIcon(16)}))) {
    std::fprintf(stderr, "cannot write into %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
