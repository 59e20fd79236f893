// The whole-image mode of tagtruecolor and chromatag: the picture, rendered
// a band of rows at a time on the workers, gives byte for byte the output
// of the same picture rendered whole by libtiff (written as one strip of
// RGBA pixels), for every kind of input the renderer takes, in strips and
// tiles, several directories and several inputs; under orientations 5 to
// 8 the output is the picture turned upright as a viewer shows it.
#include "harness.h"

#include <sys/stat.h>

namespace {

// One directory: its fields, and how its data is made.
struct page_kind {
    const char* name;
    uint16_t bits, samples, photometric, planar;
    enum { PLAIN, ASSOCIATED, UNASSOCIATED, PALETTE, CMYK, YCBCR, JPEG } extra;
};

const page_kind kinds[] = {
    {"bilevel", 1, 1, PHOTOMETRIC_MINISWHITE, 1, page_kind::PLAIN},
    {"grey 2", 2, 1, PHOTOMETRIC_MINISBLACK, 1, page_kind::PLAIN},
    {"grey 4", 4, 1, PHOTOMETRIC_MINISBLACK, 1, page_kind::PLAIN},
    {"grey 8", 8, 1, PHOTOMETRIC_MINISBLACK, 1, page_kind::PLAIN},
    {"grey 16", 16, 1, PHOTOMETRIC_MINISBLACK, 1, page_kind::PLAIN},
    {"min-is-white", 8, 1, PHOTOMETRIC_MINISWHITE, 1, page_kind::PLAIN},
    {"grey alpha", 8, 2, PHOTOMETRIC_MINISBLACK, 1, page_kind::ASSOCIATED},
    {"palette 4", 4, 1, PHOTOMETRIC_PALETTE, 1, page_kind::PALETTE},
    {"palette 8", 8, 1, PHOTOMETRIC_PALETTE, 1, page_kind::PALETTE},
    {"rgb", 8, 3, PHOTOMETRIC_RGB, 1, page_kind::PLAIN},
    {"rgb planes", 8, 3, PHOTOMETRIC_RGB, 2, page_kind::PLAIN},
    {"rgb 16", 16, 3, PHOTOMETRIC_RGB, 1, page_kind::PLAIN},
    {"rgba", 8, 4, PHOTOMETRIC_RGB, 1, page_kind::ASSOCIATED},
    {"rgba planes", 8, 4, PHOTOMETRIC_RGB, 2, page_kind::UNASSOCIATED},
    {"cmyk", 8, 4, PHOTOMETRIC_SEPARATED, 1, page_kind::CMYK},
    {"ycbcr 2x2", 8, 3, PHOTOMETRIC_YCBCR, 1, page_kind::YCBCR},
    {"jpeg ycbcr", 8, 3, PHOTOMETRIC_YCBCR, 1, page_kind::JPEG},
};

// Writes a directory of `kind`, `width` x `height`, in strips of `rows`
// rows or (tile_width not 0) in tiles, under `orientation`, every strip or
// tile filled with pattern bytes (any bytes are the samples of some
// picture; JPEG is given rows of RGB to code).
bool write_kind(TIFF* out, const page_kind& kind, uint32_t width, uint32_t height, uint32_t rows,
                uint32_t tile_width, uint16_t orientation, uint16_t compression, uint32_t seed)
{
    TIFFSetField(out, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(out, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, kind.bits);
    TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, kind.samples);
    TIFFSetField(out, TIFFTAG_PHOTOMETRIC, kind.photometric);
    TIFFSetField(out, TIFFTAG_PLANARCONFIG, kind.planar);
    TIFFSetField(out, TIFFTAG_ORIENTATION, orientation);
    TIFFSetField(out, TIFFTAG_COMPRESSION,
                 kind.extra == page_kind::JPEG ? COMPRESSION_JPEG : compression);
    static uint16_t map[3][256];
    uint16_t extra = kind.extra == page_kind::UNASSOCIATED ? EXTRASAMPLE_UNASSALPHA
                                                           : EXTRASAMPLE_ASSOCALPHA;
    switch (kind.extra) {
    case page_kind::ASSOCIATED:
    case page_kind::UNASSOCIATED:
        TIFFSetField(out, TIFFTAG_EXTRASAMPLES, 1, &extra);
        break;
    case page_kind::PALETTE:
        for (int i = 0; i < 256; i++)
            map[0][i] = (uint16_t)(i * 257), map[1][i] = (uint16_t)(65535 - i * 99),
            map[2][i] = (uint16_t)(i * 7919);
        TIFFSetField(out, TIFFTAG_COLORMAP, map[0], map[1], map[2]);
        break;
    case page_kind::CMYK:
        TIFFSetField(out, TIFFTAG_INKSET, INKSET_CMYK);
        break;
    case page_kind::YCBCR:
        TIFFSetField(out, TIFFTAG_YCBCRSUBSAMPLING, 2, 2);
        break;
    case page_kind::JPEG:
        TIFFSetField(out, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        break;
    default:
        break;
    }
    if (tile_width != 0) {
        TIFFSetField(out, TIFFTAG_TILEWIDTH, tile_width);
        TIFFSetField(out, TIFFTAG_TILELENGTH, rows);
        bytes tile = pattern_bytes((size_t)TIFFTileSize(out), seed);
        for (uint32_t t = 0; t < TIFFNumberOfTiles(out); t++, tile[t % tile.size()] ^= 0x5a)
            if (TIFFWriteEncodedTile(out, t, tile.data(), (tmsize_t)tile.size()) < 0)
                return false;
    } else {
        TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, rows);
        bytes strip = pattern_bytes((size_t)TIFFStripSize(out), seed);
        uint32_t per_plane = (height + rows - 1) / rows;
        for (uint32_t s = 0; s < TIFFNumberOfStrips(out); s++, strip[s % strip.size()] ^= 0x5a) {
            uint32_t n = std::min(rows, height - s % per_plane * rows);
            if (TIFFWriteEncodedStrip(out, s, strip.data(), TIFFVStripSize(out, n)) < 0)
                return false;
        }
    }
    return TIFFWriteDirectory(out) != 0;
}

// Directory `directory` of `file` rendered whole by libtiff as a viewer
// shows it: top-down RGBA, turned upright under orientations 5 to 8
// (libtiff shows their stored rows as rows). *width, *height: the
// picture's.
std::vector<uint32_t> rendered_whole(const std::string& file, int directory, uint32_t* width,
                                     uint32_t* height)
{
    tiff_handle t = open_tiff(file);
    TIFFSetDirectory(t.get(), (tdir_t)directory);
    uint32_t w = 0, h = 0;
    uint16_t orientation = ORIENTATION_TOPLEFT;
    TIFFGetField(t.get(), TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(t.get(), TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(t.get(), TIFFTAG_ORIENTATION, &orientation);
    std::vector<uint32_t> raster((size_t)w * h);
    bool turned = orientation >= ORIENTATION_LEFTTOP;
    EXPECT_TRUE(TIFFReadRGBAImageOriented(t.get(), w, h, raster.data(),
                                          turned ? orientation : ORIENTATION_TOPLEFT, 0))
        << file;
    *width = w, *height = h;
    if (!turned)
        return raster;
    // Stored row r is shown as column r, from the right under 6 and 7;
    // stored column c as row c, from the bottom under 7 and 8.
    std::vector<uint32_t> shown(raster.size());
    bool from_right = orientation == 6 || orientation == 7;
    bool from_bottom = orientation == 7 || orientation == 8;
    for (uint32_t r = 0; r < h; r++)
        for (uint32_t c = 0; c < w; c++) {
            uint32_t x = from_right ? h - 1 - r : r, y = from_bottom ? w - 1 - c : c;
            shown[(size_t)y * h + x] = raster[(size_t)r * w + c];
        }
    *width = h, *height = w;
    return shown;
}

// Writes the directories of `from` rendered whole, each as one strip of
// RGBA pixels with associated alpha (which libtiff renders as they are).
void write_rendered(const std::string& from, const std::string& to)
{
    tiff_handle out = open_tiff(to, "w");
    for (int d = 0; d < count_directories(from); d++) {
        tiff_spec spec;
        std::vector<uint32_t> rgba = rendered_whole(from, d, &spec.width, &spec.height);
        spec.samples_per_pixel = 4;
        spec.photometric = PHOTOMETRIC_RGB;
        spec.extra = [](TIFF* t) {
            uint16_t extra = EXTRASAMPLE_ASSOCALPHA;
            TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &extra);
        };
        bytes pixels;
        for (uint32_t v : rgba)
            pixels.insert(pixels.end(), {(uint8_t)TIFFGetR(v), (uint8_t)TIFFGetG(v),
                                         (uint8_t)TIFFGetB(v), (uint8_t)TIFFGetA(v)});
        ASSERT_TRUE(write_page(out.get(), spec, pixels));
    }
}

class Rendering : public ToolTest {
protected:
    // Runs `program` with `options` on the inputs in directory `sub` (the
    // same names in each, for the fields that quote them), with `threads`
    // workers; returns the output's bytes.
    std::string output(const std::string& sub, const std::vector<std::string>& program,
                       const std::vector<std::string>& inputs, const char* threads)
    {
        std::vector<std::string> args(program.begin() + 1, program.end());
        args.insert(args.end(), inputs.begin(), inputs.end());
        args.push_back("out.tif");
        run_options options;
        options.cwd = path(sub);
        options.env = {std::string("TIFFSUITE_THREADS=") + threads};
        unlink((path(sub) + "/out.tif").c_str());
        run_result r = run(program[0], args, options);
        EXPECT_EQ(r.status, 0) << program[0] << " in " << sub << "\n" << r.err;
        return read_file(path(sub) + "/out.tif");
    }
};

const std::vector<std::vector<std::string>> runs = {
    {"tagtruecolor"},
    {"tagtruecolor", "-n", "-c", "lzw", "-r", "3"},
    {"chromatag"},
    {"chromatag", "-h", "4", "-v", "1", "-c", "zip", "-r", "3"},
};

// Every kind, in strips (a shorter last one) and in tiles (edge tiles on
// both sides), under orientations 1 to 8 in turn (strips and tiles each
// under all eight), two directories a file and two files a run: the bands
// give what the whole picture gives, turned upright under 5 to 8.
TEST_F(Rendering, BandsGiveWhatTheWholePictureGives)
{
    mkdir(path("bands").c_str(), 0777);
    mkdir(path("whole").c_str(), 0777);
    const size_t count = sizeof kinds / sizeof kinds[0];
    for (size_t i = 0; i < count; i += 2) {
        const page_kind& a = kinds[i];
        const page_kind& b = kinds[(i + 1) % count];
        const std::string what = std::string(a.name) + ", " + b.name;
        {
            tiff_handle one = open_tiff(path("bands/one.tif"), "w");
            tiff_handle two = open_tiff(path("bands/two.tif"), "w");
            // Over the kinds each layout meets every orientation.
            uint16_t o = (uint16_t)(i / 2 % 8 + 1);
            uint16_t lzw = i % 4 == 0 ? COMPRESSION_LZW : COMPRESSION_NONE;
            bool jpeg = a.extra == page_kind::JPEG || b.extra == page_kind::JPEG;
            uint32_t rows = jpeg ? 16 : 4;
            ASSERT_TRUE(write_kind(one.get(), a, 37, 29, rows, 0, o, lzw, (uint32_t)i)) << what;
            ASSERT_TRUE(write_kind(one.get(), b, 45, 35, 16, 16, (uint16_t)(o % 8 + 1),
                                   COMPRESSION_ADOBE_DEFLATE, (uint32_t)i + 1))
                << what;
            ASSERT_TRUE(write_kind(two.get(), b, 30, 41, rows, 0, (uint16_t)((o + 2) % 8 + 1),
                                   COMPRESSION_NONE, (uint32_t)i + 2))
                << what;
            ASSERT_TRUE(write_kind(two.get(), a, 33, 17, 16, 32, (uint16_t)((o + 4) % 8 + 1),
                                   COMPRESSION_LZW, (uint32_t)i + 3))
                << what;
        }
        write_rendered(path("bands/one.tif"), path("whole/one.tif"));
        write_rendered(path("bands/two.tif"), path("whole/two.tif"));
        for (const auto& program : runs) {
            std::string whole = output("whole", program, {"one.tif", "two.tif"}, "1");
            for (const char* threads : {"1", "4"})
                EXPECT_TRUE(output("bands", program, {"one.tif", "two.tif"}, threads) == whole)
                    << ::testing::PrintToString(program) << " on " << what << ", " << threads
                    << " workers";
        }
    }
}

// A turned picture is rendered into a temporary file: where none can be
// made, its directory fails as a render does (left out, the run ends with
// status 1), and the directories before it stay.
TEST_F(Rendering, TurnedPictureNeedsATemporaryFile)
{
    {
        tiff_handle in = open_tiff(path("in.tif"), "w");
        ASSERT_TRUE(write_kind(in.get(), kinds[9], 20, 10, 4, 0, 1, COMPRESSION_LZW, 1));
        ASSERT_TRUE(write_kind(in.get(), kinds[9], 20, 10, 4, 0, 6, COMPRESSION_LZW, 2));
    }
    for (const char* program : {"tagtruecolor", "chromatag"}) {
        run_options options;
        options.env = {"TMPDIR=" + path("no-such-dir")};
        run_result r = run(program, {"in.tif", "out.tif"}, options);
        EXPECT_EQ(r.status, 1) << program;
        EXPECT_NE(r.err.find("in.tif: Can not make a temporary file: No such file or directory.\n"),
                  std::string::npos)
            << program << ": " << r.err;
        EXPECT_EQ(count_directories(path("out.tif")), 1) << program;
    }
}

}  // namespace
