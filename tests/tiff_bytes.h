// Raw access to little-endian classic TIFF files, as libtiff writes them
// on this machine: the tags a directory holds, and damage done in place for
// tests of how a program treats input it cannot read. Header-only.
#ifndef TESTS_TIFF_BYTES_H
#define TESTS_TIFF_BYTES_H

#include <cstdint>
#include <set>
#include <string>

#include "harness.h"

// Little-endian readers over a file's bytes.
inline uint32_t file_u16(const std::string& file, size_t at)
{
    if (at + 2 > file.size())
        return 0;
    return (uint32_t)(uint8_t)file[at] | (uint32_t)(uint8_t)file[at + 1] << 8;
}

inline uint32_t file_u32(const std::string& file, size_t at)
{
    return file_u16(file, at) | file_u16(file, at + 2) << 16;
}

// The tag numbers of the first directory of `path` (empty when the file is
// not a little-endian classic TIFF file).
inline std::set<uint16_t> directory_tags(const std::string& path)
{
    std::set<uint16_t> tags;
    std::string file = read_file(path);
    if (file.size() < 8 || file.compare(0, 4, std::string("II*\0", 4)) != 0)
        return tags;
    size_t ifd = file_u32(file, 4);
    uint32_t entries = file_u16(file, ifd);
    for (uint32_t i = 0; i < entries; i++)
        tags.insert((uint16_t)file_u16(file, ifd + 2 + 12 * (size_t)i));
    return tags;
}

// Points strip (or tile) `strip` of the first directory of the
// little-endian classic TIFF file `path` far past the end of the file, so
// that reading the rows of that strip fails while every other strip reads
// as before. Returns false (with a test failure) when the file is not laid
// out as expected.
inline bool break_strip(const std::string& path, uint32_t strip)
{
    std::string file = read_file(path);
    auto u16 = [&](size_t at) { return file_u16(file, at); };
    auto u32 = [&](size_t at) { return file_u32(file, at); };
    if (file.size() < 8 || file.compare(0, 4, std::string("II*\0", 4)) != 0) {
        ADD_FAILURE() << path << " is not a little-endian classic TIFF file";
        return false;
    }
    size_t ifd = u32(4);
    uint32_t entries = u16(ifd);
    for (uint32_t i = 0; i < entries; i++) {
        size_t entry = ifd + 2 + 12 * (size_t)i;
        if (u16(entry) != TIFFTAG_STRIPOFFSETS && u16(entry) != TIFFTAG_TILEOFFSETS)
            continue;
        uint32_t type = u16(entry + 2), count = u32(entry + 4);
        uint32_t size = type == TIFF_SHORT ? 2 : 4;
        if (strip >= count || (type != TIFF_SHORT && type != TIFF_LONG))
            break;
        size_t values = (size_t)count * size <= 4 ? entry + 8 : u32(entry + 8);
        size_t at = values + (size_t)strip * size;
        if (at + size > file.size())
            break;
        for (uint32_t b = 0; b < size; b++)
            file[at + b] = (char)0xf0;
        write_file(path, file);
        return true;
    }
    ADD_FAILURE() << path << ": no strip " << strip;
    return false;
}

// Overwrites the middle third of the bytes of strip (or tile) `strip` of
// the first directory of `path` with a pattern, so that a compressed
// strip decodes its first rows and then fails. Returns false (with a test
// failure) when there is no such strip.
inline bool garble_strip(const std::string& path, uint32_t strip)
{
    uint64_t offset = 0, count = 0;
    {
        tiff_handle t = open_tiff(path);
        if (t && strip < TIFFNumberOfStrips(t.get())) {
            offset = TIFFGetStrileOffset(t.get(), strip);
            count = TIFFGetStrileByteCount(t.get(), strip);
        }
    }
    std::string file = read_file(path);
    if (count < 3 || offset + count > file.size()) {
        ADD_FAILURE() << path << ": no strip " << strip << " to garble";
        return false;
    }
    for (uint64_t i = count / 3; i < 2 * count / 3; i++)
        file[offset + i] = (char)(0xff ^ (i * 37));
    write_file(path, file);
    return true;
}

#endif
