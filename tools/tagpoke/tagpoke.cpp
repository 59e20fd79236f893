// tagpoke: sets fields of the first directory of an existing TIFF file in
// place.
//
//   tagpoke [-s tag [count] value... | -sf tag valuefile]... file.tif
//
// The file is opened for update; each field named is set through libtiff,
// its values converted by the field's data type as libtiff describes it,
// and the directory is rewritten at the end. Image data is never touched.
// A run that stops on a bad item (statuses 3, 4, 5, -1) leaves the file as
// it was.

#include <cfloat>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <tiffio.h>

#include "tiff_input.h"

static const char* const help_lines[] = {
    "usage: tagpoke [options] filename",
    "where options are:",
    " -s <tagname> [count] <value>...   set the tag value",
    " -sf <tagname> <filename>  read the tag value from file (for ASCII tags only)",
    nullptr,
};

// The size of the buffer that receives a value file, terminator included.
static const size_t value_file_buffer = 1000000;

// The file being changed. It stays open, unclosed and so unchanged, when
// the program stops on a bad item.
static TIFF* tif = nullptr;

// Set when a setting failed; the others are still written.
static bool any_failure = false;

// Prints the help text on standard error and ends the program with -1.
[[noreturn]] static void usage()
{
    for (int i = 0; help_lines[i] != nullptr; i++)
        fprintf(stderr, "%s\n", help_lines[i]);
    exit(-1);
}

// Finds the field named by `text`: by number when it reads as a number
// above 0, else by name. Ends the program with status 3 when there is none.
static const TIFFField* lookup_field(const char* text)
{
    int number = atoi(text);
    const TIFFField* field =
        number > 0 ? TIFFFieldWithTag(tif, (uint32_t)number) : TIFFFieldWithName(tif, text);
    if (field == nullptr) {
        fprintf(stderr, "Field name %s not recognised.\n", text);
        exit(3);
    }
    return field;
}

// Reports a setting that did not take; the run goes on and ends with 1.
static void report_failed(const TIFFField* field)
{
    fprintf(stderr, "Failed to set %s\n", TIFFFieldName(field));
    any_failure = true;
}

// The size of one value of `type` in an array handed to libtiff, 0 for a
// type whose values cannot be read from text.
static size_t element_width(TIFFDataType type)
{
    switch (type) {
    case TIFF_BYTE:
    case TIFF_SBYTE:
        return 1;
    case TIFF_SHORT:
    case TIFF_SSHORT:
        return 2;
    case TIFF_LONG:
    case TIFF_SLONG:
    case TIFF_IFD:
    case TIFF_RATIONAL:
    case TIFF_SRATIONAL:
    case TIFF_FLOAT:
        return 4;
    case TIFF_DOUBLE:
        return 8;
    default:
        return 0;
    }
}

// `text` as a float; values beyond the float range become its largest.
static float float_value(const char* text)
{
    double d = atof(text);
    if (d > FLT_MAX)
        return FLT_MAX;
    if (d < -FLT_MAX)
        return -FLT_MAX;
    return (float)d;
}

// Converts `text` to one value of `type` and stores it at `slot`, which
// has room for element_width(type) bytes.
static void convert_value(TIFFDataType type, const char* text, void* slot)
{
    switch (type) {
    case TIFF_BYTE: {
        uint8_t v = (uint8_t)atoi(text);
        memcpy(slot, &v, 1);
        break;
    }
    case TIFF_SBYTE: {
        int8_t v = (int8_t)atoi(text);
        memcpy(slot, &v, 1);
        break;
    }
    case TIFF_SHORT: {
        uint16_t v = (uint16_t)atoi(text);
        memcpy(slot, &v, 2);
        break;
    }
    case TIFF_SSHORT: {
        int16_t v = (int16_t)atoi(text);
        memcpy(slot, &v, 2);
        break;
    }
    case TIFF_LONG:
    case TIFF_IFD: {
        uint32_t v = (uint32_t)atol(text);
        memcpy(slot, &v, 4);
        break;
    }
    case TIFF_SLONG: {
        int32_t v = (int32_t)atol(text);
        memcpy(slot, &v, 4);
        break;
    }
    case TIFF_RATIONAL:
    case TIFF_SRATIONAL:
    case TIFF_FLOAT: {
        float v = float_value(text);
        memcpy(slot, &v, 4);
        break;
    }
    case TIFF_DOUBLE: {
        double v = atof(text);
        memcpy(slot, &v, 8);
        break;
    }
    default:
        break;
    }
}

// Sets a field that takes a single value, passed as libtiff reads it for
// the field's type. Returns TIFFSetField's result.
static int set_single_value(const TIFFField* field, const char* text)
{
    uint32_t tag = TIFFFieldTag(field);
    switch (TIFFFieldDataType(field)) {
    case TIFF_BYTE:
        return TIFFSetField(tif, tag, (int)(uint8_t)atoi(text));
    case TIFF_SBYTE:
        return TIFFSetField(tif, tag, (int)(int8_t)atoi(text));
    case TIFF_SHORT:
        return TIFFSetField(tif, tag, (int)(uint16_t)atoi(text));
    case TIFF_SSHORT:
        return TIFFSetField(tif, tag, (int)(int16_t)atoi(text));
    case TIFF_LONG:
    case TIFF_IFD:
        return TIFFSetField(tif, tag, (uint32_t)atol(text));
    case TIFF_SLONG:
        return TIFFSetField(tif, tag, (int32_t)atol(text));
    case TIFF_RATIONAL:
    case TIFF_SRATIONAL:
    case TIFF_FLOAT:
        return TIFFSetField(tif, tag, (double)float_value(text));
    case TIFF_DOUBLE:
        return TIFFSetField(tif, tag, atof(text));
    default:
        return 0;
    }
}

// True for the fields libtiff takes as two separate 16-bit values rather
// than as an array.
static bool is_short_pair(uint32_t tag)
{
    return tag == TIFFTAG_PAGENUMBER || tag == TIFFTAG_HALFTONEHINTS ||
           tag == TIFFTAG_DOTRANGE || tag == TIFFTAG_YCBCRSUBSAMPLING;
}

// Sets a numeric field to the `count` values in `values`, typed as `typed`
// on the command line. A setting libtiff refuses, or one that cannot be
// handed over safely (a type without a conversion, a field taken in
// another form), is reported and the run goes on. Ends the program with
// status 4 when the value array cannot be allocated.
static void set_values(const TIFFField* field, const char* typed, int count,
                       char* const values[])
{
    uint32_t tag = TIFFFieldTag(field);
    TIFFDataType type = TIFFFieldDataType(field);
    size_t width = element_width(type);
    bool pass_count = TIFFFieldPassCount(field) != 0;
    int write_count = TIFFFieldWriteCount(field);
    int result;
    if (width == 0) {
        result = 0;
    } else if (is_short_pair(tag) && count == 2) {
        result = TIFFSetField(tif, tag, (int)(uint16_t)atoi(values[0]),
                              (int)(uint16_t)atoi(values[1]));
    } else if (count == 1 && !pass_count) {
        result = set_single_value(field, values[0]);
    } else if ((!pass_count && write_count != count) ||
               (size_t)TIFFFieldSetGetSize(field) != width) {
        // libtiff would read the values in another form or width than an
        // array of `count` elements of this type.
        result = 0;
    } else {
        uint8_t* array = (uint8_t*)_TIFFmalloc((tmsize_t)(width * (size_t)count));
        if (array == nullptr) {
            fprintf(stderr, "No space for %s tag\n", typed);
            exit(4);
        }
        for (int i = 0; i < count; i++)
            convert_value(type, values[i], array + width * (size_t)i);
        if (pass_count)
            result = TIFFSetField(tif, tag, (uint32_t)count, array);
        else
            result = TIFFSetField(tif, tag, array);
        _TIFFfree(array);
    }
    if (result != 1)
        report_failed(field);
}

// Sets an ASCII field to `text` (of `length` bytes before its terminator).
// Returns TIFFSetField's result.
static int set_text(const TIFFField* field, const char* text, size_t length)
{
    if (TIFFFieldPassCount(field))
        return TIFFSetField(tif, TIFFFieldTag(field), (uint32_t)(length + 1), text);
    return TIFFSetField(tif, TIFFFieldTag(field), text);
}

// Handles "-s tag value..." at argv[at]; `last` is the index of the file
// name. Returns the index of the argument after the item.
static int set_from_arguments(char* const argv[], int at, int last)
{
    const char* typed = argv[at + 1];
    const TIFFField* field = lookup_field(typed);
    const char* name = TIFFFieldName(field);
    int remaining = last - (at + 2);  // arguments between the field and the file
    int write_count = TIFFFieldWriteCount(field);

    if (TIFFFieldDataType(field) == TIFF_ASCII) {
        const char* value = argv[at + 2];
        if (set_text(field, value, strlen(value)) != 1) {
            fprintf(stderr, "Failed to set %s=%s\n", name, value);
            any_failure = true;
        }
        return at + 3;
    }
    if (write_count > 0) {
        if (remaining < write_count) {
            fprintf(stderr,
                    "Number of tag values is not enough. Expected %d values for %s tag, got %d\n",
                    write_count, name, remaining);
            exit(4);
        }
        set_values(field, typed, write_count, argv + at + 2);
        return at + 2 + write_count;
    }
    if (write_count == TIFF_VARIABLE || write_count == TIFF_VARIABLE2) {
        // A count, then that many values.
        char* end;
        long count = strtol(argv[at + 2], &end, 10);
        if (end == argv[at + 2] || *end != '\0' || count <= 0) {
            report_failed(field);
            return at + 3;
        }
        if (count > remaining - 1) {
            fprintf(stderr,
                    "Number of tag values is not enough. Expected %d values for %s tag, got %d\n",
                    (int)(count > INT32_MAX ? INT32_MAX : count), name, remaining - 1);
            exit(4);
        }
        set_values(field, typed, (int)count, argv + at + 3);
        return at + 3 + (int)count;
    }
    // A field whose values are not given by a count of its own.
    report_failed(field);
    return at + 3;
}

// Handles "-sf tag valuefile" at argv[at]: sets an ASCII field to the
// first 999,999 bytes of the file. Returns the index after the item.
static int set_from_file(char* const argv[], int at)
{
    const char* typed = argv[at + 1];
    const char* value_name = argv[at + 2];
    const TIFFField* field = lookup_field(typed);
    if (TIFFFieldDataType(field) != TIFF_ASCII) {
        fprintf(stderr, "Only ASCII tags can be set from file. %s is not ASCII tag.\n",
                TIFFFieldName(field));
        exit(5);
    }
    FILE* value_file = fopen(value_name, "rt");
    if (value_file == nullptr) {
        perror(value_name);
        any_failure = true;
        return at + 3;
    }
    char* buffer = (char*)malloc(value_file_buffer);
    if (buffer == nullptr) {
        fprintf(stderr, "No space for %s tag\n", typed);
        exit(4);
    }
    size_t length = fread(buffer, 1, value_file_buffer - 1, value_file);
    buffer[length] = '\0';
    if (ferror(value_file)) {
        perror(value_name);
        any_failure = true;
    } else if (set_text(field, buffer, length) != 1) {
        fprintf(stderr, "Failed to set %s from file %s\n", TIFFFieldName(field), value_name);
        any_failure = true;
    }
    fclose(value_file);
    free(buffer);
    return at + 3;
}

int main(int argc, char* argv[])
{
    if (argc < 2)
        usage();
    int last = argc - 1;
    tif = open_tiff_input(argv[last], "r+");
    if (tif == nullptr)
        return 2;

    for (int at = 1; at < last;) {
        const char* item = argv[at];
        int following = last - at;  // arguments after this one, the file included
        if (strcmp(item, "-s") == 0 && following >= 3) {
            at = set_from_arguments(argv, at, last);
        } else if (strcmp(item, "-sf") == 0 && following >= 3) {
            at = set_from_file(argv, at);
        } else {
            fprintf(stderr, "Unrecognised option: %s\n", item);
            usage();
        }
    }

    if (!TIFFRewriteDirectory(tif))
        any_failure = true;
    TIFFClose(tif);
    return any_failure ? 1 : 0;
}
