// make_tiff_seeds: writes small valid TIFF files of many kinds, and raw
// CCITT fax data taken from Group 3 and Group 4 strips, as seed corpora
// for the fuzzing targets.
//
//   make_tiff_seeds OUT_DIR
//
// Creates OUT_DIR/tiff/*.tif and OUT_DIR/fax-g3-1d, fax-g3-2d, fax-g4 with
// raw fax data (least significant bit first; *-msb files the other order).

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <tiffio.h>

using bytes = std::vector<uint8_t>;

static bytes pattern(size_t n, uint32_t seed)
{
    bytes b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b[i] = (uint8_t)((i / 5) + (x >> 28));
    }
    return b;
}

// A bilevel page with some structure: rules, blocks and noise.
static bytes page_bits(uint32_t width, uint32_t height, uint32_t seed)
{
    size_t line = (width + 7) / 8;
    bytes b(line * height, 0);
    bytes noise = pattern(line * height, seed);
    for (uint32_t y = 0; y < height; y++)
        for (uint32_t x = 0; x < width; x++) {
            bool black = (y % 7 == 0 && x > 3) || ((x / 9 + y / 5) % 4 == 0) ||
                         (noise[y * line + x / 8] & 1 && x % 11 == 0);
            if (black)
                b[y * line + x / 8] |= (uint8_t)(0x80 >> (x % 8));
        }
    return b;
}

struct page {
    uint32_t width = 8, height = 8;
    uint16_t bits = 8, samples = 1, photometric = PHOTOMETRIC_MINISBLACK;
    uint16_t planar = PLANARCONFIG_CONTIG, compression = COMPRESSION_NONE;
    uint32_t rows_per_strip = 4, tile = 0;
    std::function<void(TIFF*)> extra;
};

// Writes one directory of `p` filled with `data` (scan lines or planes).
static bool write_directory(TIFF* out, const page& p, const bytes& data)
{
    TIFFSetField(out, TIFFTAG_IMAGEWIDTH, p.width);
    TIFFSetField(out, TIFFTAG_IMAGELENGTH, p.height);
    TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, p.bits);
    TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, p.samples);
    TIFFSetField(out, TIFFTAG_PHOTOMETRIC, p.photometric);
    TIFFSetField(out, TIFFTAG_PLANARCONFIG, p.planar);
    TIFFSetField(out, TIFFTAG_COMPRESSION, p.compression);
    if (p.photometric == PHOTOMETRIC_PALETTE) {
        std::vector<uint16_t> r(1u << p.bits), g(r.size()), b(r.size());
        for (size_t i = 0; i < r.size(); i++) {
            r[i] = (uint16_t)(i * 65535 / r.size());
            g[i] = (uint16_t)(65535 - r[i]);
            b[i] = (uint16_t)(i * 7919 % 65536);
        }
        TIFFSetField(out, TIFFTAG_COLORMAP, r.data(), g.data(), b.data());
    }
    if (p.extra)
        p.extra(out);
    uint16_t planes = p.planar == PLANARCONFIG_SEPARATE ? p.samples : 1;
    uint16_t spp = planes == 1 ? p.samples : 1;
    size_t line = ((size_t)p.width * spp * p.bits + 7) / 8;
    if (p.tile) {
        TIFFSetField(out, TIFFTAG_TILEWIDTH, p.tile);
        TIFFSetField(out, TIFFTAG_TILELENGTH, p.tile);
        bytes tile((size_t)TIFFTileSize(out));
        size_t tile_line = ((size_t)p.tile * spp * p.bits + 7) / 8;
        for (uint16_t s = 0; s < planes; s++)
            for (uint32_t y = 0; y < p.height; y += p.tile)
                for (uint32_t x = 0; x < p.width; x += p.tile) {
                    std::fill(tile.begin(), tile.end(), 0);
                    size_t x0 = (size_t)x * spp * p.bits / 8;
                    for (uint32_t r = 0; r < p.tile && y + r < p.height; r++)
                        for (size_t k = 0; k < tile_line && x0 + k < line; k++)
                            tile[r * tile_line + k] = data[((size_t)s * p.height + y + r) * line + x0 + k];
                    if (TIFFWriteTile(out, tile.data(), x, y, 0, s) < 0)
                        return false;
                }
    } else {
        TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, p.rows_per_strip);
        bytes row(line);
        for (uint16_t s = 0; s < planes; s++)
            for (uint32_t y = 0; y < p.height; y++) {
                std::copy(data.begin() + (long)(((size_t)s * p.height + y) * line),
                          data.begin() + (long)(((size_t)s * p.height + y + 1) * line), row.begin());
                if (TIFFWriteScanline(out, row.data(), y, s) < 0)
                    return false;
            }
    }
    return TIFFWriteDirectory(out) != 0;
}

static size_t data_size(const page& p)
{
    uint16_t planes = p.planar == PLANARCONFIG_SEPARATE ? p.samples : 1;
    uint16_t spp = planes == 1 ? p.samples : 1;
    return ((size_t)p.width * spp * p.bits + 7) / 8 * p.height * planes;
}

static void write_file(const std::string& path, const std::vector<page>& pages,
                       const char* mode = "w")
{
    TIFF* out = TIFFOpen(path.c_str(), mode);
    if (out == nullptr) {
        fprintf(stderr, "cannot create %s\n", path.c_str());
        exit(1);
    }
    uint32_t seed = 1;
    for (const page& p : pages) {
        bytes data = p.bits == 1 ? page_bits(p.width * (p.planar == PLANARCONFIG_SEPARATE ? 1 : p.samples),
                                             p.height * (p.planar == PLANARCONFIG_SEPARATE ? p.samples : 1), seed)
                                 : pattern(data_size(p), seed);
        data.resize(data_size(p));
        if (!write_directory(out, p, data)) {
            fprintf(stderr, "cannot write %s\n", path.c_str());
            exit(1);
        }
        seed++;
    }
    TIFFClose(out);
}

static void write_raw(const std::string& path, const bytes& data)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr || fwrite(data.data(), 1, data.size(), f) != data.size() || fclose(f) != 0) {
        fprintf(stderr, "cannot write %s\n", path.c_str());
        exit(1);
    }
}

// Encodes a bilevel page with `compression` and `options` in one strip and
// returns the strip's raw bytes in the fill order asked for.
static bytes raw_fax(const std::string& scratch, uint16_t compression, uint32_t options,
                     uint16_t fill_order, uint32_t width, uint32_t height, uint32_t seed)
{
    page p;
    p.width = width;
    p.height = height;
    p.bits = 1;
    p.photometric = PHOTOMETRIC_MINISWHITE;
    p.compression = compression;
    p.rows_per_strip = height;
    p.extra = [&](TIFF* t) {
        TIFFSetField(t, TIFFTAG_FILLORDER, fill_order);
        if (compression == COMPRESSION_CCITTFAX3)
            TIFFSetField(t, TIFFTAG_GROUP3OPTIONS, options);
    };
    TIFF* out = TIFFOpen(scratch.c_str(), "w");
    bytes data = page_bits(width, height, seed);
    if (out == nullptr || !write_directory(out, p, data)) {
        fprintf(stderr, "cannot encode fax data\n");
        exit(1);
    }
    TIFFClose(out);
    TIFF* in = TIFFOpen(scratch.c_str(), "r");
    uint64_t* counts = nullptr;
    TIFFGetField(in, TIFFTAG_STRIPBYTECOUNTS, &counts);
    bytes raw((size_t)counts[0]);
    TIFFReadRawStrip(in, 0, raw.data(), (tmsize_t)raw.size());
    TIFFClose(in);
    remove(scratch.c_str());
    return raw;
}

int main(int argc, char* argv[])
{
    if (argc != 2) {
        fprintf(stderr, "usage: make_tiff_seeds OUT_DIR\n");
        return 2;
    }
    std::string dir = argv[1];
    std::string tiff = dir + "/tiff/";
    for (const char* sub : {"/tiff", "/fax-g3-1d", "/fax-g3-2d", "/fax-g4"})
        mkdir((dir + sub).c_str(), 0777);

    page grey;
    write_file(tiff + "grey.tif", {grey});
    page white = grey;
    white.photometric = PHOTOMETRIC_MINISWHITE;
    white.compression = COMPRESSION_PACKBITS;
    write_file(tiff + "grey-miniswhite-packbits.tif", {white});
    page grey_lzw = grey;
    grey_lzw.compression = COMPRESSION_LZW;
    grey_lzw.extra = [](TIFF* t) { TIFFSetField(t, TIFFTAG_PREDICTOR, 2); };
    write_file(tiff + "grey-lzw-predictor.tif", {grey_lzw});
    page grey_zip = grey;
    grey_zip.compression = COMPRESSION_ADOBE_DEFLATE;
    grey_zip.extra = [](TIFF* t) {
        TIFFSetField(t, TIFFTAG_XRESOLUTION, 72.0);
        TIFFSetField(t, TIFFTAG_YRESOLUTION, 72.0);
        TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, "seed");
        TIFFSetField(t, TIFFTAG_DOCUMENTNAME, "doc");
        TIFFSetField(t, TIFFTAG_PAGENUMBER, 1, 2);
        float wp[2] = {0.3127f, 0.329f};
        TIFFSetField(t, TIFFTAG_WHITEPOINT, wp);
    };
    write_file(tiff + "grey-zip-fields.tif", {grey_zip});
    // Two pages with private fields no table of libtiff's lists
    // (georeferencing), of several types.
    page geo = grey;
    geo.extra = [](TIFF* t) {
        static const TIFFFieldInfo fields[] = {
            {33550, TIFF_VARIABLE2, TIFF_VARIABLE2, TIFF_DOUBLE, FIELD_CUSTOM, 1, 1, (char*)"scale"},
            {34735, TIFF_VARIABLE2, TIFF_VARIABLE2, TIFF_SHORT, FIELD_CUSTOM, 1, 1, (char*)"keys"},
            {34737, TIFF_VARIABLE2, TIFF_VARIABLE2, TIFF_ASCII, FIELD_CUSTOM, 1, 1, (char*)"text"},
            {65000, TIFF_VARIABLE2, TIFF_VARIABLE2, TIFF_SRATIONAL, FIELD_CUSTOM, 1, 1, (char*)"ratio"},
        };
        TIFFMergeFieldInfo(t, fields, 4);
        double scale[3] = {1.5, 2.5, 0};
        uint16_t keys[8] = {1, 1, 0, 1, 1024, 0, 1, 1};
        float ratio[2] = {-0.25f, 3.5f};
        TIFFSetField(t, 33550, 3u, scale);
        TIFFSetField(t, 34735, 8u, keys);
        TIFFSetField(t, 34737, 7u, "WGS 84");
        TIFFSetField(t, 65000, 2u, ratio);
        TIFFSetField(t, TIFFTAG_COPYRIGHT, "seed");
    };
    write_file(tiff + "geo-two-pages.tif", {geo, geo});
    page grey_jpeg = grey;
    grey_jpeg.width = grey_jpeg.height = 16;
    grey_jpeg.rows_per_strip = 16;
    grey_jpeg.compression = COMPRESSION_JPEG;
    write_file(tiff + "grey-jpeg.tif", {grey_jpeg});

    page rgb = grey;
    rgb.samples = 3;
    rgb.photometric = PHOTOMETRIC_RGB;
    write_file(tiff + "rgb.tif", {rgb});
    page rgb_sep = rgb;
    rgb_sep.planar = PLANARCONFIG_SEPARATE;
    write_file(tiff + "rgb-separate.tif", {rgb_sep});
    page rgb_tiled = rgb;
    rgb_tiled.width = 20;
    rgb_tiled.height = 18;
    rgb_tiled.tile = 16;
    rgb_tiled.compression = COMPRESSION_LZW;
    write_file(tiff + "rgb-tiled.tif", {rgb_tiled});
    page rgb_sep_tiled = rgb_tiled;
    rgb_sep_tiled.planar = PLANARCONFIG_SEPARATE;
    rgb_sep_tiled.compression = COMPRESSION_NONE;
    write_file(tiff + "rgb-separate-tiled.tif", {rgb_sep_tiled});
    page rgba = rgb;
    rgba.samples = 4;
    rgba.extra = [](TIFF* t) {
        uint16_t extra[1] = {EXTRASAMPLE_ASSOCALPHA};
        TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, extra);
    };
    write_file(tiff + "rgba.tif", {rgba});
    page ycbcr = rgb;
    ycbcr.width = ycbcr.height = 16;
    ycbcr.rows_per_strip = 16;
    ycbcr.compression = COMPRESSION_JPEG;
    ycbcr.photometric = PHOTOMETRIC_YCBCR;
    ycbcr.extra = [](TIFF* t) { TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB); };
    write_file(tiff + "rgb-jpeg-ycbcr.tif", {ycbcr});
    page rgb16 = rgb;
    rgb16.bits = 16;
    write_file(tiff + "rgb16.tif", {rgb16});

    page palette = grey;
    palette.photometric = PHOTOMETRIC_PALETTE;
    write_file(tiff + "palette8.tif", {palette});
    page palette4 = palette;
    palette4.bits = 4;
    palette4.width = 9;
    write_file(tiff + "palette4.tif", {palette4});

    // Compressed in several strips or tiles, which the programs' workers
    // read ahead: interleaved, in planes, tiled, turned a quarter.
    page rgb_lzw = rgb;
    rgb_lzw.compression = COMPRESSION_LZW;
    rgb_lzw.extra = [](TIFF* t) { TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_RIGHTTOP); };
    write_file(tiff + "rgb-lzw-turned.tif", {rgb_lzw});
    page rgb_sep_zip = rgb_sep;
    rgb_sep_zip.compression = COMPRESSION_ADOBE_DEFLATE;
    write_file(tiff + "rgb-separate-zip.tif", {rgb_sep_zip});
    page grey_tiled = grey_lzw;
    grey_tiled.width = 40;
    grey_tiled.height = 20;
    grey_tiled.tile = 16;
    write_file(tiff + "grey-lzw-tiled.tif", {grey_tiled});
    page palette_tiled = palette;
    palette_tiled.width = 40;
    palette_tiled.tile = 16;
    palette_tiled.compression = COMPRESSION_LZW;
    write_file(tiff + "palette-lzw-tiled.tif", {palette_tiled});

    page fax;
    fax.width = 64;
    fax.height = 12;
    fax.bits = 1;
    fax.photometric = PHOTOMETRIC_MINISWHITE;
    fax.rows_per_strip = 12;
    fax.compression = COMPRESSION_CCITTFAX3;
    fax.extra = [](TIFF* t) {
        TIFFSetField(t, TIFFTAG_GROUP3OPTIONS, GROUP3OPT_2DENCODING);
        TIFFSetField(t, TIFFTAG_XRESOLUTION, 204.0);
        TIFFSetField(t, TIFFTAG_YRESOLUTION, 196.0);
        TIFFSetField(t, TIFFTAG_PAGENUMBER, 0, 2);
    };
    page fax4 = fax;
    fax4.compression = COMPRESSION_CCITTFAX4;
    fax4.extra = [](TIFF* t) {
        TIFFSetField(t, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
        TIFFSetField(t, TIFFTAG_PAGENUMBER, 1, 2);
    };
    write_file(tiff + "fax-two-pages.tif", {fax, fax4});
    page bilevel = fax;
    bilevel.compression = COMPRESSION_NONE;
    bilevel.extra = nullptr;
    write_file(tiff + "bilevel.tif", {bilevel});

    // Several directories in big-endian order, and one with an EXIF IFD.
    write_file(tiff + "multi-bigendian.tif", {grey, rgb, palette}, "wb");
    {
        TIFF* out = TIFFOpen((tiff + "exif.tif").c_str(), "w");
        page p = grey;
        p.extra = [](TIFF* t) { TIFFSetField(t, TIFFTAG_EXIFIFD, (uint64_t)0); };
        bytes data = pattern(data_size(p), 3);
        write_directory(out, p, data);
        uint64_t dir_offset = 0;
        TIFFCreateEXIFDirectory(out);
        TIFFSetField(out, EXIFTAG_EXPOSURETIME, 0.01);
        TIFFSetField(out, EXIFTAG_DATETIMEORIGINAL, "2026:12:08 01:02:03");
        TIFFWriteCustomDirectory(out, &dir_offset);
        TIFFSetDirectory(out, 0);
        TIFFSetField(out, TIFFTAG_EXIFIFD, dir_offset);
        TIFFWriteDirectory(out);
        TIFFClose(out);
    }

    std::string scratch = dir + "/scratch.tif";
    struct {
        const char* name;
        uint16_t compression;
        uint32_t options;
    } kinds[] = {
        {"fax-g3-1d", COMPRESSION_CCITTFAX3, 0},
        {"fax-g3-2d", COMPRESSION_CCITTFAX3, GROUP3OPT_2DENCODING},
        {"fax-g4", COMPRESSION_CCITTFAX4, 0},
    };
    for (const auto& k : kinds) {
        std::string base = dir + "/" + k.name + "/";
        write_raw(base + "page.raw",
                  raw_fax(scratch, k.compression, k.options, FILLORDER_LSB2MSB, 1728, 40, 1));
        write_raw(base + "page-msb.raw",
                  raw_fax(scratch, k.compression, k.options, FILLORDER_MSB2LSB, 1728, 40, 2));
        write_raw(base + "narrow.raw",
                  raw_fax(scratch, k.compression, k.options | GROUP3OPT_FILLBITS,
                          FILLORDER_LSB2MSB, 1728, 8, 3));
    }
    return 0;
}
