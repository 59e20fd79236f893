// The README's examples as a user would type them: the example of every
// program in its table, run as shown in one directory that holds the
// inputs they name (made from the samples in examples/; later examples
// read what earlier ones wrote), and its example of an output refused
// because it is an input.
#include "suite_sources.h"

#include <map>

namespace {

class Readme : public ToolTest {
protected:
    // Runs `command` with /bin/sh in the scratch directory, the built
    // programs first on the path; its standard error is kept apart.
    shell_result run_example(const std::string& command, std::string* err)
    {
        shell_result r = run_shell("cd " + shell_quote(dir) + " && PATH=" +
                                   shell_quote(TOOLS_DIR) + ":$PATH && export PATH && {\n" +
                                   command + "\n} 2>stderr.txt");
        *err = read_file(path("stderr.txt"));
        return r;
    }
};

// The last column of each row of the table of programs: program, what it
// does, `example`.
std::vector<std::pair<std::string, std::string>> table_examples(const std::string& readme)
{
    std::vector<std::pair<std::string, std::string>> examples;
    static const std::regex row(R"(^\| (\w+) \|.*\| `([^`]+)` \|$)");
    std::smatch m;
    for (const std::string& line : lines_of(readme))
        if (std::regex_match(line, m, row))
            examples.push_back({m[1].str(), m[2].str()});
    return examples;
}

TEST_F(Readme, EveryProgramsExampleRunsAsShown)
{
    const std::string examples_dir = std::string(SOURCE_DIR) + "/examples/";
    const std::map<std::string, std::string> inputs = {
        {"photo.ppm", "sample.ppm"},     {"a.bmp", "sample.bmp"},
        {"b.bmp", "sample-rle8.bmp"},    {"image.ras", "sample.ras"},
        {"picture.gif", "sample.gif"},   {"page1.g3", "fax-page.g3"},
        {"page2.g3", "fax-page.g3"},     {"palette.tif", "sample-palette.tif"},
        {"a.tif", "pages.tif"},          {"b.tif", "sample-palette.tif"},
        {"scans.tif", "pages.tif"},      {"scan.tif", "pages.tif"},
        {"photo.jpg", "sample.jpg"},
    };
    for (const auto& input : inputs) {
        std::string sample = read_file(examples_dir + input.second);
        ASSERT_FALSE(sample.empty()) << input.second;
        write_file(path(input.first), sample);
    }
    const std::string readme = read_file(std::string(SOURCE_DIR) + "/README.md");
    auto examples = table_examples(readme);
    std::set<std::string> shown;
    for (const auto& example : examples) {
        shown.insert(example.first);
        std::string err;
        shell_result r = run_example(example.second, &err);
        EXPECT_EQ(r.status, 0) << example.second << "\n" << err;
        EXPECT_EQ(err, "") << example.second;
    }
    std::vector<std::string> programs = suite_programs();
    EXPECT_EQ(shown, std::set<std::string>(programs.begin(), programs.end()));

    // An output that is one of the inputs is refused, and the input kept.
    const std::string refused = "notelist a.jpg >> a.jpg";
    ASSERT_NE(readme.find("`" + refused + "`"), std::string::npos);
    write_file(path("a.jpg"), read_file(examples_dir + "sample.jpg"));
    std::string err;
    EXPECT_EQ(run_example(refused, &err).status, 1) << err;
    EXPECT_EQ(read_file(path("a.jpg")), read_file(examples_dir + "sample.jpg"));
}

}  // namespace
