#include "tag_copy.h"

#include <cstring>

// How TIFFGetField and TIFFSetField take the value of a field.
enum value_form {
    FORM_NONE,           // the handle does not know the field, or only as an unknown tag
    FORM_TEXT,           // one string pointer
    FORM_COUNTED_TEXT,   // a total length, then the text (several NUL-ended names)
    FORM_SCALAR,         // one value
    FORM_PAIR,           // two values, one argument each
    FORM_ARRAY,          // one pointer to a fixed number of values
    FORM_COUNTED_ARRAY,  // a count, then a pointer to that many values
};

struct field_form {
    value_form form;
    int value_size;  // bytes of one value as the caller passes or receives it
    int count_size;  // bytes of the count of FORM_COUNTED_ARRAY
    int length;      // number of values of FORM_ARRAY
    bool operator==(const field_form& o) const
    {
        return form == o.form && value_size == o.value_size && count_size == o.count_size &&
               length == o.length;
    }
};

// Returns the form in which libtiff, on handle `tif`, takes the value of
// `tag`. A field the handle only knows as an unknown tag read from a file
// has no form of ours: FORM_NONE.
static field_form form_of(TIFF* tif, uint16_t tag)
{
    field_form f = {FORM_NONE, 0, 0, 0};
    const TIFFField* field = TIFFFindField(tif, tag, TIFF_ANY);
    if (field == nullptr || TIFFFieldIsAnonymous(field))
        return f;
    f.value_size = TIFFFieldSetGetSize(field);
    int count = TIFFFieldReadCount(field);
    if (TIFFFieldDataType(field) == TIFF_ASCII) {
        f.form = TIFFFieldPassCount(field) ? FORM_COUNTED_TEXT : FORM_TEXT;
    } else if (TIFFFieldPassCount(field)) {
        f.form = FORM_COUNTED_ARRAY;
        f.count_size = TIFFFieldSetGetCountSize(field);
    } else if (count == 1 || count == TIFF_VARIABLE || count == TIFF_SPP) {
        f.form = FORM_SCALAR;
    } else if (count == 2 && TIFFFieldDataType(field) == TIFF_SHORT && f.value_size == 4) {
        f.form = FORM_PAIR;  // two 16-bit arguments
        f.value_size = 2;
    } else if (count >= 2) {
        f.form = FORM_ARRAY;
        f.length = count;
    }
    return f;
}

// True when both handles take `tag` in form `form` with values of
// `value_size` bytes (and, for counted arrays, counts of `count_size`).
static bool takes(TIFF* in, TIFF* out, uint16_t tag, value_form form, int value_size,
                  int count_size = 0)
{
    field_form f = form_of(in, tag);
    return f.form == form && f.value_size == value_size && f.count_size == count_size &&
           f == form_of(out, tag);
}

// Copies a text made of several NUL-ended names, which libtiff sets from
// its total length and the text but returns as the text alone: the length
// is found by walking the input's number of names (libtiff keeps that
// number equal to the names its text holds). Skipped when either is
// missing or the text is longer than a 16-bit length.
static void copy_counted_text(TIFF* in, TIFF* out, uint16_t tag)
{
    const char* text = nullptr;
    uint16_t names = 0;
    if (tag != TIFFTAG_INKNAMES || !TIFFGetField(in, tag, &text) || text == nullptr ||
        !takes(in, out, TIFFTAG_NUMBEROFINKS, FORM_SCALAR, 2) ||
        !TIFFGetField(in, TIFFTAG_NUMBEROFINKS, &names))
        return;
    size_t length = 0;
    for (uint16_t i = 0; i < names; i++) {
        length += strlen(text + length) + 1;
        if (length > 0xffff)
            return;
    }
    if (length > 0)
        TIFFSetField(out, tag, (int)length, text);
}

static void copy_ascii(TIFF* in, TIFF* out, uint16_t tag)
{
    const char* text = nullptr;
    if (takes(in, out, tag, FORM_TEXT, 1)) {
        if (TIFFGetField(in, tag, &text) && text != nullptr)
            TIFFSetField(out, tag, text);
    } else if (takes(in, out, tag, FORM_COUNTED_TEXT, 1)) {
        copy_counted_text(in, out, tag);
    }
}

static void copy_short(TIFF* in, TIFF* out, uint16_t tag, int16_t count)
{
    uint16_t a = 0, b = 0;
    uint16_t* values = nullptr;
    switch (count) {
    case 1:
        if (takes(in, out, tag, FORM_SCALAR, 2) && TIFFGetField(in, tag, &a))
            TIFFSetField(out, tag, (int)a);
        break;
    case 2:
        if (takes(in, out, tag, FORM_PAIR, 2) && TIFFGetField(in, tag, &a, &b))
            TIFFSetField(out, tag, (int)a, (int)b);
        break;
    case 4:
        // Four values: libtiff holds such a field as one array of four.
        if (takes(in, out, tag, FORM_ARRAY, 2) && form_of(in, tag).length == 4 &&
            TIFFGetField(in, tag, &values) && values != nullptr)
            TIFFSetField(out, tag, values);
        break;
    case -1:
        if (takes(in, out, tag, FORM_COUNTED_ARRAY, 2, 2) && TIFFGetField(in, tag, &a, &values))
            TIFFSetField(out, tag, (int)a, values);
        break;
    }
}

static void copy_long(TIFF* in, TIFF* out, uint16_t tag)
{
    uint32_t v = 0;
    if (takes(in, out, tag, FORM_SCALAR, 4) && TIFFGetField(in, tag, &v))
        TIFFSetField(out, tag, v);
}

// A RATIONAL is fetched as float and set as double; one listed as a single
// value that libtiff holds as a fixed array (the white point's two values)
// is handed over as that array.
static void copy_rational(TIFF* in, TIFF* out, uint16_t tag, int16_t count)
{
    float v = 0;
    float* values = nullptr;
    if (count == 1 && takes(in, out, tag, FORM_SCALAR, 4)) {
        if (TIFFGetField(in, tag, &v))
            TIFFSetField(out, tag, (double)v);
    } else if ((count == 1 || count == -1) && takes(in, out, tag, FORM_ARRAY, 4)) {
        if (TIFFGetField(in, tag, &values) && values != nullptr)
            TIFFSetField(out, tag, values);
    }
}

static void copy_double(TIFF* in, TIFF* out, uint16_t tag, int16_t count)
{
    double v = 0;
    double* values = nullptr;
    if (count == 1 && takes(in, out, tag, FORM_SCALAR, 8)) {
        if (TIFFGetField(in, tag, &v))
            TIFFSetField(out, tag, v);
    } else if (count == -1 && takes(in, out, tag, FORM_ARRAY, 8)) {
        if (TIFFGetField(in, tag, &values) && values != nullptr)
            TIFFSetField(out, tag, values);
    }
}

void copy_tag(TIFF* in, TIFF* out, uint16_t tag, int16_t count, uint32_t type)
{
    switch (type) {
    case TIFF_ASCII:
        copy_ascii(in, out, tag);
        break;
    case TIFF_SHORT:
        copy_short(in, out, tag, count);
        break;
    case TIFF_LONG:
        copy_long(in, out, tag);
        break;
    case TIFF_RATIONAL:
        copy_rational(in, out, tag, count);
        break;
    case TIFF_DOUBLE:
        copy_double(in, out, tag, count);
        break;
    default:
        TIFFError(TIFFFileName(in), "Data type %d is not supported, tag %d skipped.", (int)type,
                  (int)tag);
    }
}

void copy_tags(TIFF* in, TIFF* out)
{
    for (size_t i = 0; i < tag_copy_table_size; i++)
        copy_tag(in, out, tag_copy_table[i].tag, tag_copy_table[i].count,
                 tag_copy_table[i].type);
}

uint64_t copied_tags_bytes(TIFF* in)
{
    uint64_t total = 0;
    for (size_t i = 0; i < tag_copy_table_size; i++) {
        uint16_t tag = tag_copy_table[i].tag;
        field_form f = form_of(in, tag);
        const char* text = nullptr;
        uint16_t count16 = 0;
        uint32_t count32 = 0;
        void* values = nullptr;
        uint64_t bytes = (uint64_t)f.value_size;
        if (f.form == FORM_NONE) {
            bytes = 0;
        } else if (f.form == FORM_TEXT) {
            bytes = TIFFGetField(in, tag, &text) && text != nullptr ? strlen(text) + 1 : 0;
        } else if (f.form == FORM_COUNTED_TEXT) {
            bytes = 0xffff;  // several names, copied only within a 16-bit length
        } else if (f.form == FORM_COUNTED_ARRAY && f.count_size == 2) {
            bytes = TIFFGetField(in, tag, &count16, &values) ? (uint64_t)count16 * bytes : 0;
        } else if (f.form == FORM_COUNTED_ARRAY) {
            bytes = TIFFGetField(in, tag, &count32, &values) ? (uint64_t)count32 * bytes : 0;
        } else if (f.form == FORM_ARRAY) {
            bytes *= (uint64_t)f.length;
        }
        total += bytes;
    }
    return total;
}
