// Inputs for the tests of the two programs that render TIFF directories
// through libtiff's RGBA interface: pages of several colour models and
// layouts together with the RGBA pixels they render to, hand-made files
// with any field values, and damaged copies of files.
#ifndef TESTS_RENDERING_INPUTS_H
#define TESTS_RENDERING_INPUTS_H

#include <memory>
#include <vector>

#include "harness.h"

// One directory to write, and the top-down pixels it renders to: four
// bytes a pixel, red, green, blue, alpha.
struct rendered_page {
    tiff_spec spec;
    bytes pixels;
    bytes rgba;
};

inline void add_pixel(bytes& rgba, uint8_t r, uint8_t g, uint8_t b, uint8_t a = 255)
{
    rgba.insert(rgba.end(), {r, g, b, a});
}

// 8-bit grey, black at 0: every level renders as that grey.
inline rendered_page grey_page(uint32_t width, uint32_t height, uint32_t seed = 1)
{
    rendered_page p;
    p.spec.width = width;
    p.spec.height = height;
    p.pixels = pattern_bytes((size_t)width * height, seed);
    for (uint8_t v : p.pixels)
        add_pixel(p.rgba, v, v, v);
    return p;
}

// 1-bit, white at 0: a set bit renders black, a clear one white.
inline rendered_page bilevel_page(uint32_t width, uint32_t height, uint32_t seed = 1)
{
    rendered_page p;
    p.spec.width = width;
    p.spec.height = height;
    p.spec.bits_per_sample = 1;
    p.spec.photometric = PHOTOMETRIC_MINISWHITE;
    size_t row_bytes = (width + 7) / 8;
    p.pixels = pattern_bytes(row_bytes * height, seed * 31);
    for (uint32_t y = 0; y < height; y++)
        for (uint32_t x = 0; x < width; x++) {
            bool set = (p.pixels[y * row_bytes + x / 8] >> (7 - x % 8)) & 1;
            uint8_t v = set ? 0 : 255;
            add_pixel(p.rgba, v, v, v);
        }
    return p;
}

// 8-bit palette with a 16-bit colour map: index i is red i, green 255 - i,
// blue 37 i modulo 256.
inline rendered_page palette_page(uint32_t width, uint32_t height, uint32_t seed = 1)
{
    rendered_page p = grey_page(width, height, seed);
    auto map = std::make_shared<std::vector<uint16_t>>(3 * 256);
    for (int i = 0; i < 256; i++) {
        (*map)[i] = (uint16_t)(i * 257);
        (*map)[256 + i] = (uint16_t)((255 - i) * 257);
        (*map)[512 + i] = (uint16_t)((i * 37 & 255) * 257);
    }
    p.spec.photometric = PHOTOMETRIC_PALETTE;
    p.spec.extra = [map](TIFF* t) {
        TIFFSetField(t, TIFFTAG_COLORMAP, map->data(), map->data() + 256, map->data() + 512);
    };
    p.rgba.clear();
    for (uint8_t i : p.pixels)
        add_pixel(p.rgba, i, (uint8_t)(255 - i), (uint8_t)(i * 37));
    return p;
}

// 8-bit RGB, contiguous or in separate planes.
inline rendered_page rgb_page(uint32_t width, uint32_t height, uint32_t seed = 1,
                              uint16_t planar = PLANARCONFIG_CONTIG)
{
    rendered_page p;
    p.spec.width = width;
    p.spec.height = height;
    p.spec.samples_per_pixel = 3;
    p.spec.photometric = PHOTOMETRIC_RGB;
    p.spec.planar = planar;
    size_t n = (size_t)width * height;
    bytes r = pattern_bytes(n, seed), g = pattern_bytes(n, seed + 100), b = pattern_bytes(n, seed + 200);
    for (size_t i = 0; i < n; i++) {
        b[i] = (uint8_t)(255 - b[i]);
        add_pixel(p.rgba, r[i], g[i], b[i]);
    }
    if (planar == PLANARCONFIG_SEPARATE) {
        p.pixels = r;
        p.pixels.insert(p.pixels.end(), g.begin(), g.end());
        p.pixels.insert(p.pixels.end(), b.begin(), b.end());
    } else {
        for (size_t i = 0; i < n; i++)
            p.pixels.insert(p.pixels.end(), {r[i], g[i], b[i]});
    }
    return p;
}

// 8-bit RGB with an associated alpha sample: rendered as stored.
inline rendered_page rgba_page(uint32_t width, uint32_t height, uint32_t seed = 1)
{
    rendered_page p;
    p.spec.width = width;
    p.spec.height = height;
    p.spec.samples_per_pixel = 4;
    p.spec.photometric = PHOTOMETRIC_RGB;
    p.spec.extra = [](TIFF* t) {
        uint16_t extra = EXTRASAMPLE_ASSOCALPHA;
        TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &extra);
    };
    p.pixels = pattern_bytes((size_t)width * height * 4, seed);
    p.rgba = p.pixels;
    return p;
}

// The same page stored in strips of `rows` rows, or in tiles.
inline rendered_page in_strips(rendered_page p, uint32_t rows)
{
    p.spec.rows_per_strip = rows;
    return p;
}

inline rendered_page in_tiles(rendered_page p, uint32_t tile_width, uint32_t tile_height)
{
    p.spec.tile_width = tile_width;
    p.spec.tile_height = tile_height;
    return p;
}

// Writes the pages as the directories of one file.
inline bool write_pages(const std::string& path, const std::vector<rendered_page>& pages)
{
    tiff_handle out = open_tiff(path, "w");
    if (!out) {
        ADD_FAILURE() << "cannot create " << path;
        return false;
    }
    for (const rendered_page& p : pages)
        if (!write_page(out.get(), p.spec, p.pixels)) {
            ADD_FAILURE() << "cannot write a page of " << path;
            return false;
        }
    return true;
}

// ---- Hand-made files ----------------------------------------------------

struct ifd_entry {
    uint16_t tag, type;  // type 3 (SHORT) or 4 (LONG)
    uint32_t count, value;
};

// A little-endian TIFF file: `data` at offset 8, then one directory of
// `entries` (sorted here), each value held in the entry itself.
inline bytes tiny_tiff(std::vector<ifd_entry> entries, const bytes& data)
{
    std::sort(entries.begin(), entries.end(),
              [](const ifd_entry& a, const ifd_entry& b) { return a.tag < b.tag; });
    bytes f;
    put_text(f, "II");
    put_le16(f, 42);
    uint32_t ifd = 8 + (uint32_t)data.size();
    ifd += ifd & 1;
    put_le32(f, ifd);
    f.insert(f.end(), data.begin(), data.end());
    f.resize(ifd);
    put_le16(f, (unsigned)entries.size());
    for (const ifd_entry& e : entries) {
        put_le16(f, e.tag);
        put_le16(f, e.type);
        put_le32(f, e.count);
        if (e.type == 3 && e.count == 1) {
            put_le16(f, e.value);
            put_le16(f, 0);
        } else {
            put_le32(f, e.value);
        }
    }
    put_le32(f, 0);
    return f;
}

// An 8-bit grey image of width x height whose first strip (or tile of
// tile_width x tile_length, when given) holds 16 bytes at offset 8: the
// fields are believed, the data is far too short. (libtiff cuts a single
// uncompressed strip into smaller ones; a compressed one stays whole.)
inline bytes oversized_grey(uint32_t width, uint32_t height, uint32_t rows_per_strip,
                            uint32_t tile_width = 0, uint32_t tile_length = 0,
                            uint32_t compression = COMPRESSION_NONE)
{
    std::vector<ifd_entry> e = {
        {256, 4, 1, width}, {257, 4, 1, height}, {258, 3, 1, 8}, {259, 3, 1, compression},
        {262, 3, 1, 1},     {277, 3, 1, 1},
    };
    if (tile_width != 0) {
        e.push_back({322, 4, 1, tile_width});
        e.push_back({323, 4, 1, tile_length});
        e.push_back({324, 4, 1, 8});
        e.push_back({325, 4, 1, 16});
    } else {
        e.push_back({273, 4, 1, 8});
        e.push_back({278, 4, 1, rows_per_strip});
        e.push_back({279, 4, 1, 16});
    }
    return tiny_tiff(e, pattern_bytes(16));
}

// ---- Damaged files -----------------------------------------------------

// `file` with a few bytes overwritten at positions chosen by `seed`
// (more often in the first bytes, where the header and small directories
// are), or cut short.
inline bytes damaged(const bytes& file, uint32_t seed)
{
    bytes f = file;
    uint32_t x = seed * 2654435761u + 12345;
    auto next = [&x]() {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    if (seed % 5 == 4) {
        f.resize(8 + next() % (f.size() - 8));
        return f;
    }
    int changes = 1 + (int)(next() % 4);
    for (int i = 0; i < changes; i++) {
        size_t span = next() % 2 ? f.size() : std::min<size_t>(f.size(), 64);
        size_t at = next() % span;
        if (f.size() > 200 && next() % 2)
            at = f.size() - 1 - next() % 200;  // in a directory at the end
        f[at] = (uint8_t)next();
    }
    return f;
}

#endif
