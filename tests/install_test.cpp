// The build installed into a temporary prefix, as `make install` does:
// the programs land in bin/ and run from there, each program's manual page
// in share/man/man1/ and its bash completion in
// share/bash-completion/completions/, the licence in share/doc/tiffsuite/.
#include "suite_sources.h"

#include <cstdlib>
#include <unistd.h>

namespace {

class Install : public ToolTest {
protected:
    // Installs the build under a prefix in the test's scratch directory.
    void SetUp() override
    {
        ToolTest::SetUp();
        prefix = path("prefix");
        shell_result r = run_shell(shell_quote(CMAKE_COMMAND) + " --install " +
                                   shell_quote(BUILD_DIR) + " --prefix " + shell_quote(prefix) +
                                   " 2>&1");
        ASSERT_EQ(r.status, 0) << r.out;
    }
    std::string prefix;
};

TEST_F(Install, ProgramsPagesAndCompletionsLandInPlace)
{
    std::string completion = read_file(std::string(SOURCE_DIR) + "/completions/suite.bash");
    ASSERT_FALSE(completion.empty());
    for (const std::string& program : suite_programs()) {
        std::string installed = prefix + "/bin/" + program;
        EXPECT_EQ(access(installed.c_str(), X_OK), 0) << installed;
        std::string page = std::string(SOURCE_DIR) + "/man/" + program + ".1";
        if (file_exists(page)) {
            EXPECT_EQ(read_file(prefix + "/share/man/man1/" + program + ".1"), read_file(page))
                << program;
        }
        EXPECT_EQ(read_file(prefix + "/share/bash-completion/completions/" + program), completion)
            << program;
    }
    EXPECT_EQ(read_file(prefix + "/share/doc/tiffsuite/LICENSE"),
              read_file(std::string(SOURCE_DIR) + "/LICENSE"));
    // Nothing but the programs goes to bin/ (no test or benchmark programs).
    shell_result listing = run_shell("ls " + shell_quote(prefix + "/bin"));
    EXPECT_EQ(lines_of(listing.out).size(), suite_programs().size()) << listing.out;
}

TEST_F(Install, InstalledProgramRuns)
{
    // Without arguments: the usage text, status 255.
    std::string anymaptag = shell_quote(prefix + "/bin/anymaptag");
    shell_result usage = run_shell(anymaptag + " 2>&1");
    EXPECT_EQ(usage.status, 255);
    EXPECT_NE(usage.out.find("LIBTIFF, Version"), std::string::npos) << usage.out;
    EXPECT_NE(usage.out.find("usage: anymaptag [options] input.ppm output.tif"),
              std::string::npos)
        << usage.out;

    // A real conversion through the installed program.
    write_file(path("grey.pgm"),
               std::string("P5\n3 2\n255\n") + std::string("\x00\x40\x80\xc0\xff\x10", 6));
    shell_result convert = run_shell("cd " + shell_quote(dir) + " && " + anymaptag +
                                     " -c lzw grey.pgm grey.tif 2>&1");
    EXPECT_EQ(convert.status, 0) << convert.out;
    tiff_image image;
    ASSERT_TRUE(read_tiff(path("grey.tif"), &image));
    EXPECT_EQ(image.width, 3u);
    EXPECT_EQ(image.height, 2u);
    EXPECT_EQ(image.compression, COMPRESSION_LZW);
    EXPECT_EQ(image.pixels, (bytes{0x00, 0x40, 0x80, 0xc0, 0xff, 0x10}));

    // man finds the installed page by name under the prefix.
    shell_result page = run_shell("MANPATH=" + shell_quote(prefix + "/share/man") +
                                  " MANWIDTH=80 man anymaptag 2>&1");
    EXPECT_EQ(page.status, 0) << page.out;
    EXPECT_NE(page.out.find("anymaptag - convert a PBM, PGM or PPM image to TIFF"),
              std::string::npos)
        << page.out;
}

}  // namespace
