// The -c compression option and the -r strip-height request shared by the
// TIFF-writing programs.
#ifndef COMMON_COMPRESS_OPTIONS_H
#define COMMON_COMPRESS_OPTIONS_H

#include <cstdint>

#include <tiffio.h>

// Compression scheme value meaning "no -c given"; each program resolves it.
const uint16_t SCHEME_NOT_GIVEN = 0xFFFF;

// What -c fills and what a program applies to each output directory.
struct compression_settings {
    uint16_t scheme;       // COMPRESSION_* code, or SCHEME_NOT_GIVEN
    uint16_t predictor;    // 0: not given, the field is never written
    int32_t jpeg_quality;
    int32_t jpeg_color_mode;  // JPEGCOLORMODE_RGB or JPEGCOLORMODE_RAW
    uint32_t g3_options;   // GROUP3OPT_2DENCODING and GROUP3OPT_FILLBITS bits
};

// Which keywords a program's parser accepts besides none, packbits, lzw and
// zip, and how its Group 3 sub-options behave.
enum {
    ACCEPT_JPEG = 1,    // "jpeg" with its quality and colour-mode sub-options
    ACCEPT_GROUP3 = 2,  // "g3" with its sub-options, and "g4"
    RESET_GROUP3 = 4,   // every "g3" starts again from 1D, unpadded coding
};

// Returns the settings every program starts from: `scheme` as given,
// no predictor, quality 75, RGB colour mode, no Group 3 options.
compression_settings default_compression(uint16_t scheme);

// Reads the argument of one -c option into `settings`. Returns 1 when the
// keyword is one of those `accepted` allows, 0 (nothing changed) when it is
// not; the caller then prints the usage text. A bad JPEG or Group 3
// sub-option prints the usage text here and ends the program with -1.
int parse_compression_option(const char* arg, compression_settings* settings,
                             unsigned accepted);

// Reads the sub-options of a "g3..." argument into settings->g3_options,
// starting from 0 when `reset` is set. A bad sub-option prints the usage
// text and ends the program with -1.
void parse_g3_options(const char* arg, compression_settings* settings, bool reset);

// The whole-word keyword match of the programs without sub-options: "none",
// "packbits", "lzw", "jpeg", "zip" (which selects `zip_scheme`). Returns 1
// and stores the code in *scheme, or 0 for any other argument.
int parse_exact_compression(const char* arg, uint16_t zip_scheme, uint16_t* scheme);

// The photometric interpretation an image of `photometric` in planar
// configuration `planar` gets under the settings: JPEG in RGB colour mode
// turns interleaved RGB into YCbCr (libtiff converts the rows while
// encoding); anything else is returned unchanged. Separate planes stay RGB:
// libtiff's JPEG codec would take full-size chroma planes for subsampled
// ones and write a file no reader takes.
uint16_t photometric_for(const compression_settings* settings, uint16_t photometric,
                         uint16_t planar);

// Sets Compression = settings->scheme (which must be resolved by now) and
// the fields that go with it: JPEG quality and colour mode, the predictor
// of LZW and deflate when one was given, the Group 3 options.
void apply_compression(TIFF* out, const compression_settings* settings);

// The strip height for `out` under the -r request (-1 when not given):
// libtiff's choice for a request below 1, else the request as libtiff
// adjusts it for the codec.
uint32_t strip_rows(TIFF* out, int32_t rows_request);

#endif
