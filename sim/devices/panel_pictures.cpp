// The key pictures of the simulated front panel: one 24-bit BMP per front
// key and panel width, drawn here from simple shapes (arrows, the power
// sign, menu bars, a cross, a tick) with the key's name in block letters.
#include "devices/panel.h"

#include <cmath>
#include <cstring>
#include <map>

namespace boxsim {

namespace {

constexpr uint32_t kBackground = 0xFF102848;
constexpr uint32_t kBorder = 0xFF8090A0;
constexpr uint32_t kSymbol = 0xFFFFD020;
constexpr uint32_t kLabel = 0xFFFFFFFF;

class Canvas {
public:
    Canvas(int w, int h, uint32_t colour)
    {
        img_.width = w;
        img_.height = h;
        img_.argb.assign(static_cast<size_t>(w) * static_cast<size_t>(h), colour);
    }

    void put(int x, int y, uint32_t c)
    {
        if (x >= 0 && y >= 0 && x < img_.width && y < img_.height)
            img_.argb[static_cast<size_t>(y) * static_cast<size_t>(img_.width) + static_cast<size_t>(x)] = c;
    }

    void rect(int x, int y, int w, int h, uint32_t c)
    {
        for (int j = y; j < y + h; ++j)
            for (int i = x; i < x + w; ++i)
                put(i, j, c);
    }

    // Every pixel whose centre `inside` accepts.
    template <class F> void shape(uint32_t c, F inside)
    {
        for (int y = 0; y < img_.height; ++y)
            for (int x = 0; x < img_.width; ++x)
                if (inside(x + 0.5, y + 0.5))
                    put(x, y, c);
    }

    void triangle(double ax, double ay, double bx, double by, double cx, double cy, uint32_t c)
    {
        shape(c, [&](double x, double y) {
            double d1 = (x - bx) * (ay - by) - (ax - bx) * (y - by);
            double d2 = (x - cx) * (by - cy) - (bx - cx) * (y - cy);
            double d3 = (x - ax) * (cy - ay) - (cx - ax) * (y - ay);
            bool neg = d1 < 0 || d2 < 0 || d3 < 0;
            bool pos = d1 > 0 || d2 > 0 || d3 > 0;
            return !(neg && pos);
        });
    }

    // A stroke of half-width t from (ax, ay) to (bx, by).
    void line(double ax, double ay, double bx, double by, double t, uint32_t c)
    {
        shape(c, [&](double x, double y) {
            double dx = bx - ax, dy = by - ay;
            double len2 = dx * dx + dy * dy;
            double u = len2 > 0 ? ((x - ax) * dx + (y - ay) * dy) / len2 : 0;
            u = u < 0 ? 0 : u > 1 ? 1 : u;
            double px = ax + u * dx - x, py = ay + u * dy - y;
            return px * px + py * py <= t * t;
        });
    }

    Image take() { return std::move(img_); }

private:
    Image img_;
};

// Block letters, 5 columns by 7 rows, for the key names.
const std::map<char, std::array<const char *, 7>> &letters()
{
    static const std::map<char, std::array<const char *, 7>> glyphs = {
        {'D', {"11110", "10001", "10001", "10001", "10001", "10001", "11110"}},
        {'E', {"11111", "10000", "10000", "11110", "10000", "10000", "11111"}},
        {'F', {"11111", "10000", "10000", "11110", "10000", "10000", "10000"}},
        {'G', {"01110", "10001", "10000", "10111", "10001", "10001", "01111"}},
        {'H', {"10001", "10001", "10001", "11111", "10001", "10001", "10001"}},
        {'I', {"01110", "00100", "00100", "00100", "00100", "00100", "01110"}},
        {'K', {"10001", "10010", "10100", "11000", "10100", "10010", "10001"}},
        {'L', {"10000", "10000", "10000", "10000", "10000", "10000", "11111"}},
        {'M', {"10001", "11011", "10101", "10101", "10001", "10001", "10001"}},
        {'N', {"10001", "11001", "10101", "10011", "10001", "10001", "10001"}},
        {'O', {"01110", "10001", "10001", "10001", "10001", "10001", "01110"}},
        {'P', {"11110", "10001", "10001", "11110", "10000", "10000", "10000"}},
        {'R', {"11110", "10001", "10001", "11110", "10100", "10010", "10001"}},
        {'T', {"11111", "00100", "00100", "00100", "00100", "00100", "00100"}},
        {'U', {"10001", "10001", "10001", "10001", "10001", "10001", "01110"}},
        {'W', {"10001", "10001", "10001", "10101", "10101", "10101", "01010"}},
        {'X', {"10001", "10001", "01010", "00100", "01010", "10001", "10001"}},
    };
    return glyphs;
}

// The name centred on the line whose top is y, each glyph cell s pixels.
void label(Canvas &cv, int width, int y, int s, const std::string &text)
{
    int advance = 6 * s;
    int total = static_cast<int>(text.size()) * advance - s;
    int x = (width - total) / 2;
    for (char ch : text) {
        auto it = letters().find(ch);
        if (it != letters().end())
            for (int r = 0; r < 7; ++r)
                for (int c = 0; c < 5; ++c)
                    if (it->second[static_cast<size_t>(r)][c] == '1')
                        cv.rect(x + c * s, y + r * s, s, s, kLabel);
        x += advance;
    }
}

// An arrow pointing along (dx, dy), centred at (cx, cy), reaching r out.
void arrow(Canvas &cv, double cx, double cy, double r, double dx, double dy)
{
    // Perpendicular of the direction.
    double px = -dy, py = dx;
    double tipx = cx + dx * r, tipy = cy + dy * r;
    double basex = cx, basey = cy;
    cv.triangle(tipx, tipy, basex + px * r, basey + py * r, basex - px * r, basey - py * r, kSymbol);
    cv.line(cx - dx * r, cy - dy * r, cx, cy, r / 3, kSymbol);
}

std::string name_of(const std::string &key)
{
    static const std::map<std::string, std::string> names = {
        {"up", "UP"},     {"left", "LEFT"}, {"right", "RIGHT"}, {"down", "DOWN"},
        {"splash", "POWER"}, {"menu", "MENU"}, {"exit", "EXIT"},  {"enter", "OK"},
    };
    auto it = names.find(key);
    return it == names.end() ? std::string() : it->second;
}

void put16(std::string &s, size_t at, uint32_t v)
{
    s[at] = static_cast<char>(v & 0xFF);
    s[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}

void put32(std::string &s, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        s[at + static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

} // namespace

const std::vector<std::string> &key_picture_names()
{
    static const std::vector<std::string> names = {"up", "left", "right", "down", "splash", "menu", "exit", "enter"};
    return names;
}

Image key_picture(const std::string &key, int width, int height)
{
    Canvas cv(width, height, kBackground);
    int edge = height / 60 + 1;
    cv.rect(0, 0, width, edge, kBorder);
    cv.rect(0, height - edge, width, edge, kBorder);
    cv.rect(0, 0, edge, height, kBorder);
    cv.rect(width - edge, 0, edge, height, kBorder);

    double cx = width / 2.0;
    double cy = height * 0.37;
    double r = height * 0.22;
    if (key == "up")
        arrow(cv, cx, cy, r, 0, -1);
    else if (key == "down")
        arrow(cv, cx, cy, r, 0, 1);
    else if (key == "left")
        arrow(cv, cx, cy, r, -1, 0);
    else if (key == "right")
        arrow(cv, cx, cy, r, 1, 0);
    else if (key == "splash") {
        // The power sign: a ring open at the top and a bar through the gap.
        double t = r * 0.13;
        cv.shape(kSymbol, [&](double x, double y) {
            double dx = x - cx, dy = y - cy;
            double d = std::sqrt(dx * dx + dy * dy);
            bool gap = dy < 0 && std::fabs(dx) < r * 0.45;
            return d <= r * 0.9 && d >= r * 0.9 - 2 * t && !gap;
        });
        cv.line(cx, cy - r, cx, cy - r * 0.15, t, kSymbol);
    } else if (key == "menu") {
        int bar_w = static_cast<int>(r * 2);
        int bar_h = static_cast<int>(r / 4) + 1;
        for (int i = -1; i <= 1; ++i)
            cv.rect(static_cast<int>(cx - r), static_cast<int>(cy + i * r * 0.6 - bar_h / 2.0), bar_w, bar_h, kSymbol);
    } else if (key == "exit") {
        cv.line(cx - r * 0.75, cy - r * 0.75, cx + r * 0.75, cy + r * 0.75, r * 0.14, kSymbol);
        cv.line(cx - r * 0.75, cy + r * 0.75, cx + r * 0.75, cy - r * 0.75, r * 0.14, kSymbol);
    } else if (key == "enter") {
        cv.line(cx - r * 0.8, cy, cx - r * 0.2, cy + r * 0.6, r * 0.15, kSymbol);
        cv.line(cx - r * 0.2, cy + r * 0.6, cx + r * 0.9, cy - r * 0.6, r * 0.15, kSymbol);
    }

    int s = height / 40 > 1 ? height / 40 : 1;
    label(cv, width, static_cast<int>(height * 0.74), s, name_of(key));
    return cv.take();
}

std::string encode_bmp24(const Image &img)
{
    uint32_t w = static_cast<uint32_t>(img.width > 0 ? img.width : 0);
    uint32_t h = static_cast<uint32_t>(img.height > 0 ? img.height : 0);
    size_t stride = (static_cast<size_t>(w) * 3 + 3) & ~static_cast<size_t>(3);
    size_t data_len = stride * h;
    std::string out(54 + data_len, '\0');
    out[0] = 'B';
    out[1] = 'M';
    put32(out, 2, static_cast<uint32_t>(out.size()));
    put32(out, 10, 54);
    put32(out, 14, 40);
    put32(out, 18, w);
    put32(out, 22, h);
    put16(out, 26, 1);
    put16(out, 28, 24);
    put32(out, 34, static_cast<uint32_t>(data_len));
    put32(out, 38, 2835);  // 72 dots per inch
    put32(out, 42, 2835);
    // Rows bottom-up, pixels blue, green, red, each row padded to 4 bytes.
    for (uint32_t y = 0; y < h; ++y) {
        size_t row = 54 + static_cast<size_t>(h - 1 - y) * stride;
        for (uint32_t x = 0; x < w; ++x) {
            uint32_t c = img.at(static_cast<int>(x), static_cast<int>(y));
            out[row + x * 3] = static_cast<char>(c & 0xFF);
            out[row + x * 3 + 1] = static_cast<char>((c >> 8) & 0xFF);
            out[row + x * 3 + 2] = static_cast<char>((c >> 16) & 0xFF);
        }
    }
    return out;
}

} // namespace boxsim
