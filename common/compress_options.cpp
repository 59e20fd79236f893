#include "compress_options.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "usage.h"

compression_settings default_compression(uint16_t scheme)
{
    compression_settings s;
    s.scheme = scheme;
    s.predictor = 0;
    s.jpeg_quality = 75;
    s.jpeg_color_mode = JPEGCOLORMODE_RGB;
    s.g3_options = 0;
    return s;
}

// Reads the ":quality" and ":r" sub-options that follow "jpeg".
static void parse_jpeg_options(const char* arg, compression_settings* settings)
{
    for (const char* cp = strchr(arg, ':'); cp != nullptr; cp = strchr(cp + 1, ':')) {
        if (isdigit((unsigned char)cp[1]))
            settings->jpeg_quality = atoi(cp + 1);
        else if (cp[1] == 'r')
            settings->jpeg_color_mode = JPEGCOLORMODE_RAW;
        else
            usage(-1);
    }
}

void parse_g3_options(const char* arg, compression_settings* settings, bool reset)
{
    if (reset)
        settings->g3_options = 0;
    for (const char* cp = strchr(arg, ':'); cp != nullptr; cp = strchr(cp + 1, ':')) {
        if (strncmp(cp + 1, "1d", 2) == 0)
            settings->g3_options &= ~(uint32_t)GROUP3OPT_2DENCODING;
        else if (strncmp(cp + 1, "2d", 2) == 0)
            settings->g3_options |= GROUP3OPT_2DENCODING;
        else if (strncmp(cp + 1, "fill", 4) == 0)
            settings->g3_options |= GROUP3OPT_FILLBITS;
        else
            usage(-1);
    }
}

// Reads the predictor of "lzw:N" or "zip:N"; without ':' it stays as it is.
static void parse_predictor(const char* arg, compression_settings* settings)
{
    const char* cp = strchr(arg, ':');
    if (cp != nullptr)
        settings->predictor = (uint16_t)atoi(cp + 1);
}

int parse_compression_option(const char* arg, compression_settings* settings,
                             unsigned accepted)
{
    if (strcmp(arg, "none") == 0) {
        settings->scheme = COMPRESSION_NONE;
    } else if (strcmp(arg, "packbits") == 0) {
        settings->scheme = COMPRESSION_PACKBITS;
    } else if ((accepted & ACCEPT_JPEG) && strncmp(arg, "jpeg", 4) == 0) {
        settings->scheme = COMPRESSION_JPEG;
        parse_jpeg_options(arg, settings);
    } else if ((accepted & ACCEPT_GROUP3) && strncmp(arg, "g3", 2) == 0) {
        parse_g3_options(arg, settings, (accepted & RESET_GROUP3) != 0);
        settings->scheme = COMPRESSION_CCITTFAX3;
    } else if ((accepted & ACCEPT_GROUP3) && strcmp(arg, "g4") == 0) {
        settings->scheme = COMPRESSION_CCITTFAX4;
    } else if (strncmp(arg, "lzw", 3) == 0) {
        parse_predictor(arg, settings);
        settings->scheme = COMPRESSION_LZW;
    } else if (strncmp(arg, "zip", 3) == 0) {
        parse_predictor(arg, settings);
        settings->scheme = COMPRESSION_DEFLATE;
    } else {
        return 0;
    }
    return 1;
}

int parse_exact_compression(const char* arg, uint16_t zip_scheme, uint16_t* scheme)
{
    if (strcmp(arg, "none") == 0)
        *scheme = COMPRESSION_NONE;
    else if (strcmp(arg, "packbits") == 0)
        *scheme = COMPRESSION_PACKBITS;
    else if (strcmp(arg, "lzw") == 0)
        *scheme = COMPRESSION_LZW;
    else if (strcmp(arg, "jpeg") == 0)
        *scheme = COMPRESSION_JPEG;
    else if (strcmp(arg, "zip") == 0)
        *scheme = zip_scheme;
    else
        return 0;
    return 1;
}

uint16_t photometric_for(const compression_settings* settings, uint16_t photometric,
                         uint16_t planar)
{
    if (settings->scheme == COMPRESSION_JPEG && photometric == PHOTOMETRIC_RGB &&
        planar == PLANARCONFIG_CONTIG && settings->jpeg_color_mode == JPEGCOLORMODE_RGB)
        return PHOTOMETRIC_YCBCR;
    return photometric;
}

void apply_compression(TIFF* out, const compression_settings* settings)
{
    TIFFSetField(out, TIFFTAG_COMPRESSION, settings->scheme);
    switch (settings->scheme) {
    case COMPRESSION_JPEG:
        TIFFSetField(out, TIFFTAG_JPEGQUALITY, settings->jpeg_quality);
        TIFFSetField(out, TIFFTAG_JPEGCOLORMODE, settings->jpeg_color_mode);
        break;
    case COMPRESSION_LZW:
    case COMPRESSION_DEFLATE:
        if (settings->predictor != 0)
            TIFFSetField(out, TIFFTAG_PREDICTOR, settings->predictor);
        break;
    case COMPRESSION_CCITTFAX3:
        TIFFSetField(out, TIFFTAG_GROUP3OPTIONS, settings->g3_options);
        break;
    }
}

uint32_t strip_rows(TIFF* out, int32_t rows_request)
{
    return TIFFDefaultStripSize(out, (uint32_t)rows_request);
}
