// noteinsert and notelist through their command lines, on JPEG byte
// streams built here marker by marker; outputs are checked byte for byte.
#include "harness.h"

#include <cstdlib>
#include <sys/wait.h>

namespace {

// ---- Building JPEG streams ---------------------------------------------

const std::string SOI = "\xFF\xD8", EOI = "\xFF\xD9";

std::string marker(int code) { return std::string{'\xFF', char(code)}; }

// A marker segment: FF, the code, the length field (contents + 2), contents.
std::string segment(int code, const std::string& contents)
{
    size_t n = contents.size() + 2;
    return marker(code) + char(n >> 8) + char(n & 0xFF) + contents;
}

// A frame header segment with `components` component descriptions.
std::string frame(int code, unsigned width, unsigned height, int components = 3,
                  int precision = 8)
{
    std::string c{char(precision), char(height >> 8), char(height & 0xFF),
                  char(width >> 8), char(width & 0xFF), char(components)};
    for (int i = 1; i <= components; i++)
        c += std::string{char(i), '\x11', '\0'};
    return segment(code, c);
}

const std::string APP0 = segment(0xE0, std::string("JFIF\0\1\1\0\0\1\0\1\0\0", 14));
const std::string DQT = segment(0xDB, std::string(65, '\x05'));
// A scan and its entropy-coded data, with stuffed FF 00, a restart marker
// and a comment that only a parser of the scan would see.
const std::string SCAN = segment(0xDA, std::string("\3\1\0\2\x11\3\x11\0\x3F\0", 10)) +
                         std::string("\x12\xFF\x00\x34\xFF\xD0\x56", 7) +
                         segment(0xFE, "after the scan") + "\x78\x9A" + EOI;

std::string as_string(const bytes& b) { return std::string(b.begin(), b.end()); }

run_options piped(const std::string& input)
{
    run_options options;
    options.input = input;
    return options;
}

class Jpegnotes : public ToolTest {
protected:
    run_result noteinsert(std::vector<std::string> args, const std::string& jpeg)
    {
        write_file(path("in.jpg"), jpeg);
        args.push_back("in.jpg");
        return run("noteinsert", args);
    }
    run_result notelist(std::vector<std::string> args, const std::string& jpeg)
    {
        write_file(path("in.jpg"), jpeg);
        args.push_back("in.jpg");
        return run("notelist", args);
    }
};

const std::string noteinsert_usage =
    "noteinsert inserts a textual comment in a JPEG file.\n"
    "You can add to or replace any existing comment(s).\n"
    "Usage: noteinsert [switches] [inputfile]\n"
    "Switches (names may be abbreviated):\n"
    "  -replace         Delete any existing comments\n"
    "  -comment \"text\"  Insert comment with given text\n"
    "  -cfile name      Read comment from named file\n"
    "Notice that you must put quotes around the comment text\n"
    "when you use -comment.\n"
    "If you do not give either -comment or -cfile on the command line,\n"
    "then the comment text is read from standard input.\n"
    "It can be multiple lines, up to 65000 characters total.\n"
    "You must specify an input JPEG file name when supplying\n"
    "comment text from standard input.\n";

const std::string notelist_usage =
    "notelist displays any textual comments in a JPEG file.\n"
    "Usage: notelist [switches] [inputfile]\n"
    "Switches (names may be abbreviated):\n"
    "  -verbose    Also display dimensions of JPEG image\n";

const std::string too_long = "Comment text may not exceed 65000 bytes\n";

// ---- noteinsert ---------------------------------------------------------

TEST_F(Jpegnotes, InsertsBeforeTheFrameAndCopiesTheRestExactly)
{
    bytes body = pattern_bytes(300000, 9);  // many FF bytes among them
    std::string tail = frame(0xC0, 640, 480) + DQT + SCAN + as_string(body);
    run_result r = noteinsert({"-c", "hello"}, SOI + APP0 + DQT + tail);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.out == SOI + APP0 + DQT + std::string("\xFF\xFE\0\7hello", 9) + tail);

    // The same from standard input.
    r = run("noteinsert", {"-c", "hello"}, piped(SOI + APP0 + tail));
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out == SOI + APP0 + std::string("\xFF\xFE\0\7hello", 9) + tail);

    // A stream that ends right after the frame marker code.
    r = noteinsert({"-c", "x"}, SOI + marker(0xC2));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, SOI + segment(0xFE, "x") + marker(0xC2));
}

TEST_F(Jpegnotes, KeepsOrDropsTheOldComments)
{
    std::string head = SOI + APP0 + segment(0xFE, "old one") + DQT + segment(0xFE, "old two");
    std::string tail = frame(0xC1, 8, 8) + segment(0xFE, "after frame") + SCAN;
    run_result r = noteinsert({"-c", "new"}, head + tail);
    EXPECT_EQ(r.out, head + segment(0xFE, "new") + tail);

    r = noteinsert({"-replace", "-comment", "new"}, head + tail);
    EXPECT_EQ(r.out, SOI + APP0 + DQT + segment(0xFE, "new") + tail);

    // An empty comment adds nothing: only the old ones before the frame go.
    r = noteinsert({"-R", "-c", ""}, head + tail);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, SOI + APP0 + DQT + tail);

    // With no frame at all, the comment goes just before the end of image.
    r = noteinsert({"-c", "end"}, SOI + EOI);
    EXPECT_EQ(r.out, SOI + segment(0xFE, "end") + EOI);
}

TEST_F(Jpegnotes, CommentFromFileOrStandardInputUpToTheLimit)
{
    std::string jpeg = SOI + frame(0xC0, 1, 1, 1) + SCAN;
    std::string text(65000, 'a');
    text[0] = '\r', text[1] = '\n', text[2] = '\xE9', text[3] = '\0';
    write_file(path("c.txt"), text);
    run_result r = noteinsert({"-cf", "c.txt"}, jpeg);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out == SOI + "\xFF\xFE\xFD\xEA" + text + jpeg.substr(2));

    write_file(path("c.txt"), text + "b");
    r = noteinsert({"-CFILE", "c.txt"}, jpeg);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, too_long);
    EXPECT_TRUE(r.out.empty()) << r.out.size() << " bytes written";

    write_file(path("in.jpg"), jpeg);
    r = run("noteinsert", {"in.jpg"}, piped("line 1\nline 2\n"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, SOI + segment(0xFE, "line 1\nline 2\n") + jpeg.substr(2));
    r = run("noteinsert", {"in.jpg"}, piped(text + text));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, too_long);
    EXPECT_TRUE(r.out.empty()) << r.out.size() << " bytes written";
}

TEST_F(Jpegnotes, CommandLineTextQuotingAndLimit)
{
    std::string jpeg = SOI + frame(0xC0, 1, 1, 1) + SCAN;
    auto inserted = [&](const std::string& text) {
        return SOI + segment(0xFE, text) + jpeg.substr(2);
    };
    run_result r = noteinsert({"-comment", "\"two", "words", "here\""}, jpeg);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, inserted("two words here"));
    EXPECT_EQ(noteinsert({"-co", "\"one\""}, jpeg).out, inserted("one"));
    EXPECT_EQ(noteinsert({"-c", "\"", "a\"b", "\""}, jpeg).out, inserted(" a\"b "));
    EXPECT_EQ(noteinsert({"-c", "no\"quote\""}, jpeg).out, inserted("no\"quote\""));
    // The last of several switches counts.
    EXPECT_EQ(noteinsert({"-c", "first", "-c", "second"}, jpeg).out, inserted("second"));

    r = noteinsert({"-c", "\"two", "words"}, jpeg);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Missing ending quote mark\n");
    EXPECT_TRUE(r.out.empty()) << r.out.size() << " bytes written";

    // 65000 bytes of text fit the segment, quoted or not; one more never does.
    std::string full(65000, 'q');
    EXPECT_TRUE(noteinsert({"-c", full}, jpeg).out == inserted(full));
    EXPECT_TRUE(noteinsert({"-c", "\"" + full.substr(10), full.substr(0, 9) + "\""}, jpeg).out ==
                inserted(full.substr(10) + " " + full.substr(0, 9)));
    for (std::vector<std::string> args :
         {std::vector<std::string>{"-c", full + "q"},
          std::vector<std::string>{"-c", "\"" + full + "q\""},
          std::vector<std::string>{"-c", "\"" + full.substr(10), full.substr(0, 10) + "\""}}) {
        r = noteinsert(args, jpeg);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, too_long);
        EXPECT_TRUE(r.out.empty()) << r.out.size() << " bytes written";
    }
}

TEST_F(Jpegnotes, NoteinsertUsageAndOpenErrors)
{
    write_file(path("in.jpg"), SOI + EOI);
    for (std::vector<std::string> args :
         {std::vector<std::string>{}, {"-r"}, {"-x", "in.jpg"}, {"-c"}, {"-cf"},
          {"-c", "a", "-cf", "in.jpg", "in.jpg"}, {"-", "in.jpg"}, {"-cfilex", "a", "in.jpg"},
          {"-commentx", "a", "in.jpg"}}) {
        run_result r = run("noteinsert", args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, noteinsert_usage);
        EXPECT_TRUE(r.out.empty()) << r.out.size() << " bytes written";
    }
    run_result r = run("noteinsert", {"-c", "a", "in.jpg", "in.jpg"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "noteinsert: only one input file\n" + noteinsert_usage);
    r = run("noteinsert", {"-c", "a", "nosuch.jpg"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "noteinsert: can't open nosuch.jpg\n");
    r = run("noteinsert", {"-cf", "nosuch.txt", "in.jpg"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "noteinsert: can't open nosuch.txt\n");
    // A comment file that opens but cannot be read is not an empty comment.
    r = run("noteinsert", {"-cf", ".", "in.jpg"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "noteinsert: can't read .\n");
    EXPECT_TRUE(r.out.empty()) << r.out.size() << " bytes written";
}

TEST_F(Jpegnotes, NoteinsertHeaderFaults)
{
    // A scan before any frame; what was already copied stays written.
    run_result r = noteinsert({"-c", "x"}, SOI + APP0 + SCAN);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "SOS without prior SOFn\n");
    EXPECT_EQ(r.out, SOI + APP0);

    // The bad length field is written before it is refused.
    r = noteinsert({"-c", "x"}, SOI + std::string("\xFF\xE1\x00\x01", 4) + SCAN);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Erroneous JPEG marker length\n");
    EXPECT_EQ(r.out, SOI + std::string("\xFF\xE1\x00\x01", 4));

    // Garbage and fill bytes before markers are not copied; FF 00 starts a
    // segment like any other code.
    std::string tail = frame(0xC0, 2, 2) + SCAN;
    r = noteinsert({"-c", "x"}, SOI + std::string("\x00\x12", 2) + APP0 + "\xFF\xFF" +
                                    segment(0x00, "ab") + "junk" + tail);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Warning: garbage data found in JPEG file\n"
                     "Warning: garbage data found in JPEG file\n");
    EXPECT_EQ(r.out, SOI + APP0 + segment(0x00, "ab") + segment(0xFE, "x") + tail);
}

TEST_F(Jpegnotes, WriteFailureIsNotSuccess)
{
    for (const char* command : {"noteinsert -c x in.jpg", "notelist in.jpg"}) {
        // A comment makes notelist print something as well.
        write_file(path("in.jpg"), SOI + segment(0xFE, "c") + frame(0xC0, 1, 1) + SCAN);
        std::string line = "cd '" + dir + "' && exec " + TOOLS_DIR + "/" + command +
                           " >/dev/full 2>err.txt";
        int status = std::system(line.c_str());
        ASSERT_TRUE(WIFEXITED(status)) << command;
        EXPECT_EQ(WEXITSTATUS(status), 1) << command;
        EXPECT_EQ(read_file(path("err.txt")), "Error writing standard output\n");
    }
}

// Without a program name (an empty argv[0]) the messages use the tool's own.
TEST_F(Jpegnotes, EmptyProgramNameFallsBackToTheToolsName)
{
    write_file(path("x"), "");
    for (std::string program : {"noteinsert", "notelist"}) {
        std::string line = "cd '" + dir + "' && exec -a '' " + TOOLS_DIR + "/" + program +
                           (program == "notelist" ? " -v" : " -c c") +
                           " x y 2>err.txt";
        int status = std::system(("bash -c \"" + line + "\"").c_str());
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 1);
        EXPECT_EQ(read_file(path("err.txt")),
                  program == "notelist" ? "notelist: only one input file\n" + notelist_usage
                                        : "noteinsert: only one input file\n" + noteinsert_usage);
    }
}

// ---- notelist -----------------------------------------------------------

TEST_F(Jpegnotes, CommentsWithControlCharactersMadeVisible)
{
    std::string jpeg = SOI + segment(0xFE, "Hi\r\nt\t") + segment(0xFE, "\\") +
                       segment(0xFE, "\xE9") + segment(0xFE, "") +
                       segment(0xFE, std::string("a\rb\nc\n\rd\r\r\n\0\x7F ~\x1B\x80\xFF", 18)) +
                       segment(0xFE, "ends in CR\r") + segment(0xFE, "\nstarts with LF") +
                       frame(0xC0, 1, 1) + SCAN;
    run_result r = notelist({}, jpeg);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "Hi\nt\\011\n"
                     "\\\\\n"
                     "\\351\n"
                     "\n"
                     "a\nb\nc\n\nd\n\n\\000\\177 ~\\033\\200\\377\n"
                     "ends in CR\n\n"
                     "\nstarts with LF\n");
}

TEST_F(Jpegnotes, VerboseFramesAndApp12InHeaderOrder)
{
    std::string jpeg = SOI + APP0 + segment(0xFE, "before") + segment(0xEC, "Ducky\r\nq") +
                       frame(0xC0, 640, 480) + segment(0xFE, "after") + SCAN +
                       segment(0xFE, "after the end");
    run_result r = notelist({"-v"}, jpeg);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "before\n"
                     "APP12 contains:\nDucky\nq\n"
                     "JPEG image is 640w * 480h, 3 color components, 8 bits per sample\n"
                     "JPEG process: Baseline\n"
                     "after\n");
    // Without -verbose frames and APP12 print nothing.
    EXPECT_EQ(notelist({}, jpeg).out, "before\nafter\n");
    EXPECT_EQ(notelist({}, SOI + APP0 + frame(0xC0, 1, 1) + SCAN).out, "");

    // A hierarchical file: every frame before the first scan, with large
    // sizes and other precisions; EOI ends the walk too.
    std::string names[] = {"Differential sequential", "Differential progressive",
                           "Differential lossless, arithmetic coding"};
    jpeg = SOI + segment(0xDE, std::string("\x0C\xFF\xFF\xFF\xFF\x01", 6)) +
           frame(0xC5, 65535, 65535, 1, 12) + frame(0xC6, 100, 0, 4, 16) +
           frame(0xCF, 0, 1, 255, 2) + EOI + segment(0xFE, "not seen") + SCAN;
    r = notelist({"-VERBOSE", "-verb"}, jpeg);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "JPEG image is 65535w * 65535h, 1 color components, 12 bits per sample\n"
              "JPEG process: " + names[0] + "\n"
              "JPEG image is 100w * 0h, 4 color components, 16 bits per sample\n"
              "JPEG process: " + names[1] + "\n"
              "JPEG image is 0w * 1h, 255 color components, 2 bits per sample\n"
              "JPEG process: " + names[2] + "\n");

    // Every frame marker names its process; C4, C8 and CC are not frames.
    const char* process[16] = {
        "Baseline", "Extended sequential", "Progressive", "Lossless", nullptr,
        "Differential sequential", "Differential progressive", "Differential lossless",
        nullptr, "Extended sequential, arithmetic coding", "Progressive, arithmetic coding",
        "Lossless, arithmetic coding", nullptr, "Differential sequential, arithmetic coding",
        "Differential progressive, arithmetic coding",
        "Differential lossless, arithmetic coding"};
    for (int code = 0xC0; code <= 0xCF; code++) {
        r = notelist({"-v"}, SOI + frame(code, 3, 2, 1) + SCAN);
        EXPECT_EQ(r.status, 0);
        std::string expected;
        if (process[code - 0xC0])
            expected = "JPEG image is 3w * 2h, 1 color components, 8 bits per sample\n"
                       "JPEG process: " + std::string(process[code - 0xC0]) + "\n";
        EXPECT_EQ(r.out, expected) << std::hex << code;
    }
}

TEST_F(Jpegnotes, BogusFrameLengthAfterItsLines)
{
    std::string bad = frame(0xC2, 5, 6);
    bad[3] += 1;  // one byte longer than three components need
    bad += "x";
    run_result r = notelist({"-v"}, SOI + segment(0xFE, "c") + bad + SCAN);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "c\nJPEG image is 5w * 6h, 3 color components, 8 bits per sample\n"
                     "JPEG process: Progressive\n");
    EXPECT_EQ(r.err, "Bogus SOF marker length\n");
    // Without -verbose the frame is skipped by its length.
    r = notelist({}, SOI + bad + segment(0xFE, "c") + SCAN);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "c\n");
}

TEST_F(Jpegnotes, NotelistUsageAndOpenErrors)
{
    write_file(path("in.jpg"), SOI + segment(0xFE, "x") + EOI);
    for (std::vector<std::string> args :
         {std::vector<std::string>{"-x"}, {"-verbosex", "in.jpg"}, {"-", "in.jpg"},
          {"--", "in.jpg"}, {"-v", "-q", "in.jpg"}}) {
        run_result r = run("notelist", args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, notelist_usage);
        EXPECT_TRUE(r.out.empty()) << r.out.size() << " bytes written";
    }
    run_result r = run("notelist", {"in.jpg", "in.jpg"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "notelist: only one input file\n" + notelist_usage);
    r = run("notelist", {"-Verbose", "nosuch.jpg"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "notelist: can't open nosuch.jpg\n");
    r = run("notelist", {}, piped(SOI + segment(0xFE, "from a pipe") + EOI));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "from a pipe\n");
}

// ---- Both programs on broken streams -------------------------------------

TEST_F(Jpegnotes, StreamFaultsEndInTheirMessages)
{
    struct {
        std::string jpeg, message;
    } cases[] = {
        {"", "Not a JPEG file\n"},
        {"\xFF", "Not a JPEG file\n"},
        {"\xD8\xFF" + APP0, "Not a JPEG file\n"},
        {"GIF89a", "Not a JPEG file\n"},
        {SOI, "Premature EOF in JPEG file\n"},
        {SOI + "\xFF\xFF\xFF", "Premature EOF in JPEG file\n"},
        {SOI + "\x01\x02", "Premature EOF in JPEG file\n"},
        {SOI + std::string("\xFF\xFE\x00", 3), "Premature EOF in JPEG file\n"},
        {SOI + std::string("\xFF\xFE\x00\x09", 4) + "short", "Premature EOF in JPEG file\n"},
        {SOI + std::string("\xFF\xFE\x00\x00", 4) + EOI, "Erroneous JPEG marker length\n"},
        {SOI + std::string("\xFF\xE0\x00\x01", 4) + EOI, "Erroneous JPEG marker length\n"},
    };
    for (const auto& c : cases) {
        for (const char* program : {"noteinsert", "notelist"}) {
            write_file(path("in.jpg"), c.jpeg);
            run_result r = std::string(program) == "notelist"
                               ? run(program, {"in.jpg"})
                               : run(program, {"-c", "x", "in.jpg"});
            EXPECT_EQ(r.status, 1) << program << " " << c.message;
            EXPECT_EQ(r.err, c.message) << program;
        }
    }
    // A length of 2 is a segment without contents; 00 12 is garbage, warned
    // once; FF FF FF E1 is a marker after fill bytes.
    std::string jpeg = SOI + std::string("\x00\x12", 2) + segment(0xE0, "") + "\xFF\xFF" +
                       segment(0xE1, "") + segment(0xFE, "") + EOI;
    run_result r = notelist({}, jpeg);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\n");
    EXPECT_EQ(r.err, "Warning: garbage data found in JPEG file\n");
}

// Each run on a broken stream ends with status 0 or 1 and only the
// programs' own messages (a crash, a hang or a sanitizer report fails the
// test by itself).
void expect_clean_end(const run_result& r)
{
    static const std::string messages[] = {
        "Not a JPEG file\n", "Premature EOF in JPEG file\n", "Erroneous JPEG marker length\n",
        "Bogus SOF marker length\n", "SOS without prior SOFn\n"};
    static const std::string warning = "Warning: garbage data found in JPEG file\n";
    std::string err = r.err;
    while (err.compare(0, warning.size(), warning) == 0)
        err.erase(0, warning.size());
    bool known = err.empty() && r.status == 0;
    for (const std::string& m : messages)
        known = known || (err == m && r.status == 1);
    EXPECT_TRUE(known) << "status " << r.status << ": " << r.err;
}

const std::string FULL_HEADER = SOI + APP0 + segment(0xFE, "a\r\n\\") + segment(0xEC, "x") +
                                DQT + frame(0xC0, 640, 480) + SCAN;

TEST_F(Jpegnotes, EveryCutOfAHeaderEndsCleanly)
{
    for (size_t n = 0; n < FULL_HEADER.size(); n += 5) {
        expect_clean_end(noteinsert({"-r", "-c", "x"}, FULL_HEADER.substr(0, n)));
        expect_clean_end(notelist({"-v"}, FULL_HEADER.substr(0, n)));
    }
}

TEST_F(Jpegnotes, CorruptedHeadersEndCleanly)
{
    bytes noise = pattern_bytes(4096, 77);
    for (size_t i = 0; i < 50; i++) {
        std::string broken = FULL_HEADER;
        for (size_t k = 0; k < 4; k++) {
            size_t at = 2 + (noise[4 * i + k] * 7 + i * 13) % (broken.size() - 2);
            broken[at] = char(noise[2048 + 4 * i + k]);
        }
        expect_clean_end(noteinsert({"-r", "-c", "x"}, broken));
        expect_clean_end(notelist({"-v"}, broken));
    }
}

}  // namespace
