// The marker scanner shared by noteinsert and notelist: reading the header
// of a JPEG stream strictly forward, byte by byte, without any image
// library; matching abbreviated switches; the fatal-message convention.
#ifndef JPEGNOTES_MARKER_SCAN_H
#define JPEGNOTES_MARKER_SCAN_H

#include <cstdio>

// Marker codes (the byte after 0xFF) that the tools act on.
enum : int {
    M_SOF0 = 0xC0,  // first frame marker; see is_frame_marker for the rest
    M_SOI = 0xD8,
    M_EOI = 0xD9,
    M_SOS = 0xDA,
    M_APP12 = 0xEC,
    M_COM = 0xFE,
};

// The name used in the tools' messages: argv[0], or `fallback` when
// argv[0] is missing or empty. Set once by set_program_label.
extern const char* program_label;
void set_program_label(int argc, char* argv[], const char* fallback);

// Prints `message` and a line end on standard error and ends the program
// with status 1 (standard output is flushed on the way out).
[[noreturn]] void fatal(const char* message);

// True for the start-of-frame markers C0-C3, C5-C7, C9-CB, CD-CF
// (C4, C8 and CC are other markers).
bool is_frame_marker(int code);

// The next byte of `in` (0-255); end of stream is fatal
// ("Premature EOF in JPEG file").
int take_byte(FILE* in);

// The next two bytes of `in` as a big-endian 16-bit value; end of stream
// at either byte is fatal.
unsigned take_word(FILE* in);

// Skips to the next marker and returns its code (0x00-0xFE). Bytes other
// than 0xFF before the marker are discarded with one warning on standard
// error; extra 0xFF fill bytes are skipped silently.
int seek_marker(FILE* in);

// Reads the first two bytes of `in`; unless they are FF D8 (start of
// image), fatal "Not a JPEG file".
void expect_soi(FILE* in);

// Reads a segment's length field and discards the rest of the segment; a
// length below 2 is fatal ("Erroneous JPEG marker length").
void skip_segment(FILE* in);

// True when `text` (a switch without its leading '-') is `keyword` or an
// abbreviation of it at least `min_chars` characters long. Upper-case
// letters of `text` count as lower case; an empty text never matches.
bool match_switch(const char* text, const char* keyword, int min_chars);

// Flushes standard output; a failed write is fatal, so that a lost
// output is never reported as success.
void finish_output();

#endif
