// The README's examples as a user would type them: the example of every
// program in its table, run as shown in one directory that holds the
// inputs they name (made from the samples in examples/; later examples
// read what earlier ones wrote), and its example of an output refused
// because it is an input.
#include "suite_sources.h"

#include <map>

#include <sys/stat.h>

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

// The commands of the section on many files, as shown, each on a few PPM
// files of its own: every file is converted, with nothing on standard
// error. GNU parallel's is run where parallel is installed.
TEST_F(Readme, ManyFilesCommandsRunAsShown)
{
    const std::string readme = read_file(std::string(SOURCE_DIR) + "/README.md");
    size_t start = readme.find("### Many files");
    ASSERT_NE(start, std::string::npos);
    size_t end = readme.find("\n#", start + 1);
    std::vector<std::string> commands;
    std::string command;
    for (const std::string& line : lines_of(readme.substr(start, end - start))) {
        if (line.rfind("    ", 0) != 0 || line.rfind("    #", 0) == 0)
            continue;
        command += line.substr(4);
        if (command.back() == '\\')
            command += "\n";
        else
            commands.push_back(command), command.clear();
    }
    EXPECT_GE(commands.size(), 3u);
    bool have_parallel = run_shell("command -v parallel").status == 0;
    const std::string sample = read_file(std::string(SOURCE_DIR) + "/examples/sample.ppm");
    for (size_t i = 0; i < commands.size(); i++) {
        if (commands[i].find("parallel ") != std::string::npos && !have_parallel)
            continue;
        std::string sub = "batch" + std::to_string(i);
        ASSERT_EQ(mkdir(path(sub).c_str(), 0777), 0);
        for (const char* name : {"a.ppm", "b c.ppm", "d.ppm"})
            write_file(path(sub + "/" + name), sample);
        std::string err;
        shell_result r = run_example("cd " + sub + " && " + commands[i], &err);
        EXPECT_EQ(r.status, 0) << commands[i] << "\n" << err;
        EXPECT_EQ(err, "") << commands[i];
        for (const char* name : {"a.tif", "b c.tif", "d.tif"}) {
            tiff_image image;
            EXPECT_TRUE(read_tiff(path(sub + "/" + name), &image)) << commands[i] << ": " << name;
            EXPECT_EQ(image.compression, COMPRESSION_DEFLATE) << commands[i];
        }
    }
}

}  // namespace
