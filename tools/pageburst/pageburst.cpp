// pageburst: splits a multi-directory TIFF file into one file per
// directory, without decoding the image data.
//
//   pageburst input.tif [prefix]
//
// Each directory's fields are copied through libtiff and its strips or
// tiles are moved as raw, still compressed byte blocks into a new file of
// the input's byte order and kind (classic or BigTIFF). The files are
// named prefix + aaa, aab, ... + ".tif"; without a prefix xaaa.tif, ...
// zzzz.tif. A name that is the input itself ends the run before that page
// is written.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>

#include <tiffio.h>

#include "file_identity.h"
#include "standard_options.h"
#include "tiff_input.h"

// The longest output path: stem, three letters and ".tif".
static const size_t path_limit = 1024;

// Naming state, for the whole run.
static char out_stem[path_limit + 1];   // prefix + three suffix letters
static char* suffix = nullptr;          // where the letters go
static uint16_t prefix_defaulted = 0;   // 1 when the prefix is the supplied "x"
static int32_t file_index = 0;          // names made under the current prefix

// The files the program holds open; exits on failure leave them as they
// are (an output's directory is written only when it is complete).
static TIFF* in = nullptr;
static TIFF* out = nullptr;

// Advances `out_stem` to the next name: prefix + the base-26 spelling
// (a to z, most significant first) of file_index. Without a given prefix
// the one-letter prefix goes x, y, z when the letters run out; ends the
// program with status 1 when no name is left.
static void next_output_name()
{
    if (suffix == nullptr) {
        if (out_stem[0] != '\0') {
            prefix_defaulted = 0;
        } else {
            strcpy(out_stem, "x");
            prefix_defaulted = 1;
        }
        suffix = out_stem + strlen(out_stem);
    }
    if (file_index == 26 * 26 * 26) {
        if (prefix_defaulted == 0 || out_stem[0] == 'z') {
            fprintf(stderr, "pageburst: too many files.\n");
            exit(1);
        }
        out_stem[0]++;
        file_index = 0;
    }
    suffix[0] = (char)('a' + file_index / (26 * 26));
    suffix[1] = (char)('a' + file_index / 26 % 26);
    suffix[2] = (char)('a' + file_index % 26);
    suffix[3] = '\0';
    file_index++;
}

// Copies one 16-bit field when the input has it.
static void copy_short(TIFF* in, TIFF* out, ttag_t tag)
{
    uint16_t v;
    if (TIFFGetField(in, tag, &v))
        TIFFSetField(out, tag, v);
}

// Copies one 32-bit field when the input has it.
static void copy_long(TIFF* in, TIFF* out, ttag_t tag)
{
    uint32_t v;
    if (TIFFGetField(in, tag, &v))
        TIFFSetField(out, tag, v);
}

// Copies one 8-bit field when the input has it.
static void copy_byte(TIFF* in, TIFF* out, ttag_t tag)
{
    uint8_t v;
    if (TIFFGetField(in, tag, &v))
        TIFFSetField(out, tag, (int)v);
}

// Copies one 64-bit field when the input has it.
static void copy_long8(TIFF* in, TIFF* out, ttag_t tag)
{
    uint64_t v;
    if (TIFFGetField(in, tag, &v))
        TIFFSetField(out, tag, v);
}

// Copies one field held as a double.
static void copy_double(TIFF* in, TIFF* out, ttag_t tag)
{
    double v;
    if (TIFFGetField(in, tag, &v))
        TIFFSetField(out, tag, v);
}

// Copies one field read as a float and set as a double.
static void copy_float(TIFF* in, TIFF* out, ttag_t tag)
{
    float v;
    if (TIFFGetField(in, tag, &v))
        TIFFSetField(out, tag, (double)v);
}

// Copies one string field.
static void copy_string(TIFF* in, TIFF* out, ttag_t tag)
{
    char* v;
    if (TIFFGetField(in, tag, &v))
        TIFFSetField(out, tag, v);
}

// Copies one field of two 16-bit values.
static void copy_short_pair(TIFF* in, TIFF* out, ttag_t tag)
{
    uint16_t a, b;
    if (TIFFGetField(in, tag, &a, &b))
        TIFFSetField(out, tag, a, b);
}

// Copies one field held as an array of floats (its count fixed by the
// field).
static void copy_float_array(TIFF* in, TIFF* out, ttag_t tag)
{
    float* v;
    if (TIFFGetField(in, tag, &v))
        TIFFSetField(out, tag, v);
}

// Copies the ink names: a run of null-terminated names, one per ink,
// handed over with its total length. libtiff counts the inks from the
// names it holds, so walking that many names stays within them.
static void copy_ink_names(TIFF* in, TIFF* out)
{
    char* names;
    if (!TIFFGetField(in, TIFFTAG_INKNAMES, &names) || names == nullptr)
        return;
    uint16_t inks = 1;
    TIFFGetField(in, TIFFTAG_NUMBEROFINKS, &inks);
    size_t length = 0;
    for (uint16_t i = 0; i < inks; i++)
        length += strlen(names + length) + 1;
    TIFFSetField(out, TIFFTAG_INKNAMES, (int)length, names);
}

// Copies the transfer function: one table, or three when the image has
// more than one colour sample.
static void copy_transfer_function(TIFF* in, TIFF* out)
{
    uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
    if (!TIFFGetField(in, TIFFTAG_TRANSFERFUNCTION, &red, &green, &blue))
        return;
    uint16_t samples_per_pixel = 1, extra_count = 0;
    uint16_t* extra = nullptr;
    TIFFGetFieldDefaulted(in, TIFFTAG_SAMPLESPERPIXEL, &samples_per_pixel);
    TIFFGetField(in, TIFFTAG_EXTRASAMPLES, &extra_count, &extra);
    if (samples_per_pixel - extra_count > 1)
        TIFFSetField(out, TIFFTAG_TRANSFERFUNCTION, red, green, blue);
    else
        TIFFSetField(out, TIFFTAG_TRANSFERFUNCTION, red);
}

// Copies the fields that tell how the copied data is to be read beyond
// the main list: colour space, ink and sample range descriptions and the
// ICC profile, each when present.
static void copy_interpretation_fields(TIFF* in, TIFF* out)
{
    copy_short_pair(in, out, TIFFTAG_YCBCRSUBSAMPLING);
    copy_short(in, out, TIFFTAG_YCBCRPOSITIONING);
    copy_float_array(in, out, TIFFTAG_YCBCRCOEFFICIENTS);
    copy_float_array(in, out, TIFFTAG_REFERENCEBLACKWHITE);
    copy_transfer_function(in, out);
    copy_float_array(in, out, TIFFTAG_WHITEPOINT);
    copy_float_array(in, out, TIFFTAG_PRIMARYCHROMATICITIES);
    copy_short(in, out, TIFFTAG_INKSET);
    copy_short(in, out, TIFFTAG_NUMBEROFINKS);
    copy_ink_names(in, out);
    copy_short_pair(in, out, TIFFTAG_DOTRANGE);
    copy_short_pair(in, out, TIFFTAG_HALFTONEHINTS);
    copy_double(in, out, TIFFTAG_SMINSAMPLEVALUE);
    copy_double(in, out, TIFFTAG_SMAXSAMPLEVALUE);
    uint32_t length;
    void* profile;
    if (TIFFGetField(in, TIFFTAG_ICCPROFILE, &length, &profile))
        TIFFSetField(out, TIFFTAG_ICCPROFILE, length, profile);
}

// Whether the output holds a value for `tag` among the fields libtiff
// keeps as custom values (those copied above).
static bool output_has_field(TIFF* out, uint32_t tag)
{
    for (int i = 0, n = TIFFGetTagListCount(out); i < n; i++)
        if (TIFFGetTagListEntry(out, i) == tag)
            return true;
    return false;
}

// Whether the value of `field` stands for a place in the input file (a
// directory of its own, free space), which the page would not hold, or is
// of a 64-bit type that only BigTIFF files hold.
static bool points_into_input(TIFF* out, const TIFFField* field)
{
    uint32_t tag = TIFFFieldTag(field);
    TIFFDataType type = TIFFFieldDataType(field);
    if (type == TIFF_IFD || type == TIFF_IFD8 || tag == TIFFTAG_EXIFIFD ||
        tag == TIFFTAG_GPSIFD || tag == TIFFTAG_INTEROPERABILITYIFD ||
        tag == TIFFTAG_FREEOFFSETS || tag == TIFFTAG_FREEBYTECOUNTS)
        return true;
    return !TIFFIsBigTIFF(out) && (type == TIFF_LONG8 || type == TIFF_SLONG8);
}

// The output's definition of the input's `field`: its own when libtiff
// knows the tag, else one registered here from the input's, so that the
// field is written with its type and count. nullptr when the two handles
// define the tag differently (the value cannot be handed over as it is),
// or libtiff keeps no value of its type.
static const TIFFField* output_field(TIFF* out, const TIFFField* field)
{
    uint32_t tag = TIFFFieldTag(field);
    if (TIFFFieldSetGetSize(field) <= 0)
        return nullptr;
    const TIFFField* mine = TIFFFindField(out, tag, TIFF_ANY);
    if (mine == nullptr) {
        // The name stays the input's: it outlives this page's handle.
        TIFFFieldInfo info = {tag, TIFF_VARIABLE2, TIFF_VARIABLE2, TIFFFieldDataType(field),
                              FIELD_CUSTOM, 1, 1, (char*)TIFFFieldName(field)};
        if (TIFFMergeFieldInfo(out, &info, 1) != 0)
            return nullptr;
        mine = TIFFFindField(out, tag, TIFF_ANY);
    }
    if (mine == nullptr || TIFFFieldDataType(mine) != TIFFFieldDataType(field) ||
        TIFFFieldPassCount(mine) != TIFFFieldPassCount(field) ||
        TIFFFieldReadCount(mine) != TIFFFieldReadCount(field) ||
        TIFFFieldWriteCount(mine) != TIFFFieldWriteCount(field) ||
        TIFFFieldSetGetSize(mine) != TIFFFieldSetGetSize(field) ||
        TIFFFieldSetGetCountSize(mine) != TIFFFieldSetGetCountSize(field))
        return nullptr;
    return mine;
}

// Copies a field of one value, fetched in the width libtiff keeps it in
// (`size` bytes) and handed on as TIFFSetField takes a value of its type
// (a signed value of 8 or 16 bits comes back as the same bits).
static void copy_single_value(TIFF* in, TIFF* out, uint32_t tag, TIFFDataType type, int size)
{
    bool real = type == TIFF_FLOAT || type == TIFF_DOUBLE || type == TIFF_RATIONAL ||
                type == TIFF_SRATIONAL;
    if (real && size == 4)
        copy_float(in, out, tag);
    else if (real && size == 8)
        copy_double(in, out, tag);
    else if (size == 1)
        copy_byte(in, out, tag);
    else if (size == 2)
        copy_short(in, out, tag);
    else if (size == 4)
        copy_long(in, out, tag);
    else if (size == 8)
        copy_long8(in, out, tag);
}

// Copies one field that libtiff keeps as a custom value, in the form
// libtiff hands it over in: a count and an array, a string, an array of
// the field's fixed length, or a single value. A field with no value is
// left out.
static void copy_custom_field(TIFF* in, TIFF* out, const TIFFField* field)
{
    const TIFFField* mine = output_field(out, field);
    if (mine == nullptr)
        return;
    uint32_t tag = TIFFFieldTag(field);
    void* data = nullptr;
    if (TIFFFieldPassCount(field)) {
        if (TIFFFieldSetGetCountSize(field) == 4) {
            uint32_t count = 0;
            if (TIFFGetField(in, tag, &count, &data) && count != 0 && data != nullptr)
                TIFFSetField(out, tag, count, data);
        } else {
            uint16_t count = 0;
            if (TIFFGetField(in, tag, &count, &data) && count != 0 && data != nullptr)
                TIFFSetField(out, tag, (int)count, data);
        }
    } else if (TIFFFieldDataType(field) == TIFF_ASCII || TIFFFieldReadCount(field) != 1) {
        if (TIFFGetField(in, tag, &data) && data != nullptr)
            TIFFSetField(out, tag, data);
    } else {
        copy_single_value(in, out, tag, TIFFFieldDataType(field), TIFFFieldSetGetSize(field));
    }
}

// Copies every field libtiff keeps as a custom value that the copies
// above have not set: the descriptive ones of no fixed list (copyright,
// metadata packets, ...) and those libtiff has no definition for, such as
// georeferencing, which a page holds as the input did. Fields that point
// into the input file are left out.
static void copy_remaining_fields(TIFF* in, TIFF* out)
{
    for (int i = 0, n = TIFFGetTagListCount(in); i < n; i++) {
        uint32_t tag = TIFFGetTagListEntry(in, i);
        const TIFFField* field = TIFFFindField(in, tag, TIFF_ANY);
        if (field == nullptr || tag == TIFFTAG_DOTRANGE || output_has_field(out, tag) ||
            points_into_input(out, field))
            continue;
        copy_custom_field(in, out, field);
    }
}

// The size of the open file, or UINT64_MAX when it cannot be told.
static uint64_t file_size(TIFF* tif)
{
    struct stat st;
    if (fstat(TIFFFileno(tif), &st) != 0 || !S_ISREG(st.st_mode))
        return UINT64_MAX;
    return (uint64_t)st.st_size;
}

// Copies the data blocks as they are, strip by strip (or tile by tile).
// Returns 1 on success, 0 when a buffer could not be had or a read or
// write failed.
static int copy_raw_blocks(TIFF* in, TIFF* out, bool tiled)
{
    // The buffer starts at the size of a decoded block, but never beyond
    // the file: a damaged directory may claim blocks no file holds.
    uint64_t limit = file_size(in);
    uint64_t capacity = (uint64_t)(tiled ? TIFFTileSize(in) : TIFFStripSize(in));
    if (capacity > limit)
        capacity = limit;
    if (capacity == 0)
        capacity = 1;
    uint8_t* buffer = (uint8_t*)_TIFFmalloc((tmsize_t)capacity);
    if (buffer == nullptr)
        return 0;
    uint32_t count = tiled ? TIFFNumberOfTiles(in) : TIFFNumberOfStrips(in);
    uint64_t* byte_counts = nullptr;
    if (!TIFFGetField(in, tiled ? TIFFTAG_TILEBYTECOUNTS : TIFFTAG_STRIPBYTECOUNTS,
                      &byte_counts) ||
        byte_counts == nullptr) {
        _TIFFfree(buffer);
        return 0;
    }
    // A block said to reach past the end of the file cannot be read; no
    // buffer is taken for it.
    for (uint32_t s = 0; s < count; s++) {
        uint64_t n = byte_counts[s];
        if (n > capacity) {
            uint8_t* bigger = n <= limit && n <= (uint64_t)INT64_MAX
                                  ? (uint8_t*)_TIFFrealloc(buffer, (tmsize_t)n)
                                  : nullptr;
            if (bigger == nullptr) {
                _TIFFfree(buffer);
                return 0;
            }
            buffer = bigger;
            capacity = n;
        }
        tmsize_t got = tiled ? TIFFReadRawTile(in, s, buffer, (tmsize_t)n)
                             : TIFFReadRawStrip(in, s, buffer, (tmsize_t)n);
        if (got < 0 || (uint64_t)got != n) {
            _TIFFfree(buffer);
            return 0;
        }
        tmsize_t put = tiled ? TIFFWriteRawTile(out, s, buffer, got)
                             : TIFFWriteRawStrip(out, s, buffer, got);
        if (put < 0) {
            _TIFFfree(buffer);
            return 0;
        }
    }
    _TIFFfree(buffer);
    return 1;
}

static int copy_raw_strips(TIFF* in, TIFF* out)
{
    return copy_raw_blocks(in, out, false);
}

static int copy_raw_tiles(TIFF* in, TIFF* out)
{
    return copy_raw_blocks(in, out, true);
}

// Copies the current directory of `in` to the new file `out`: the fields
// in their fixed order, then the fields needed to read the data the same
// way, then every other field, then the data. Returns 1 on success, 0 on failure.
static int copy_directory(TIFF* in, TIFF* out)
{
    copy_long(in, out, TIFFTAG_SUBFILETYPE);
    copy_long(in, out, TIFFTAG_TILEWIDTH);
    copy_long(in, out, TIFFTAG_TILELENGTH);
    copy_long(in, out, TIFFTAG_IMAGEWIDTH);
    copy_long(in, out, TIFFTAG_IMAGELENGTH);
    copy_short(in, out, TIFFTAG_BITSPERSAMPLE);
    copy_short(in, out, TIFFTAG_SAMPLESPERPIXEL);
    uint16_t compression;
    if (TIFFGetField(in, TIFFTAG_COMPRESSION, &compression)) {
        TIFFSetField(out, TIFFTAG_COMPRESSION, compression);
        if (compression == COMPRESSION_JPEG) {
            uint32_t count = 0;
            void* table = nullptr;
            if (TIFFGetField(in, TIFFTAG_JPEGTABLES, &count, &table) && count != 0 &&
                table != nullptr)
                TIFFSetField(out, TIFFTAG_JPEGTABLES, count, table);
        }
    }
    copy_short(in, out, TIFFTAG_PHOTOMETRIC);
    copy_short(in, out, TIFFTAG_PREDICTOR);
    copy_short(in, out, TIFFTAG_THRESHHOLDING);
    copy_short(in, out, TIFFTAG_FILLORDER);
    copy_short(in, out, TIFFTAG_ORIENTATION);
    copy_short(in, out, TIFFTAG_MINSAMPLEVALUE);
    copy_short(in, out, TIFFTAG_MAXSAMPLEVALUE);
    copy_float(in, out, TIFFTAG_XRESOLUTION);
    copy_float(in, out, TIFFTAG_YRESOLUTION);
    copy_long(in, out, TIFFTAG_GROUP3OPTIONS);
    copy_long(in, out, TIFFTAG_GROUP4OPTIONS);
    copy_short(in, out, TIFFTAG_RESOLUTIONUNIT);
    copy_short(in, out, TIFFTAG_PLANARCONFIG);
    copy_long(in, out, TIFFTAG_ROWSPERSTRIP);
    copy_float(in, out, TIFFTAG_XPOSITION);
    copy_float(in, out, TIFFTAG_YPOSITION);
    copy_long(in, out, TIFFTAG_IMAGEDEPTH);
    copy_long(in, out, TIFFTAG_TILEDEPTH);
    copy_short(in, out, TIFFTAG_SAMPLEFORMAT);
    uint16_t extra_count;
    uint16_t* extra;
    if (TIFFGetField(in, TIFFTAG_EXTRASAMPLES, &extra_count, &extra))
        TIFFSetField(out, TIFFTAG_EXTRASAMPLES, extra_count, extra);
    uint16_t *red, *green, *blue;
    if (TIFFGetField(in, TIFFTAG_COLORMAP, &red, &green, &blue))
        TIFFSetField(out, TIFFTAG_COLORMAP, red, green, blue);
    copy_short_pair(in, out, TIFFTAG_PAGENUMBER);
    copy_string(in, out, TIFFTAG_ARTIST);
    copy_string(in, out, TIFFTAG_IMAGEDESCRIPTION);
    copy_string(in, out, TIFFTAG_MAKE);
    copy_string(in, out, TIFFTAG_MODEL);
    copy_string(in, out, TIFFTAG_SOFTWARE);
    copy_string(in, out, TIFFTAG_DATETIME);
    copy_string(in, out, TIFFTAG_HOSTCOMPUTER);
    copy_string(in, out, TIFFTAG_PAGENAME);
    copy_string(in, out, TIFFTAG_DOCUMENTNAME);
    copy_long(in, out, TIFFTAG_BADFAXLINES);
    copy_short(in, out, TIFFTAG_CLEANFAXDATA);
    copy_long(in, out, TIFFTAG_CONSECUTIVEBADFAXLINES);
    copy_long(in, out, TIFFTAG_FAXRECVPARAMS);
    copy_long(in, out, TIFFTAG_FAXRECVTIME);
    copy_string(in, out, TIFFTAG_FAXSUBADDRESS);
    copy_string(in, out, TIFFTAG_FAXDCS);
    copy_interpretation_fields(in, out);
    copy_remaining_fields(in, out);

    if (TIFFIsTiled(in))
        return copy_raw_tiles(in, out);
    return copy_raw_strips(in, out);
}

// Writes libtiff's version string, a blank line and the usage line to `out`.
static void write_usage(FILE* out)
{
    fprintf(out, "%s\n\n", TIFFGetVersion());
    fprintf(out, "usage: pageburst input.tif [prefix]\n");
}

int main(int argc, char* argv[])
{
    // Arguments are read by position: --help and --version only as the first.
    const char* first = argc > 1 ? argv[1] : nullptr;
    answer_standard_option(first, "pageburst", write_usage, TIFFGetVersion());
    if (argc < 2) {
        write_usage(stderr);
        return -3;
    }
    if (argc > 2) {
        if (strlen(argv[2]) + 3 + strlen(".tif") > path_limit) {
            fprintf(stderr, "pageburst: prefix too long.\n");
            return -3;
        }
        strcpy(out_stem, argv[2]);
    }

    in = open_tiff_input(argv[1], "r");
    if (in == nullptr)
        return 1;
    note_input(argv[1]);
    // Pages keep the input's byte order, and its kind: the raw blocks of a
    // BigTIFF file may need its 64-bit offsets.
    const char* mode = TIFFIsBigTIFF(in) ? (TIFFIsBigEndian(in) ? "wb8" : "wl8")
                                         : (TIFFIsBigEndian(in) ? "wb" : "wl");
    do {
        next_output_name();
        char path[sizeof out_stem + 4];
        snprintf(path, sizeof path, "%s.tif", out_stem);
        if (output_is_input(path))
            return -2;
        out = TIFFOpen(path, mode);
        if (out == nullptr)
            return -2;
        // The directory is written before closing so that a failure to
        // write it is seen.
        if (!copy_directory(in, out) || !TIFFWriteDirectory(out))
            return -1;
        TIFFClose(out);
        out = nullptr;
    } while (TIFFReadDirectory(in));
    TIFFClose(in);
    return 0;
}
