// The generated PPD: what CUPS's own checker says of it, what a hostile host
// string can do to it, the default paper, and which format a queue gets.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "printer/PaperSize.h"
#include "printer/PpdGenerator.h"
#include "printer/QueueFormat.h"

namespace czs {
namespace {

std::multiset<std::string> keywords(const std::string& ppd) {
    std::multiset<std::string> out;
    std::istringstream in(ppd);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("*", 0) == 0 && line.rfind("*%", 0) != 0) out.insert(line.substr(0, line.find_first_of(": ")));
    }
    return out;
}

class TempDir : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/czs-ppd-test-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
    }
    void TearDown() override { (void)std::system(("rm -rf '" + m_dir + "'").c_str()); }
    std::string write(const std::string& name, const std::string& text) const {
        const std::string path = m_dir + "/" + name;
        std::ofstream(path) << text;
        return path;
    }
    std::string m_dir;
};

using PpdGenerator = TempDir;

TEST_F(PpdGenerator, PdfAndPostScriptPpdsPassCupstestppdWithEveryDefaultPaper) {
    for (QueueFormat format : {QueueFormat::Pdf, QueueFormat::PostScript}) {
        for (const PaperSize& paper : kPaperSizes) {
            const std::string ppd = generatePpd({format, "HP LaserJet 4000 (PCL_6)", paper.ppdName});
            ASSERT_FALSE(ppd.empty());
            EXPECT_NE(ppd.find(std::string("*DefaultPageSize: ") + paper.ppdName + "\n"), std::string::npos);
            const std::string path = write("q.ppd", ppd);
            EXPECT_EQ(std::system(("cupstestppd -q " + path).c_str()), 0)
                << queueFormatName(format) << " " << paper.ppdName << "\n"
                << ppd;
        }
    }
}

TEST_F(PpdGenerator, EachFormatHasItsFilterLineAndRawHasNoPpd) {
    const std::string pdf = generatePpd({QueueFormat::Pdf, "M", "A4"});
    const std::string ps = generatePpd({QueueFormat::PostScript, "M", "A4"});
    EXPECT_NE(pdf.find("\n*cupsFilter2: \"application/vnd.cups-pdf application/pdf 0 -\"\n"), std::string::npos);
    EXPECT_NE(ps.find("\n*cupsFilter2: \"application/vnd.cups-postscript application/postscript 0 -\"\n"),
              std::string::npos);
    EXPECT_EQ(keywords(pdf).count("*cupsFilter2"), 1u);
    EXPECT_EQ(keywords(ps).count("*cupsFilter2"), 1u);
    for (const std::string* ppd : {&pdf, &ps}) {
        EXPECT_NE(ppd->find("\n*cupsManualCopies: False\n"), std::string::npos);
        for (const char* choice : {"*Duplex None/", "*Duplex DuplexNoTumble/", "*Duplex DuplexTumble/",
                                   "*ColorModel Gray/", "*ColorModel RGB/", "*PageSize A5/", "*PageSize EnvDL/"}) {
            EXPECT_NE(ppd->find(std::string("\n") + choice), std::string::npos) << choice;
        }
    }
    EXPECT_EQ(generatePpd({QueueFormat::Raw, "M", "A4"}), "");
}

TEST_F(PpdGenerator, HostStringsCannotAddLinesOrKeywords) {
    const std::string benign = generatePpd({QueueFormat::Pdf, "Plain Model", "A4"});
    const std::string hostile[] = {
        "X\"\n*FoomaticRIPCommandLine: \"sh -c 'touch /tmp/x'\"",
        "\r*cupsFilter2: \"text/plain application/pdf 0 /bin/sh\"\n",
        "@MODEL@ @FILTER@ @PAPER@ \" * : %",
        std::string("nul\0byte\x01\x7F\xC3\xBC", 13),
        std::string(5000, 'A') + "\n*Evil: x",
        "",
    };
    for (const std::string& model : hostile) {
        const std::string ppd = generatePpd({QueueFormat::Pdf, model, "A4"});
        EXPECT_EQ(keywords(ppd), keywords(benign)) << model;
        EXPECT_EQ(std::count(ppd.begin(), ppd.end(), '\n'), std::count(benign.begin(), benign.end(), '\n'));
        for (char c : ppd) {
            const auto u = static_cast<unsigned char>(c);
            EXPECT_TRUE(c == '\n' || (u >= 0x20 && u < 0x7F)) << static_cast<int>(u);
        }
        EXPECT_EQ(ppd.find("/bin/sh"), std::string::npos);
        EXPECT_EQ(ppd.find('@'), std::string::npos);
        EXPECT_EQ(std::system(("cupstestppd -q " + write("h.ppd", ppd)).c_str()), 0) << ppd;
    }
}

TEST(PpdText, KeepsOnlyTheSafeSetCollapsesBlanksAndBounds) {
    EXPECT_EQ(sanitizePpdText("  HP  \"LaserJet\"\t4000 (PCL_6)-x.y*:/ ", 64), "HP LaserJet4000 (PCL_6)-x.y");
    EXPECT_EQ(sanitizePpdText("abcdef", 3), "abc");
    EXPECT_EQ(sanitizePpdText("ab  cd", 3), "ab");  // no blank left at the cut
    EXPECT_EQ(sanitizePpdText("\n\"*%", 10), "");
}

TEST(PpdText, ModelNameNickNameAndShortNickNameComeFromTheMakeAndModel) {
    const std::string ppd = generatePpd({QueueFormat::PostScript, "Brother HL-L2350DW (series_2)", "A4"});
    EXPECT_NE(ppd.find("\n*ModelName: \"Brother HL-L2350DW series 2\"\n"), std::string::npos) << ppd;
    EXPECT_NE(ppd.find("\n*ShortNickName: \"Brother HL-L2350DW (series_2)\"\n"), std::string::npos);
    EXPECT_NE(ppd.find("\n*NickName: \"Brother HL-L2350DW (series_2) (PostScript to the host)\"\n"), std::string::npos);
    const std::string unnamed = generatePpd({QueueFormat::Pdf, "\"\"", "A4"});
    EXPECT_NE(unnamed.find("\n*NickName: \"Remote Printer (PDF to the host)\"\n"), std::string::npos);
}

using DefaultPaper = TempDir;

TEST_F(DefaultPaper, TheLocaleFirstThenPapersizeThenA4) {
    const std::string letter = write("papersize-letter", "# system paper\n\n  letter\n");
    const std::string a5 = write("papersize-a5", "A5\n");
    const std::string junk = write("papersize-junk", "tabloid\n");
    const std::string missing = m_dir + "/none";
    EXPECT_EQ(defaultPaperSize(nullptr, letter), "Letter");
    EXPECT_EQ(defaultPaperSize("", a5), "A5");
    EXPECT_EQ(defaultPaperSize(nullptr, junk), "A4");
    EXPECT_EQ(defaultPaperSize(nullptr, missing), "A4");
    // A locale names its territory's paper, installed or not.
    EXPECT_EQ(defaultPaperSize("en_US.UTF-8", a5), "Letter");
    EXPECT_EQ(defaultPaperSize("fr_CA", a5), "Letter");
    EXPECT_EQ(defaultPaperSize("de_DE.UTF-8", letter), "A4");
    // The C locale states no preference; the system file decides.
    EXPECT_EQ(defaultPaperSize("C.UTF-8", letter), "Letter");
    EXPECT_EQ(defaultPaperSize("POSIX", a5), "A5");
    EXPECT_EQ(defaultPaperSize("garbage", a5), "A5");
}

TEST(QueueFormatChoice, TheHostsFormatIgnoringCaseUnlessTheSettingFixesIt) {
    struct Case {
        PrintFormatSetting setting;
        const char* host;
        QueueFormat format;
        bool unknown;
    };
    const Case cases[] = {
        {PrintFormatSetting::Host, "pdf", QueueFormat::Pdf, false},
        {PrintFormatSetting::Host, "PDF", QueueFormat::Pdf, false},
        {PrintFormatSetting::Host, "ps", QueueFormat::PostScript, false},
        {PrintFormatSetting::Host, "PostScript", QueueFormat::PostScript, false},
        {PrintFormatSetting::Host, "raw", QueueFormat::Raw, false},
        {PrintFormatSetting::Host, "", QueueFormat::Raw, false},
        {PrintFormatSetting::Host, "xps", QueueFormat::Raw, true},
        {PrintFormatSetting::Host, "pdf ", QueueFormat::Raw, true},
        {PrintFormatSetting::Pdf, "raw", QueueFormat::Pdf, false},
        {PrintFormatSetting::PostScript, "xps", QueueFormat::PostScript, false},
        {PrintFormatSetting::Raw, "pdf", QueueFormat::Raw, false},
    };
    for (const Case& c : cases) {
        bool unknown = !c.unknown;
        EXPECT_EQ(chooseQueueFormat(c.setting, c.host, unknown), c.format) << c.host;
        EXPECT_EQ(unknown, c.unknown) << c.host;
    }
}

}  // namespace
}  // namespace czs
