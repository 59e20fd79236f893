// The manual pages and the usage texts against the programs as built:
// every program has a page in the usual layout that formats cleanly, lists
// in OPTIONS every option the program's source accepts (and none it does
// not), and lists in EXIT STATUS every status the program can end with (and
// none other); every usage text names the options and -c schemes the
// program accepts, and none it refuses.
#include "suite_sources.h"

#include <filesystem>
#include <map>

namespace {

// Every status each program can end with, as the shell sees it (exit(-1)
// is 255), checked against the program's code: its exit calls, its usage
// calls, the statuses its main returns and those its helpers hand back.
// A program without a row fails the test, so a new program must come with
// its statuses.
const std::map<std::string, std::set<int>> exit_statuses = {
    // usage and an input not opened -1; header -2; output -4; early stop,
    // failed write or close 1
    {"anymaptag", {0, 1, 252, 254, 255}},
    // usage and an input not opened -1; everything else 1
    {"dibtag", {0, 1, 255}},
    // usage and input -1; short header -2; not a rasterfile or bad depth -3;
    // output -4; map unreadable -6; map too long -7; early stop 1
    {"suntag", {0, 1, 249, 250, 252, 253, 254, 255}},
    // usage, container and image faults, output failures -1; declined
    // overwrite, input not opened, data cut short 1
    {"lzwtag", {0, 1, 255}},
    // usage, input and output faults, a plane not read -1; early stop 1
    {"greytag", {0, 1, 255}},
    // usage and input faults -1; output not created -2; early stop 1
    {"cmapexpand", {0, 1, 254, 255}},
    // usage, input and output faults -1; early stop 1
    {"halftone", {0, 1, 255}},
    // usage and every failure 1
    {"ccitttag", {0, 1}},
    // usage and no memory for the page list -1; no temporary file -2;
    // files, pages and output 1
    {"ccittpage", {0, 1, 254, 255}},
    // usage -1; output not created -2; inputs not opened, library
    // errors, failed directories 1
    {"chromatag", {0, 1, 254, 255}},
    {"tagtruecolor", {0, 1, 254, 255}},
    // usage -1; a file not opened, a directory not reached, data not read 1
    {"tagshow", {0, 1, 255}},
    // usage and a prefix too long -3; output not created -2; a directory
    // not copied -1; input not opened, names run out 1
    {"pageburst", {0, 1, 253, 254, 255}},
    // a setting failed 1; file not opened 2; unknown field 3; too few
    // values or no memory 4; -sf on a field not ASCII 5; usage -1
    {"tagpoke", {0, 1, 2, 3, 4, 5, 255}},
    // usage and every failure 1
    {"noteinsert", {0, 1}},
    {"notelist", {0, 1}},
};

// A manual page split into its sections, in the order they come; each
// section's lines exclude its .SH line.
struct man_page {
    std::string title;  // the first argument of .TH
    std::vector<std::string> order;
    std::map<std::string, std::vector<std::string>> sections;
};

man_page parse_page(const std::string& text)
{
    man_page page;
    std::string current;
    for (const std::string& line : lines_of(text)) {
        if (line.rfind(".TH ", 0) == 0) {
            std::istringstream words(line.substr(4));
            words >> page.title;
        } else if (line.rfind(".SH ", 0) == 0) {
            current = line.substr(4);
            if (current.size() >= 2 && current.front() == '"' && current.back() == '"')
                current = current.substr(1, current.size() - 2);
            page.order.push_back(current);
            page.sections[current];
        } else if (!current.empty()) {
            page.sections[current].push_back(line);
        }
    }
    return page;
}

// The tag lines of a section: the line after each .TP.
std::vector<std::string> tags(const std::vector<std::string>& section)
{
    std::vector<std::string> found;
    for (size_t i = 0; i + 1 < section.size(); i++)
        if (section[i] == ".TP")
            found.push_back(section[i + 1]);
    return found;
}

// The options named in OPTIONS tags (\-c, \-verbose, \-\-help), as typed.
std::set<std::string> documented_options(const man_page& page)
{
    std::set<std::string> options;
    static const std::regex option(R"(\\-((?:\\-)?)([A-Za-z0-9]+))");
    auto it = page.sections.find("OPTIONS");
    if (it == page.sections.end())
        return options;
    for (const std::string& tag : tags(it->second))
        for (auto m = std::sregex_iterator(tag.begin(), tag.end(), option);
             m != std::sregex_iterator(); ++m)
            options.insert(((*m)[1].length() > 0 ? "--" : "-") + (*m)[2].str());
    return options;
}

// The statuses given as EXIT STATUS tags (.B 255).
std::set<int> documented_statuses(const man_page& page)
{
    std::set<int> statuses;
    static const std::regex number(R"(^\.B (\d+)$)");
    auto it = page.sections.find("EXIT STATUS");
    if (it == page.sections.end())
        return statuses;
    std::smatch m;
    for (const std::string& tag : tags(it->second))
        if (std::regex_match(tag, m, number))
            statuses.insert(std::stoi(m[1].str()));
    return statuses;
}

// The statuses a program's source names literally, as the shell sees
// them: exit(N), usage(N), and in main "return N;" and "... ? N : M;".
std::set<int> literal_statuses(const std::string& source)
{
    std::set<int> statuses;
    static const std::regex call(R"(\b(?:exit|usage)\s*\(\s*(-?\d+)\s*\))");
    for (auto m = std::sregex_iterator(source.begin(), source.end(), call);
         m != std::sregex_iterator(); ++m)
        statuses.insert(std::stoi((*m)[1].str()) & 0xff);
    size_t main_at = source.find("int main(");
    if (main_at == std::string::npos)
        return statuses;
    std::string main_body = source.substr(main_at);
    static const std::regex plain(R"(\breturn\s+(-?\d+)\s*;)");
    static const std::regex choice(R"(\breturn\s[^;]*\?\s*(-?\d+)\s*:\s*(-?\d+)\s*;)");
    for (auto m = std::sregex_iterator(main_body.begin(), main_body.end(), plain);
         m != std::sregex_iterator(); ++m)
        statuses.insert(std::stoi((*m)[1].str()) & 0xff);
    for (auto m = std::sregex_iterator(main_body.begin(), main_body.end(), choice);
         m != std::sregex_iterator(); ++m) {
        statuses.insert(std::stoi((*m)[1].str()) & 0xff);
        statuses.insert(std::stoi((*m)[2].str()) & 0xff);
    }
    return statuses;
}

std::string page_path(const std::string& program)
{
    return std::string(SOURCE_DIR) + "/man/" + program + ".1";
}

std::string joined(const std::set<std::string>& words)
{
    std::string text;
    for (const std::string& w : words)
        text += (text.empty() ? "" : " ") + w;
    return text;
}

// Fails for every option of `accepted` that `listed` (what `where` names)
// lacks, and for every listed option that is not accepted.
void expect_same_options(const std::string& program, const std::string& where,
                         const std::set<std::string>& accepted,
                         const std::set<std::string>& listed)
{
    for (const std::string& option : accepted)
        EXPECT_TRUE(listed.count(option)) << program << ": " << option
                                          << " is accepted but not in " << where << " ("
                                          << joined(listed) << ")";
    for (const std::string& option : listed)
        EXPECT_TRUE(accepted.count(option)) << program << ": " << where << " names " << option
                                            << ", which is not accepted (" << joined(accepted)
                                            << ")";
}

// The compression schemes a -c option may name.
const char* const all_schemes[] = {"none", "packbits", "lzw", "zip", "jpeg", "g3", "g4"};

// The options a usage text names: every word that starts with '-' after a
// blank, '[' or ','; "-#" stands for the directory numbers -0 to -9.
std::set<std::string> listed_options(const std::string& text)
{
    std::set<std::string> options;
    static const std::regex word(R"((?:^|[\s\[,])(-[A-Za-z0-9#]+))");
    for (auto m = std::sregex_iterator(text.begin(), text.end(), word);
         m != std::sregex_iterator(); ++m) {
        std::string option = (*m)[1].str();
        if (option != "-#")
            options.insert(option);
        else
            for (char digit = '0'; digit <= '9'; digit++)
                options.insert(std::string("-") + digit);
    }
    return options;
}

// The schemes a usage text names, after "-c " or first on an indented line
// (" jpeg\t\tJPEG encoding").
std::set<std::string> listed_schemes(const std::string& text)
{
    std::set<std::string> schemes;
    static const std::regex word(R"((?:-c |^ )(\w+))");
    for (const std::string& line : lines_of(text))
        for (auto m = std::sregex_iterator(line.begin(), line.end(), word);
             m != std::sregex_iterator(); ++m)
            for (const char* scheme : all_schemes)
                if ((*m)[1].str() == scheme)
                    schemes.insert(scheme);
    return schemes;
}

bool shows_usage(const run_result& r)
{
    return r.err.find("usage:") != std::string::npos ||
           r.err.find("Usage:") != std::string::npos;
}

// The statuses table is what the pages are checked against, so it must
// hold at least every status the code names outright, and every program
// must have a row.
TEST(ManPages, StatusTableCoversEveryProgramAndItsCode)
{
    for (const std::string& program : suite_programs()) {
        auto row = exit_statuses.find(program);
        if (row == exit_statuses.end()) {
            ADD_FAILURE() << program << ": no row in exit_statuses; add the statuses it can "
                          << "end with, checked against its code";
            continue;
        }
        std::string source = read_file(source_path(program));
        ASSERT_FALSE(source.empty()) << source_path(program);
        for (int status : literal_statuses(source))
            EXPECT_TRUE(row->second.count(status))
                << program << " can end with " << status << ", which its row lacks";
    }
}

// Run without arguments (and with nothing on standard input), each program
// ends with one of the statuses of its row: the usage text, or for the
// programs that read standard input, a refusal of the empty input.
TEST(ManPages, StatusesWithoutArgumentsAreInTheTable)
{
    for (const std::string& program : suite_programs()) {
        auto row = exit_statuses.find(program);
        if (row == exit_statuses.end())
            continue;  // reported by the test above
        run_options closed;
        closed.closed_input = true;
        run_result r = run_tool(program, {}, closed);
        EXPECT_NE(r.status, 0) << program;
        EXPECT_TRUE(row->second.count(r.status)) << program << " ended with " << r.status;
    }
}

TEST(ManPages, EveryProgramHasAPageInTheUsualLayout)
{
    const std::vector<std::string> layout = {"NAME",        "SYNOPSIS", "DESCRIPTION",
                                             "OPTIONS",     "EXIT STATUS", "EXAMPLES",
                                             "SEE ALSO"};
    for (const std::string& program : suite_programs()) {
        std::string text = read_file(page_path(program));
        if (text.empty()) {
            ADD_FAILURE() << program << ": no manual page man/" << program << ".1";
            continue;
        }
        man_page page = parse_page(text);
        std::string upper;
        for (char c : program)
            upper += (char)toupper((unsigned char)c);
        EXPECT_EQ(page.title, upper) << program;
        // The layout's sections come in this order; others may lie between.
        size_t next = 0;
        for (const std::string& section : page.order)
            if (next < layout.size() && section == layout[next])
                next++;
        EXPECT_EQ(next, layout.size())
            << program << ": sections " << ::testing::PrintToString(page.order);
        const std::vector<std::string>& name = page.sections["NAME"];
        EXPECT_TRUE(!name.empty() && name[0].rfind(program + " \\- ", 0) == 0)
            << program << ": NAME line";
        bool synopsis_names_program = false;
        for (const std::string& line : page.sections["SYNOPSIS"])
            synopsis_names_program |= line == ".B " + program;
        EXPECT_TRUE(synopsis_names_program) << program;
        EXPECT_FALSE(page.sections["EXAMPLES"].empty()) << program;
    }
}

TEST(ManPages, OptionsSectionMatchesTheOptionsAccepted)
{
    for (const std::string& program : suite_programs()) {
        std::string text = read_file(page_path(program));
        if (text.empty())
            continue;  // reported by the layout test
        std::set<std::string> accepted = accepted_options(read_file(source_path(program)));
        expect_same_options(program, "OPTIONS", with_help_and_version(accepted),
                            documented_options(parse_page(text)));
    }
}

class UsageTexts : public ToolTest {
protected:
    // A usage error: the program run without arguments, or with an unknown
    // option for ccittpage and notelist, which would then read standard
    // input.
    run_result usage_error(const std::string& program)
    {
        run_options closed;
        closed.closed_input = true;
        run_result usage = run(program, {}, closed);
        if (!shows_usage(usage))
            usage = run(program, {"-@"}, closed);
        return usage;
    }
};

// Each program's usage text names every option its source accepts and no
// other; where -c takes a scheme, it names every scheme that gets past the
// option parsing (to the missing input) and none that ends in the usage text.
TEST_F(UsageTexts, NameTheOptionsAndSchemesAccepted)
{
    for (const std::string& program : suite_programs()) {
        run_result usage = usage_error(program);
        if (!shows_usage(usage)) {
            ADD_FAILURE() << program << " shows no usage text: " << usage.err;
            continue;
        }
        std::string source = read_file(source_path(program));
        expect_same_options(program, "the usage text", accepted_options(source),
                            listed_options(usage.err));
        if (!options_with_argument(source).count("-c"))
            continue;
        std::set<std::string> accepted;
        for (const char* scheme : all_schemes)
            if (!shows_usage(run(program, {"-c", scheme, "missing.in", "missing.out"})))
                accepted.insert(scheme);
        EXPECT_TRUE(shows_usage(run(program, {"-c", "bogus", "missing.in", "missing.out"})))
            << program;
        EXPECT_EQ(listed_schemes(usage.err), accepted) << program << ": -c schemes";
    }
}

// --help prints on standard output the usage text that a usage error
// prints, --version one line naming the program, the suite's version (the
// one the manual pages carry) and libtiff's; both end with status 0 before
// anything is read or written, whatever names follow.
TEST_F(UsageTexts, HelpAndVersionAnswerOnStandardOutput)
{
    std::string library = TIFFGetVersion();
    library = " (" + library.substr(0, library.find('\n')) + ")";
    ASSERT_TRUE(write_tiff(path("in.tif"), tiff_spec(), bytes{7}));
    const std::string input = read_file(path("in.tif"));
    for (const std::string& program : suite_programs()) {
        run_result usage = usage_error(program);
        run_result help = run(program, {"--help", "in.tif", "out.tif"});
        EXPECT_EQ(help.status, 0) << program;
        EXPECT_EQ(help.err, "") << program;
        EXPECT_TRUE(help.out.size() > 40 && usage.err.size() >= help.out.size() &&
                    usage.err.compare(usage.err.size() - help.out.size(), std::string::npos,
                                      help.out) == 0)
            << program << ": --help printed\n" << help.out << "a usage error\n" << usage.err;

        bool links_libtiff = source_path(program).find("/jpegnotes/") == std::string::npos;
        run_result version = run(program, {"--version", "in.tif", "out.tif"});
        EXPECT_EQ(version.status, 0) << program;
        EXPECT_EQ(version.err, "") << program;
        EXPECT_EQ(version.out, program + " (tiffsuite) " SUITE_VERSION +
                                   (links_libtiff ? library : "") + "\n");
        EXPECT_NE(read_file(page_path(program)).find("\"tiffsuite " SUITE_VERSION "\""),
                  std::string::npos)
            << program << ": the manual page names another version";

        size_t files = 0;
        for (const auto& entry : std::filesystem::directory_iterator(dir))
            files += entry.path().filename() != "in.tif";
        EXPECT_EQ(files, 0u) << program << " created a file";
        EXPECT_EQ(read_file(path("in.tif")), input) << program;
    }
}

// --help and --version count only where the program's parser would take
// them as options: among getopt's options (after operands too, unless
// POSIXLY_CORRECT is set; not as an option's argument nor after "--"),
// among the JPEG tools' switches, first for the programs that read their
// arguments by position.
TEST_F(UsageTexts, HelpAndVersionOnlyWhereOptionsAre)
{
    struct row {
        std::string program;
        std::vector<std::string> args;
        bool answered;
        std::string env;
    };
    const row rows[] = {
        {"anymaptag", {"-r", "16", "in.ppm", "--help", "out.tif"}, true, ""},
        {"tagtruecolor", {"-bn", "--version", "in.tif", "out.tif"}, true, ""},
        {"dibtag", {"-x", "--help", "in.bmp", "out.tif"}, true, ""},
        {"anymaptag", {"in.ppm", "--help", "out.tif"}, false, "POSIXLY_CORRECT=1"},
        {"anymaptag", {"-c", "--help", "in.ppm", "out.tif"}, false, ""},
        {"halftone", {"-r--version", "in.tif", "out.tif"}, false, ""},
        {"greytag", {"--", "--help", "out.tif"}, false, ""},
        {"notelist", {"-v", "--version"}, true, ""},
        {"noteinsert", {"-r", "--help", "in.jpg"}, true, ""},
        {"noteinsert", {"-c", "--help", "in.jpg"}, false, ""},
        {"pageburst", {"--version", "page-"}, true, ""},
        {"tagpoke", {"--help", "in.tif"}, true, ""},
        {"tagpoke", {"-s", "Artist", "me", "--help"}, false, ""},
    };
    for (const row& r : rows) {
        run_options options;
        options.closed_input = true;
        if (!r.env.empty())
            options.env.push_back(r.env);
        run_result result = run(r.program, r.args, options);
        std::string what = r.program + " " + ::testing::PrintToString(r.args);
        if (r.answered) {
            EXPECT_EQ(result.status, 0) << what;
            EXPECT_NE(result.out, "") << what;
        } else {
            EXPECT_NE(result.status, 0) << what;
            EXPECT_EQ(result.out, "") << what;
        }
        EXPECT_FALSE(file_exists(path("out.tif"))) << what;
    }
}

TEST(ManPages, ExitStatusSectionMatchesTheStatuses)
{
    for (const std::string& program : suite_programs()) {
        std::string text = read_file(page_path(program));
        auto row = exit_statuses.find(program);
        if (text.empty() || row == exit_statuses.end())
            continue;  // reported by the tests above
        std::set<int> documented = documented_statuses(parse_page(text));
        for (int status : row->second)
            EXPECT_TRUE(documented.count(status))
                << program << ": status " << status << " is not in EXIT STATUS";
        for (int status : documented)
            EXPECT_TRUE(row->second.count(status))
                << program << ": EXIT STATUS names " << status << ", which it cannot end with";
    }
}

// groff reports no warning on any page, and man formats each one.
TEST(ManPages, PagesFormatWithoutWarnings)
{
    for (const std::string& program : suite_programs()) {
        std::string page = page_path(program);
        if (!file_exists(page))
            continue;  // reported by the layout test
        shell_result groff = run_shell("groff -ww -z -man " + shell_quote(page) + " 2>&1");
        EXPECT_EQ(groff.status, 0) << program;
        EXPECT_EQ(groff.out, "") << program;
        shell_result man =
            run_shell("MANWIDTH=80 man -l " + shell_quote(page) + " 2>&1");
        EXPECT_NE(man.out.find("EXIT STATUS"), std::string::npos) << program << ": " << man.out;
        EXPECT_NE(man.out.find("       " + program + " "), std::string::npos)
            << program << ": " << man.out;
    }
}

// The parsers above, on a page written here: the checks must see what a
// page leaves out.
TEST(ManPages, ParsersSeeOptionsAndStatuses)
{
    man_page page = parse_page(".TH X 1\n.SH NAME\nx \\- y\n.SH OPTIONS\n.TP\n"
                               ".BI \\-c \" scheme\"\ntext \\-q in prose\n.TP\n.B \\-v , \\-w\n"
                               ".TP\n.B \\-\\-help\n"
                               ".SH \"EXIT STATUS\"\n.TP\n.B 0\nok\n.TP\n.B 255\nbad\n"
                               "The status 3 in prose.\n");
    EXPECT_EQ(page.title, "X");
    EXPECT_EQ(documented_options(page), (std::set<std::string>{"-c", "-v", "-w", "--help"}));
    EXPECT_EQ(documented_statuses(page), (std::set<int>{0, 255}));
    EXPECT_EQ(accepted_options("while ((c = getopt(argc, argv, \"c:r:R:?\")) != -1)"),
              (std::set<std::string>{"-c", "-r", "-R"}));
    EXPECT_EQ(options_with_argument("const char optstring[] = \"bc:\";\n"
                                    "while ((c = getopt(argc, argv, optstring)) != -1)"),
              (std::set<std::string>{"-c"}));
    EXPECT_EQ(accepted_options("if (match_switch(sw, \"replace\", 1)) ... "
                               "match_switch(argv[n] + 1, \"cfile\", 2)"),
              (std::set<std::string>{"-replace", "-cfile"}));
    EXPECT_EQ(accepted_options("if (strcmp(argv[i], \"-sf\") == 0 && i + 3 < argc)"),
              (std::set<std::string>{"-sf"}));
    const std::string usage = "usage: x [-c comp] [-b] in\n -r #\t\trows, -w, -#\n"
                              " -c lzw[:opts]\tzip or g4-like\n jpeg\t\tJPEG\n"
                              " r\t\tRGB 1-bit lsb-to-msb\n";
    std::set<std::string> listed = {"-c", "-b", "-r", "-w"};
    for (char digit = '0'; digit <= '9'; digit++)
        listed.insert(std::string("-") + digit);
    EXPECT_EQ(listed_options(usage), listed);
    EXPECT_EQ(listed_schemes(usage), (std::set<std::string>{"lzw", "jpeg"}));
    EXPECT_EQ(literal_statuses("exit(-7); usage(1); int main(int c, char** v) { return -4; "
                               "return ok ? 0 : 1; return status; }"),
              (std::set<int>{249, 1, 252, 0}));
}

}  // namespace
