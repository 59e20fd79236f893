// codec_time: the time libtiff's codecs alone take for a conversion, in
// one thread: decoding every strip (or tile) of the input's first
// directory, and encoding again every strip (or tile) of the output's
// first directory with the output's compression. Whatever program does
// the conversion through libtiff does at least this work; on N
// processors it cannot take less than the sum over N.
//
//   codec_time input.tif output.tif
//
// Prints "decode S encode S" in seconds. The output's strips are decoded
// untimed and encoded into a scratch file beside it (output.tif.codec),
// removed at the end.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <time.h>
#include <vector>

#include <tiffio.h>

static double now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void die(const char* what, const char* name)
{
    fprintf(stderr, "codec_time: %s: %s\n", name, what);
    exit(1);
}

// The units of the current directory and the bytes of the largest.
static uint32_t units_of(TIFF* tif, tmsize_t* bytes)
{
    *bytes = TIFFIsTiled(tif) ? TIFFTileSize(tif) : TIFFStripSize(tif);
    return TIFFIsTiled(tif) ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
}

static tmsize_t decode_unit(TIFF* tif, uint32_t unit, void* buffer, tmsize_t bytes)
{
    return TIFFIsTiled(tif) ? TIFFReadEncodedTile(tif, unit, buffer, bytes)
                            : TIFFReadEncodedStrip(tif, unit, buffer, bytes);
}

// Seconds spent decoding every unit of `name`'s first directory.
static double decode_time(const char* name)
{
    TIFF* in = TIFFOpen(name, "rm");
    if (in == nullptr)
        die("cannot open", name);
    tmsize_t bytes = 0;
    uint32_t units = units_of(in, &bytes);
    std::vector<unsigned char> buffer((size_t)bytes);
    double start = now();
    for (uint32_t u = 0; u < units; u++)
        if (decode_unit(in, u, buffer.data(), bytes) < 0)
            die("a strip does not decode", name);
    double spent = now() - start;
    TIFFClose(in);
    return spent;
}

// Copies one field of the listed kinds from `in` to `out` when present.
static void copy_u16(TIFF* in, TIFF* out, uint32_t tag)
{
    uint16_t v;
    if (TIFFGetField(in, tag, &v))
        TIFFSetField(out, tag, v);
}

static void copy_u32(TIFF* in, TIFF* out, uint32_t tag)
{
    uint32_t v;
    if (TIFFGetField(in, tag, &v))
        TIFFSetField(out, tag, v);
}

// Seconds spent encoding again every unit of `name`'s first directory,
// each decoded (untimed) first.
static double encode_time(const char* name)
{
    TIFF* in = TIFFOpen(name, "rm");
    if (in == nullptr)
        die("cannot open", name);
    std::string scratch_name = std::string(name) + ".codec";
    TIFF* out = TIFFOpen(scratch_name.c_str(), "w");
    if (out == nullptr)
        die("cannot create a scratch file beside it", name);
    const uint32_t u32_tags[] = {TIFFTAG_IMAGEWIDTH, TIFFTAG_IMAGELENGTH, TIFFTAG_ROWSPERSTRIP,
                                 TIFFTAG_TILEWIDTH, TIFFTAG_TILELENGTH};
    const uint32_t u16_tags[] = {TIFFTAG_BITSPERSAMPLE, TIFFTAG_SAMPLESPERPIXEL,
                                 TIFFTAG_PLANARCONFIG,  TIFFTAG_PHOTOMETRIC,
                                 TIFFTAG_FILLORDER,     TIFFTAG_COMPRESSION,
                                 TIFFTAG_PREDICTOR};
    for (uint32_t tag : u32_tags)
        copy_u32(in, out, tag);
    for (uint32_t tag : u16_tags)
        copy_u16(in, out, tag);
    uint16_t h = 0, v = 0;
    if (TIFFGetField(in, TIFFTAG_YCBCRSUBSAMPLING, &h, &v))
        TIFFSetField(out, TIFFTAG_YCBCRSUBSAMPLING, h, v);
    uint32_t group = 0;
    if (TIFFGetField(in, TIFFTAG_GROUP3OPTIONS, &group))
        TIFFSetField(out, TIFFTAG_GROUP3OPTIONS, group);
    tmsize_t bytes = 0;
    uint32_t units = units_of(in, &bytes);
    std::vector<unsigned char> buffer((size_t)bytes);
    double spent = 0;
    for (uint32_t u = 0; u < units; u++) {
        tmsize_t got = decode_unit(in, u, buffer.data(), bytes);
        if (got < 0)
            die("a strip does not decode", name);
        double start = now();
        tmsize_t put = TIFFIsTiled(out) ? TIFFWriteEncodedTile(out, u, buffer.data(), got)
                                        : TIFFWriteEncodedStrip(out, u, buffer.data(), got);
        spent += now() - start;
        if (put < 0)
            die("a strip does not encode", name);
    }
    TIFFClose(out);
    TIFFClose(in);
    remove(scratch_name.c_str());
    return spent;
}

int main(int argc, char* argv[])
{
    if (argc != 3) {
        fprintf(stderr, "usage: codec_time input.tif output.tif\n");
        return 2;
    }
    // The fields copied may draw warnings (a legacy code, say) that say
    // nothing of the time.
    TIFFSetWarningHandler(nullptr);
    double decode = decode_time(argv[1]);
    double encode = encode_time(argv[2]);
    printf("decode %.3f encode %.3f\n", decode, encode);
    return 0;
}
