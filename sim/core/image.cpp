#include "core/image.h"

#include <cstdio>
#include <map>

#if BOXSIM_HAVE_PNG
#include <png.h>
#endif

namespace boxsim {

namespace {

std::map<std::string, PictureSource> &sources()
{
    static std::map<std::string, PictureSource> map;
    return map;
}

#if BOXSIM_HAVE_PNG
bool encode(const Image &img, bool opaque, png_rw_ptr writer, void *io)
{
    if (img.width <= 0 || img.height <= 0 || img.argb.size() < static_cast<size_t>(img.width) * img.height)
        return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png)
        return false;
    png_infop info = png_create_info_struct(png);
    std::vector<unsigned char> row(static_cast<size_t>(img.width) * 4);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, info ? &info : nullptr);
        return false;
    }
    png_set_write_fn(png, io, writer, nullptr);
    png_set_IHDR(png, info, static_cast<png_uint_32>(img.width), static_cast<png_uint_32>(img.height), 8,
                 opaque ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, 3);
    png_write_info(png, info);
    for (int y = 0; y < img.height; ++y) {
        unsigned char *p = row.data();
        for (int x = 0; x < img.width; ++x) {
            uint32_t c = img.at(x, y);
            *p++ = static_cast<unsigned char>(c >> 16);
            *p++ = static_cast<unsigned char>(c >> 8);
            *p++ = static_cast<unsigned char>(c);
            if (!opaque)
                *p++ = static_cast<unsigned char>(c >> 24);
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

void write_to_file(png_structp png, png_bytep data, png_size_t len)
{
    FILE *f = static_cast<FILE *>(png_get_io_ptr(png));
    if (fwrite(data, 1, len, f) != len)
        png_error(png, "write failed");
}

void write_to_vector(png_structp png, png_bytep data, png_size_t len)
{
    auto *v = static_cast<std::vector<unsigned char> *>(png_get_io_ptr(png));
    v->insert(v->end(), data, data + len);
}
#endif

} // namespace

bool write_png(const Image &img, const std::string &path, bool opaque)
{
#if BOXSIM_HAVE_PNG
    // Written beside the target and renamed, so nothing half-written is left.
    std::string tmp = path + ".part";
    FILE *f = fopen(tmp.c_str(), "wb");
    if (!f)
        return false;
    bool ok = encode(img, opaque, write_to_file, f);
    ok = (fclose(f) == 0) && ok;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        remove(tmp.c_str());
        return false;
    }
    return true;
#else
    (void)img;
    (void)path;
    (void)opaque;
    return false;
#endif
}

bool encode_png(const Image &img, std::vector<unsigned char> &out, bool opaque)
{
    out.clear();
#if BOXSIM_HAVE_PNG
    return encode(img, opaque, write_to_vector, &out);
#else
    (void)img;
    (void)opaque;
    return false;
#endif
}

void register_picture(const std::string &name, PictureSource source) { sources()[name] = std::move(source); }

std::optional<Image> picture(Box &box, const std::string &name)
{
    auto it = sources().find(name);
    if (it == sources().end())
        return std::nullopt;
    return it->second(box);
}

std::vector<std::string> picture_names()
{
    std::vector<std::string> names;
    for (auto &kv : sources())
        names.push_back(kv.first);
    return names;
}

} // namespace boxsim
