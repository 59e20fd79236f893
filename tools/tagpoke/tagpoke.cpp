// tagpoke: sets fields of the first directory of an existing TIFF file in
// place.
//
//   tagpoke [-s tag [count] value... | -sf tag valuefile]... file.tif
//
// The file is opened for update; each field named is set through libtiff,
// its values converted by the field's data type as libtiff describes it,
// and the directory is rewritten at the end. Image data is never touched.
// Every item is checked first: a run that stops on a bad item (statuses
// 1 for a value that is not one of the field's type, 3, 4, 5, -1) leaves
// the file as it was.

#include <cfloat>
#include <cstdarg>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <tiffio.h>

#include "standard_options.h"
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

// Writes the help text to `out`.
static void write_usage(FILE* out)
{
    for (int i = 0; help_lines[i] != nullptr; i++)
        fprintf(out, "%s\n", help_lines[i]);
}

// Prints the help text on standard error and ends the program with -1.
[[noreturn]] static void usage()
{
    write_usage(stderr);
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

// One value read from the command line: integer types in `integer`, the
// floating-point ones in `real`.
struct value {
    int64_t integer;
    double real;
};

// The range of the integer `type`.
static void integer_range(TIFFDataType type, int64_t* low, int64_t* high)
{
    switch (type) {
    case TIFF_BYTE: *low = 0; *high = UINT8_MAX; break;
    case TIFF_SBYTE: *low = INT8_MIN; *high = INT8_MAX; break;
    case TIFF_SHORT: *low = 0; *high = UINT16_MAX; break;
    case TIFF_SSHORT: *low = INT16_MIN; *high = INT16_MAX; break;
    case TIFF_SLONG: *low = INT32_MIN; *high = INT32_MAX; break;
    default: *low = 0; *high = UINT32_MAX; break;  // LONG, IFD
    }
}

// Reads `text` as a whole number within [low, high]: decimal digits, or
// hexadecimal ones after "0x", with a sign in front only when low is
// below 0. Nothing else may come before or after.
static bool read_integer(const char* text, int64_t low, int64_t high, int64_t* result)
{
    const char* p = text;
    bool negative = false;
    if ((*p == '-' || *p == '+') && low < 0) {
        negative = *p == '-';
        p++;
    }
    int base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    if (*p == '\0')
        return false;
    uint64_t magnitude = 0;
    for (; *p != '\0'; p++) {
        int digit;
        if (*p >= '0' && *p <= '9')
            digit = *p - '0';
        else if (base == 16 && *p >= 'a' && *p <= 'f')
            digit = *p - 'a' + 10;
        else if (base == 16 && *p >= 'A' && *p <= 'F')
            digit = *p - 'A' + 10;
        else
            return false;
        magnitude = magnitude * (uint64_t)base + (uint64_t)digit;
        if (magnitude > (uint64_t)1 << 33)
            return false;  // beyond every range, and no further overflow
    }
    int64_t v = negative ? -(int64_t)magnitude : (int64_t)magnitude;
    if (v < low || v > high)
        return false;
    *result = v;
    return true;
}

// Reads `text` as a finite number of at most `largest` in magnitude, as
// strtod reads it, with nothing before or after it; a sign in front only
// when `signed_type`.
static bool read_real(const char* text, bool signed_type, double largest, double* result)
{
    const char* p = text;
    if ((*p == '-' || *p == '+') && signed_type)
        p++;
    if (!((*p >= '0' && *p <= '9') || *p == '.'))
        return false;  // no space, second sign, "inf" or "nan"
    char* end;
    double v = strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(v) || std::fabs(v) > largest)
        return false;
    *result = v;
    return true;
}

// Reads `text` as one value of `type` (a type element_width knows):
// integer types a whole number within the type's range; RATIONAL a
// number without a sign, SRATIONAL one with or without, both within the
// range their 32-bit numerators can hold; FLOAT and DOUBLE any finite
// number of their range. Returns false when `text` is no such value.
static bool read_value(TIFFDataType type, const char* text, value* v)
{
    switch (type) {
    case TIFF_RATIONAL:
        // As stored, a float: the largest below 2^32.
        return read_real(text, false, 4294967040.0, &v->real);
    case TIFF_SRATIONAL:
        return read_real(text, true, 2147483520.0, &v->real);
    case TIFF_FLOAT:
        return read_real(text, true, FLT_MAX, &v->real);
    case TIFF_DOUBLE:
        return read_real(text, true, DBL_MAX, &v->real);
    default: {
        int64_t low, high;
        integer_range(type, &low, &high);
        return read_integer(text, low, high, &v->integer);
    }
    }
}

// What read_value takes for `type`, for the message about a value it
// refused.
static const char* expected_value(TIFFDataType type)
{
    switch (type) {
    case TIFF_BYTE: return "a whole number from 0 to 255";
    case TIFF_SBYTE: return "a whole number from -128 to 127";
    case TIFF_SHORT: return "a whole number from 0 to 65535";
    case TIFF_SSHORT: return "a whole number from -32768 to 32767";
    case TIFF_SLONG: return "a whole number from -2147483648 to 2147483647";
    case TIFF_RATIONAL: return "a number from 0 to 4294967040, without a sign";
    case TIFF_SRATIONAL: return "a number from -2147483520 to 2147483520";
    case TIFF_FLOAT: return "a finite number within the range of a float";
    case TIFF_DOUBLE: return "a finite number";
    default: return "a whole number from 0 to 4294967295";  // LONG, IFD
    }
}

// Ends the program with status 1, naming the value and the field, unless
// each of the `count` values is a value of the field's type. Values of
// a type without a conversion are not read (setting them fails later).
static void check_values(const TIFFField* field, int count, char* const values[])
{
    TIFFDataType type = TIFFFieldDataType(field);
    if (element_width(type) == 0)
        return;
    value v;
    for (int i = 0; i < count; i++) {
        if (!read_value(type, values[i], &v)) {
            fprintf(stderr, "Bad value %s for %s tag: expected %s\n", values[i],
                    TIFFFieldName(field), expected_value(type));
            exit(1);
        }
    }
}

// Reads `text`, checked by check_values, as a value of `type`.
static value checked_value(TIFFDataType type, const char* text)
{
    value v = {0, 0};
    read_value(type, text, &v);
    return v;
}

// Converts `text` to one value of `type` and stores it at `slot`, which
// has room for element_width(type) bytes.
static void convert_value(TIFFDataType type, const char* text, void* slot)
{
    value v = checked_value(type, text);
    switch (type) {
    case TIFF_BYTE: {
        uint8_t x = (uint8_t)v.integer;
        memcpy(slot, &x, 1);
        break;
    }
    case TIFF_SBYTE: {
        int8_t x = (int8_t)v.integer;
        memcpy(slot, &x, 1);
        break;
    }
    case TIFF_SHORT: {
        uint16_t x = (uint16_t)v.integer;
        memcpy(slot, &x, 2);
        break;
    }
    case TIFF_SSHORT: {
        int16_t x = (int16_t)v.integer;
        memcpy(slot, &x, 2);
        break;
    }
    case TIFF_LONG:
    case TIFF_IFD: {
        uint32_t x = (uint32_t)v.integer;
        memcpy(slot, &x, 4);
        break;
    }
    case TIFF_SLONG: {
        int32_t x = (int32_t)v.integer;
        memcpy(slot, &x, 4);
        break;
    }
    case TIFF_RATIONAL:
    case TIFF_SRATIONAL:
    case TIFF_FLOAT: {
        float x = (float)v.real;
        memcpy(slot, &x, 4);
        break;
    }
    case TIFF_DOUBLE:
        memcpy(slot, &v.real, 8);
        break;
    default:
        break;
    }
}

// Sets a field that takes a single value, passed as libtiff reads it for
// the field's type. Returns TIFFSetField's result.
static int set_single_value(const TIFFField* field, const char* text)
{
    uint32_t tag = TIFFFieldTag(field);
    TIFFDataType type = TIFFFieldDataType(field);
    value v = checked_value(type, text);
    switch (type) {
    case TIFF_BYTE:
    case TIFF_SBYTE:
    case TIFF_SHORT:
    case TIFF_SSHORT:
        return TIFFSetField(tif, tag, (int)v.integer);
    case TIFF_LONG:
    case TIFF_IFD:
        return TIFFSetField(tif, tag, (uint32_t)v.integer);
    case TIFF_SLONG:
        return TIFFSetField(tif, tag, (int32_t)v.integer);
    case TIFF_RATIONAL:
    case TIFF_SRATIONAL:
    case TIFF_FLOAT:
        return TIFFSetField(tif, tag, (double)(float)v.real);
    case TIFF_DOUBLE:
        return TIFFSetField(tif, tag, v.real);
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
        result = TIFFSetField(tif, tag, (int)checked_value(type, values[0]).integer,
                              (int)checked_value(type, values[1]).integer);
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

// Reads the count of a variable-count item: a whole decimal number from
// 1 (one too large for a long is held at LONG_MAX, and is more values
// than there are). Ends the program with status 1 when it is no count.
static long read_count(const TIFFField* field, const char* text)
{
    bool digits = text[0] != '\0' && strspn(text, "0123456789") == strlen(text);
    long count = digits ? strtol(text, nullptr, 10) : 0;
    if (count < 1) {
        fprintf(stderr, "Bad count %s for %s tag: expected a whole number from 1\n", text,
                TIFFFieldName(field));
        exit(1);
    }
    return count;
}

// Handles "-s tag value..." at argv[at]; `last` is the index of the file
// name. Unless `apply`, only checks the item: the field, the number of
// values and each value (a bad one ends the program). Returns the index
// of the argument after the item.
static int set_from_arguments(char* const argv[], int at, int last, bool apply)
{
    const char* typed = argv[at + 1];
    const TIFFField* field = lookup_field(typed);
    const char* name = TIFFFieldName(field);
    int remaining = last - (at + 2);  // arguments between the field and the file
    int write_count = TIFFFieldWriteCount(field);

    if (TIFFFieldDataType(field) == TIFF_ASCII) {
        const char* value = argv[at + 2];
        if (apply && set_text(field, value, strlen(value)) != 1) {
            fprintf(stderr, "Failed to set %s=%s\n", name, value);
            any_failure = true;
        }
        return at + 3;
    }
    int count, first = at + 2;
    if (write_count > 0) {
        count = write_count;
    } else if (write_count == TIFF_VARIABLE || write_count == TIFF_VARIABLE2) {
        // A count, then that many values.
        long counted = read_count(field, argv[at + 2]);
        first = at + 3;
        remaining--;
        count = counted > INT32_MAX ? INT32_MAX : (int)counted;
    } else {
        // A field whose values are not given by a count of its own.
        if (apply)
            report_failed(field);
        return at + 3;
    }
    if (remaining < count) {
        fprintf(stderr,
                "Number of tag values is not enough. Expected %d values for %s tag, got %d\n",
                count, name, remaining);
        exit(4);
    }
    if (apply)
        set_values(field, typed, count, argv + first);
    else
        check_values(field, count, argv + first);
    return first + count;
}

// Handles "-sf tag valuefile" at argv[at]: sets an ASCII field to the
// first 999,999 bytes of the file; unless `apply`, only checks that the
// field is ASCII. Returns the index after the item.
static int set_from_file(char* const argv[], int at, bool apply)
{
    const char* typed = argv[at + 1];
    const char* value_name = argv[at + 2];
    const TIFFField* field = lookup_field(typed);
    if (TIFFFieldDataType(field) != TIFF_ASCII) {
        fprintf(stderr, "Only ASCII tags can be set from file. %s is not ASCII tag.\n",
                TIFFFieldName(field));
        exit(5);
    }
    if (!apply)
        return at + 3;
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

// Walks the items before the file name argv[last], setting each field
// when `apply`, else only checking them all. An item that is not
// recognised ends the program.
static void handle_items(char* const argv[], int last, bool apply)
{
    for (int at = 1; at < last;) {
        const char* item = argv[at];
        int following = last - at;  // arguments after this one, the file included
        if (strcmp(item, "-s") == 0 && following >= 3) {
            at = set_from_arguments(argv, at, last, apply);
        } else if (strcmp(item, "-sf") == 0 && following >= 3) {
            at = set_from_file(argv, at, apply);
        } else {
            fprintf(stderr, "Unrecognised option: %s\n", item);
            usage();
        }
    }
}

// Drops a warning: those of the file come once, from its opening for
// update.
static int ignore_warning(TIFF*, void*, const char*, const char*, va_list)
{
    return 1;
}

// Opens `name` for reading only, its warnings kept back. Returns nullptr
// (libtiff has reported why) when it does not open.
static TIFF* open_for_checking(const char* name)
{
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (options == nullptr)
        return nullptr;
    TIFFOpenOptionsSetWarningHandlerExtR(options, ignore_warning, nullptr);
    TIFF* t = TIFFOpenExt(name, "r", options);
    TIFFOpenOptionsFree(options);
    return t;
}

int main(int argc, char* argv[])
{
    // Arguments are read by position: --help and --version only as the first.
    const char* first = argc > 1 ? argv[1] : nullptr;
    answer_standard_option(first, "tagpoke", write_usage, TIFFGetVersion());
    if (argc < 2)
        usage();
    int last = argc - 1;

    // Every item is checked before the file is opened for update, so that
    // a bad one leaves it as it was, whether or not it could be written.
    tif = open_for_checking(argv[last]);
    if (tif == nullptr)
        return 2;
    handle_items(argv, last, false);
    TIFFClose(tif);

    tif = open_tiff_input(argv[last], "r+");
    if (tif == nullptr)
        return 2;
    handle_items(argv, last, true);

    if (!TIFFRewriteDirectory(tif))
        any_failure = true;
    TIFFClose(tif);
    return any_failure ? 1 : 0;
}
