// Bilevel fax pages for the tests of the fax programs: page bitmaps made
// of known runs, and fax-coded TIFF files and raw fax data made from them
// with libtiff's own encoders.
#ifndef TESTS_FAX_PAGES_H
#define TESTS_FAX_PAGES_H

#include "harness.h"

// How a page is fax coded.
struct fax_coding {
    uint16_t compression = COMPRESSION_CCITTFAX3;
    uint32_t g3_options = 0;  // GROUP3OPT_* bits (Group 3 only)
    uint16_t fill_order = FILLORDER_LSB2MSB;
    int fax_mode = FAXMODE_CLASSF;  // Group 3 and 4
};

inline size_t fax_row_bytes(uint32_t width)
{
    return ((size_t)width + 7) / 8;
}

// Blackens pixels [x0, x1) of row y (bit 7 of byte 0 is the leftmost pixel).
inline void paint_black(bytes& page, uint32_t width, uint32_t y, uint32_t x0, uint32_t x1)
{
    for (uint32_t x = x0; x < x1 && x < width; x++)
        page[y * fax_row_bytes(width) + x / 8] |= (uint8_t)(0x80 >> (x % 8));
}

inline bool is_black(const bytes& page, uint32_t width, uint32_t y, uint32_t x)
{
    return (page[y * fax_row_bytes(width) + x / 8] >> (7 - x % 8)) & 1;
}

// A page whose rows are given as run lengths, white first.
inline bytes page_from_runs(uint32_t width, const std::vector<std::vector<uint32_t>>& rows)
{
    bytes page(fax_row_bytes(width) * rows.size(), 0);
    for (uint32_t y = 0; y < rows.size(); y++) {
        uint32_t x = 0;
        bool black = false;
        for (uint32_t run : rows[y]) {
            if (black)
                paint_black(page, width, y, x, x + run);
            x += run;
            black = !black;
        }
    }
    return page;
}

// A page like a scanned letter: blank rows, text-like rows of short runs,
// long bars, rows that end in black at the right edge, all-black rows.
// The same seed gives the same page.
inline bytes fax_page(uint32_t width, uint32_t height, uint32_t seed = 1)
{
    bytes page(fax_row_bytes(width) * height, 0);
    uint32_t state = seed * 2654435761u + 7;
    auto next = [&state](uint32_t limit) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state % limit;
    };
    for (uint32_t y = 0; y < height; y++) {
        switch (y % 7) {
        case 0:  // blank
            break;
        case 1:  // black from a few pixels in to the right edge
            paint_black(page, width, y, 3 + next(5), width);
            break;
        case 2:  // all black
            paint_black(page, width, y, 0, width);
            break;
        case 3:  // long bars
            for (uint32_t x = next(40); x < width; x += 100 + next(900))
                paint_black(page, width, y, x, x + 1 + next(700));
            break;
        default:  // text: short runs
            for (uint32_t x = next(9); x < width; x += 1 + next(12))
                paint_black(page, width, y, x, x + 1 + next(6));
            break;
        }
    }
    return page;
}

// Writes `page` as a single-strip fax-coded TIFF file at `path`, with
// `extra` setting further fields.
inline bool write_fax_tiff(const std::string& path, const bytes& page, uint32_t width,
                           uint32_t height, const fax_coding& coding,
                           std::function<void(TIFF*)> extra = nullptr,
                           uint32_t rows_per_strip = 0)
{
    tiff_spec spec;
    spec.width = width;
    spec.height = height;
    spec.bits_per_sample = 1;
    spec.photometric = PHOTOMETRIC_MINISWHITE;
    spec.compression = coding.compression;
    spec.rows_per_strip = rows_per_strip;
    spec.extra = [&](TIFF* t) {
        TIFFSetField(t, TIFFTAG_FILLORDER, coding.fill_order);
        if (coding.compression == COMPRESSION_CCITTFAX3)
            TIFFSetField(t, TIFFTAG_GROUP3OPTIONS, coding.g3_options);
        if (coding.compression != COMPRESSION_CCITTRLE)  // which has a mode of its own
            TIFFSetField(t, TIFFTAG_FAXMODE, coding.fax_mode);
        if (extra)
            extra(t);
    };
    return write_tiff(path, spec, page);
}

// The raw fax data of `page` as libtiff's encoder codes it: the bytes of
// the single strip of a TIFF file written at `scratch`, in the coding's
// bit order.
inline bytes raw_fax_data(const std::string& scratch, const bytes& page, uint32_t width,
                          uint32_t height, const fax_coding& coding)
{
    bytes raw;
    if (!write_fax_tiff(scratch, page, width, height, coding))
        return raw;
    tiff_handle t = open_tiff(scratch);
    if (!t) {
        ADD_FAILURE() << "cannot reopen " << scratch;
        return raw;
    }
    tmsize_t size = TIFFRawStripSize(t.get(), 0);
    raw.resize((size_t)size);
    if (TIFFReadRawStrip(t.get(), 0, raw.data(), size) != size)
        ADD_FAILURE() << "cannot read the strip of " << scratch;
    return raw;
}

#endif
