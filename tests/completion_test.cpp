// The bash completion script, sourced into bash and asked for completions
// as bash would ask: every program is offered exactly the options its
// source accepts, every word offered as an option's argument is one the
// program takes, and file names are filtered by what each program reads.
#include "suite_sources.h"

#include <algorithm>

namespace {

class Completion : public ToolTest {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        // Asks the completion function what it offers for the words given,
        // the last one being the word under the cursor.
        write_file(path("complete.sh"),
                   "source \"$1\"; shift\n"
                   "COMP_WORDS=(\"$@\"); COMP_CWORD=$(( $# - 1 )); COMPREPLY=()\n"
                   "_tiffsuite \"$1\" \"${COMP_WORDS[COMP_CWORD]}\" "
                   "\"${COMP_WORDS[COMP_CWORD-1]}\"\n"
                   "(( ${#COMPREPLY[@]} )) && printf '%s\\n' \"${COMPREPLY[@]}\"\n"
                   "exit 0\n");
    }

    // The completions offered for `words`, in sorted order, run in the
    // scratch directory.
    std::vector<std::string> offered(const std::vector<std::string>& words)
    {
        std::string command = "cd " + shell_quote(dir) + " && bash complete.sh " +
                              shell_quote(std::string(SOURCE_DIR) + "/completions/suite.bash");
        for (const std::string& w : words)
            command += " " + shell_quote(w);
        shell_result r = run_shell(command + " 2>&1");
        EXPECT_EQ(r.status, 0) << r.out;
        std::vector<std::string> lines = lines_of(r.out);
        std::sort(lines.begin(), lines.end());
        return lines;
    }
};

using words = std::vector<std::string>;

TEST_F(Completion, EveryProgramIsOfferedTheOptionsItAccepts)
{
    for (const std::string& program : suite_programs()) {
        std::set<std::string> accepted =
            with_help_and_version(accepted_options(read_file(source_path(program))));
        words offer = offered({program, "-"});
        EXPECT_EQ(std::set<std::string>(offer.begin(), offer.end()), accepted) << program;
    }
    EXPECT_EQ(offered({"cmapexpand", "-p"}), (words{"-p"}));
    EXPECT_EQ(offered({"greytag", "in.tif", "--h"}), (words{"--help"}));
    EXPECT_EQ(offered({"tagpoke", "-s", "Artist", "me", "--"}), words{});
    EXPECT_EQ(offered({"notelist", "-v"}), (words{"-verbose"}));
}

// Each word offered after an option that takes an argument is accepted by
// the program: given it (with an input that does not exist), the program
// does not print its usage text.
TEST_F(Completion, WordsOfferedForOptionArgumentsAreAccepted)
{
    int checked = 0;
    for (const std::string& program : suite_programs()) {
        std::string source = read_file(source_path(program));
        for (const std::string& option : options_with_argument(source)) {
            for (const std::string& word : offered({program, option, ""})) {
                run_result r = run(program, {option, word, "missing.input", "out.tif"});
                EXPECT_EQ(r.err.find("usage:"), std::string::npos)
                    << program << " " << option << " " << word << ": " << r.err;
                checked++;
            }
        }
    }
    // anymaptag, dibtag, suntag, lzwtag, greytag, cmapexpand and halftone
    // offer compression words; cmapexpand -p and -C, halftone -f others.
    EXPECT_GE(checked, 60);

    // Prefixes narrow the words; options with free arguments get none.
    EXPECT_EQ(offered({"anymaptag", "-c", "g"}),
              (words{"g3", "g3:1d", "g3:2d", "g3:fill", "g4"}));
    EXPECT_EQ(offered({"lzwtag", "-c", "j"}), words{});
    EXPECT_EQ(offered({"halftone", "-f", ""}), (words{"lsb2msb", "msb2lsb"}));
    EXPECT_EQ(offered({"cmapexpand", "-p", "s"}), (words{"separate"}));
    EXPECT_EQ(offered({"anymaptag", "-r", ""}), words{});
    EXPECT_EQ(offered({"ccittpage", "-W", ""}), words{});
    EXPECT_EQ(offered({"noteinsert", "-comment", ""}), words{});
    EXPECT_EQ(offered({"noteinsert", "-Co", ""}), words{});
}

// The field names offered to tagpoke are fields it knows: each one set in
// a file (with one value) ends neither with "not recognised" (3) nor with
// the usage text.
// After -sf only text fields are offered, and each one is taken.
TEST_F(Completion, FieldNamesOfferedToTagpokeAreKnown)
{
    words all = offered({"tagpoke", "-s", ""});
    words text = offered({"tagpoke", "-sf", ""});
    EXPECT_GE(all.size(), 10u);
    write_file(path("value.txt"), "a value");
    for (const std::string& field : all) {
        ASSERT_TRUE(write_tiff(path("f.tif"), tiff_spec(), bytes{0}));
        run_result r = run("tagpoke", {"-s", field, "1", "f.tif"});
        EXPECT_NE(r.status, 3) << field << ": " << r.err;
        EXPECT_NE(r.status, 255) << field << ": " << r.err;
    }
    for (const std::string& field : text) {
        EXPECT_TRUE(std::count(all.begin(), all.end(), field)) << field;
        ASSERT_TRUE(write_tiff(path("f.tif"), tiff_spec(), bytes{0}));
        run_result r = run("tagpoke", {"-sf", field, "value.txt", "f.tif"});
        EXPECT_EQ(r.status, 0) << field << ": " << r.err;
    }
}

TEST_F(Completion, FileNamesAreFilteredByWhatEachProgramReads)
{
    for (const char* name : {"photo.ppm", "scan.PBM", "grey.pgm", "pic.gif", "image.ras",
                             "old.bmp", "photo.jpg", "page.g3", "page.tif", "notes.txt",
                             "my photo.PPM"})
        write_file(path(name), "");
    ASSERT_EQ(system(("mkdir " + shell_quote(path("sub"))).c_str()), 0);

    EXPECT_EQ(offered({"anymaptag", ""}),
              (words{"grey.pgm", "my photo.PPM", "page.tif", "photo.ppm", "scan.PBM", "sub"}));
    EXPECT_EQ(offered({"anymaptag", "-c", "lzw", "p"}),
              (words{"page.tif", "photo.ppm"}));
    EXPECT_EQ(offered({"lzwtag", ""}), (words{"page.tif", "pic.gif", "sub"}));
    EXPECT_EQ(offered({"dibtag", "-c", "zip", ""}), (words{"old.bmp", "page.tif", "sub"}));
    EXPECT_EQ(offered({"dibtag", "-o", ""}), (words{"page.tif", "sub"}));
    EXPECT_EQ(offered({"suntag", ""}), (words{"image.ras", "page.tif", "sub"}));
    EXPECT_EQ(offered({"greytag", ""}), (words{"page.tif", "sub"}));
    EXPECT_EQ(offered({"ccittpage", "-S", ""}), (words{"page.tif", "sub"}));
    EXPECT_EQ(offered({"ccitttag", "-M", ""}), (words{"page.g3", "sub"}));
    EXPECT_EQ(offered({"ccitttag", "-o", ""}), (words{"page.tif", "sub"}));
    EXPECT_EQ(offered({"notelist", ""}), (words{"photo.jpg", "sub"}));
    // noteinsert's comment file and tagpoke's value file may be any file.
    EXPECT_EQ(offered({"noteinsert", "-cf", "n"}), (words{"notes.txt"}));
    EXPECT_EQ(offered({"tagpoke", "-sf", "Artist", "n"}), (words{"notes.txt"}));
    EXPECT_EQ(offered({"tagpoke", "-s", "Artist", "me", ""}), (words{"page.tif", "sub"}));
    EXPECT_EQ(offered({"pageburst", ""}), (words{"page.tif", "sub"}));
    EXPECT_EQ(offered({"noteinsert", "-replace", "p"}), (words{"photo.jpg"}));
}

}  // namespace
