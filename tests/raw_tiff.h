// A byte-level TIFF builder for tests that need files libtiff would not
// write: damaged directories, odd field values, directory chains of any
// shape, and many directories sharing one block of data.
#ifndef TESTS_RAW_TIFF_H
#define TESTS_RAW_TIFF_H

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "harness.h"

class raw_tiff {
public:
    // Starts a classic TIFF file of the given byte order whose first
    // directory pointer is filled in by the first write_ifd().
    explicit raw_tiff(bool big_endian = false) : big(big_endian)
    {
        put_text(data, big ? "MM" : "II");
        put16(data, 42);
        put32(data, 0);
    }

    // Appends `b` at an even offset and returns that offset.
    uint32_t blob(const bytes& b)
    {
        if (data.size() % 2)
            data.push_back(0);
        uint32_t offset = (uint32_t)data.size();
        data.insert(data.end(), b.begin(), b.end());
        return offset;
    }

    // Fields of the directory being built (sorted by tag when written).
    void shorts(uint16_t tag, const std::vector<uint32_t>& values)
    {
        bytes b;
        for (uint32_t v : values)
            put16(b, v);
        field(tag, TIFF_SHORT, (uint32_t)values.size(), b);
    }
    void longs(uint16_t tag, const std::vector<uint32_t>& values)
    {
        bytes b;
        for (uint32_t v : values)
            put32(b, v);
        field(tag, TIFF_LONG, (uint32_t)values.size(), b);
    }
    void ascii(uint16_t tag, const std::string& text)
    {
        bytes b(text.begin(), text.end());
        b.push_back(0);
        field(tag, TIFF_ASCII, (uint32_t)b.size(), b);
    }
    void rationals(uint16_t tag, const std::vector<std::pair<uint32_t, uint32_t>>& values)
    {
        bytes b;
        for (auto& v : values) {
            put32(b, v.first);
            put32(b, v.second);
        }
        field(tag, TIFF_RATIONAL, (uint32_t)values.size(), b);
    }
    // Any type, `value` already in the file's byte order. A field given
    // again replaces the earlier one.
    void field(uint16_t tag, uint16_t type, uint32_t count, const bytes& value)
    {
        for (entry& e : pending)
            if (e.tag == tag) {
                e = {tag, type, count, value};
                return;
            }
        pending.push_back({tag, type, count, value});
    }
    // The usual fields of an uncompressed 8-bit image of one strip per
    // entry of `strip_offsets` (each `strip_bytes` long).
    void grey_image(uint32_t width, uint32_t height, uint32_t rows_per_strip,
                    const std::vector<uint32_t>& strip_offsets,
                    const std::vector<uint32_t>& strip_bytes)
    {
        longs(256, {width});
        longs(257, {height});
        shorts(258, {8});
        shorts(259, {1});
        shorts(262, {1});
        longs(273, strip_offsets);
        shorts(277, {1});
        longs(278, {rows_per_strip});
        longs(279, strip_bytes);
    }

    // Writes the pending fields as a directory and returns its offset.
    // A chained directory is linked from the previous one (or the header);
    // one that is not (an EXIF directory) is only reached through a field
    // that points to it.
    uint32_t write_ifd(bool chained = true)
    {
        std::stable_sort(pending.begin(), pending.end(),
                         [](const entry& a, const entry& b) { return a.tag < b.tag; });
        std::vector<uint32_t> value_offsets;
        for (entry& e : pending)
            value_offsets.push_back(e.value.size() > 4 ? blob(e.value) : 0);
        if (data.size() % 2)
            data.push_back(0);
        uint32_t offset = (uint32_t)data.size();
        put16(data, (uint32_t)pending.size());
        for (size_t i = 0; i < pending.size(); i++) {
            const entry& e = pending[i];
            put16(data, e.tag);
            put16(data, e.type);
            put32(data, e.count);
            if (e.value.size() > 4) {
                put32(data, value_offsets[i]);
            } else {
                bytes inline_value = e.value;
                inline_value.resize(4, 0);
                data.insert(data.end(), inline_value.begin(), inline_value.end());
            }
        }
        size_t next_at = data.size();
        put32(data, 0);
        if (chained) {
            patch32(link_at, offset);
            link_at = next_at;
        }
        pending.clear();
        return offset;
    }

    // Overwrites the 32-bit value at `at` (in the file's byte order).
    void patch32(size_t at, uint32_t v)
    {
        bytes b;
        put32(b, v);
        std::copy(b.begin(), b.end(), data.begin() + (ptrdiff_t)at);
    }

    // Where the last directory keeps its next-directory pointer.
    size_t last_link() const { return link_at; }

    void put16(bytes& b, uint32_t v) const { big ? put_be16(b, v) : put_le16(b, v); }
    void put32(bytes& b, uint32_t v) const { big ? put_be32(b, v) : put_le32(b, v); }

    bytes data;

private:
    struct entry {
        uint16_t tag, type;
        uint32_t count;
        bytes value;
    };
    bool big;
    std::vector<entry> pending;
    size_t link_at = 4;
};

#endif
