// Queues with a generated PPD, chosen by the host's print-file-format or the
// administrator's setting, as the private scheduler stores and describes
// them; and the raw queue that takes over when CUPS cannot convert.
#include <cups/cups.h>
// The PPD API is deprecated for drivers, not for reading a PPD back here.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <cups/ppd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "Announcements.h"
#include "MirroringFixture.h"

namespace czs {
namespace {

using e2e::cupsQueues;
using e2e::json;
using e2e::PrinterMirroring;

const std::string kPdfFilter = R"(*cupsFilter2: "application/vnd.cups-pdf application/pdf 0 -")";
const std::string kPsFilter = R"(*cupsFilter2: "application/vnd.cups-postscript application/postscript 0 -")";

std::string ppdPath(const std::string& queue) {
    return e2e::cupsdRoot() + "/conf/ppd/" + queue + ".ppd";
}

bool exists(const std::string& path) {
    return std::ifstream(path).good();
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Every main keyword of a PPD ("*Keyword" at a line's start, up to ":" or a
// blank), comments ("*%") left out.
std::multiset<std::string> keywords(const std::string& ppd) {
    std::multiset<std::string> out;
    std::istringstream in(ppd);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] != '*' || line.rfind("*%", 0) == 0) continue;
        out.insert(line.substr(0, line.find_first_of(": \t")));
    }
    return out;
}

int cupstestppd(const std::string& path) {
    return std::system(("cupstestppd -q '" + path + "'").c_str());
}

// The values of one printer attribute as the scheduler answers it for
// `queue` (what IPP print dialogs read).
std::set<std::string> attributeOf(const std::string& queue, const char* name) {
    ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 ("ipp://localhost/printers/" + queue).c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, name);
    ipp_t* response = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
    std::set<std::string> out;
    ipp_attribute_t* a = response ? ippFindAttribute(response, name, IPP_TAG_ZERO) : nullptr;
    for (int i = 0; a != nullptr && i < ippGetCount(a); ++i) {
        const char* v = ippGetString(a, i, nullptr);
        if (v != nullptr) out.insert(v);
    }
    ippDelete(response);
    return out;
}

std::set<std::string> formatsOf(const std::string& queue) {
    return attributeOf(queue, "document-format-supported");
}

class PpdQueue : public PrinterMirroring {};

TEST_F(PpdQueue, PdfFormatGivesAQueueWhosePpdConvertsToPdfAndPassesCupstestppd) {
    update(listAs("PDF", {device("office", "1")}));
    ASSERT_TRUE(exists(ppdPath("office")));
    const std::string ppd = readFile(ppdPath("office"));
    EXPECT_NE(ppd.find(kPdfFilter + "\n"), std::string::npos) << ppd;
    EXPECT_NE(ppd.find("*cupsManualCopies: False\n"), std::string::npos);
    EXPECT_EQ(cupstestppd(ppdPath("office")), 0);
    const auto queues = cupsQueues();
    EXPECT_EQ(queues.at("office").makeAndModel, "Maker office (PDF to the host)");
    EXPECT_EQ(queues.at("office").info, "office info");
    EXPECT_TRUE(queues.at("office").accepting);
    const auto formats = formatsOf("office");
    for (const char* f : {"text/plain", "image/png", "application/postscript", "application/pdf"}) {
        EXPECT_EQ(formats.count(f), 1u) << f;
    }
    // What a print dialog offers for it.
    const auto media = attributeOf("office", "media-supported");
    for (const char* m : {"iso_a4_210x297mm", "na_letter_8.5x11in", "iso_a5_148x210mm", "iso_dl_110x220mm"}) {
        EXPECT_EQ(media.count(m), 1u) << m;
    }
    EXPECT_EQ(attributeOf("office", "sides-supported"),
              (std::set<std::string>{"one-sided", "two-sided-long-edge", "two-sided-short-edge"}));
    EXPECT_EQ(attributeOf("office", "print-color-mode-supported").count("monochrome"), 1u);
    EXPECT_TRUE(runRequestErrors().empty());
    EXPECT_FALSE(m_log.contains("using a raw queue"));
}

TEST_F(PpdQueue, PsOrPostscriptGivesAPostScriptQueue) {
    for (const char* format : {"ps", "PostScript"}) {
        update(listAs(format, {device("psq", "1")}));
        const std::string ppd = readFile(ppdPath("psq"));
        EXPECT_NE(ppd.find(kPsFilter + "\n"), std::string::npos) << format;
        EXPECT_EQ(ppd.find(kPdfFilter), std::string::npos) << format;
        EXPECT_EQ(cupstestppd(ppdPath("psq")), 0) << format;
    }
}

TEST_F(PpdQueue, RawEmptyOrUnknownFormatsKeepARawQueueAndAPdfQueueTurnsRaw) {
    update(listAs("pdf", {device("q", "1")}));
    ASSERT_TRUE(exists(ppdPath("q")));
    for (const char* format : {"raw", "", "xps"}) {
        update(listAs(format, {device("q", "1")}));
        EXPECT_FALSE(exists(ppdPath("q"))) << format;
        EXPECT_EQ(cupsQueues().at("q").makeAndModel, "Local Raw Printer") << format;
        update(listAs("pdf", {device("q", "1")}));
        EXPECT_TRUE(exists(ppdPath("q"))) << format;
    }
    EXPECT_TRUE(runRequestErrors().empty());
    // An unknown format is reported with each update that carries it.
    update(listAs("xps", {device("q", "1")}));
    std::size_t unknown = 0;
    for (const auto& line : m_log.lines()) {
        if (line.body ==
            "[UpdatePrintersPerformer]:[updatePrinters]: print-file-format 'xps' is not pdf, ps or "
            "raw: the queues stay raw") {
            EXPECT_EQ(line.level, "ERROR");
            ++unknown;
        }
    }
    EXPECT_EQ(unknown, 2u);
}

TEST_F(PpdQueue, TheAdministratorsSettingOverridesTheHost) {
    UpdatePrintersPerformer pdf(HostTransport::SharedMemory, m_registry, false, PrintFormatSetting::Pdf);
    TaskUpdatePrinters(pdf, response(listAs("raw", {device("forced", "1")}))).execute();
    EXPECT_NE(readFile(ppdPath("forced")).find(kPdfFilter), std::string::npos);

    UpdatePrintersPerformer raw(HostTransport::SharedMemory, m_registry, false, PrintFormatSetting::Raw);
    TaskUpdatePrinters(raw, response(listAs("pdf", {device("forced", "1")}))).execute();
    EXPECT_FALSE(exists(ppdPath("forced")));
}

TEST_F(PpdQueue, AHostileMakeAndModelAddsNoLineOrKeywordToThePpd) {
    update(listAs("pdf", {device("benign", "1")}));
    json evil = device("evil", "2");
    evil["printer-make-and-model"] =
        "HP\" LaserJet\n*FoomaticRIPCommandLine: \"touch /tmp/pwned\"\n*cupsFilter2: \"text/plain "
        "application/pdf 0 /bin/sh\"\r\n*%\x01@MODEL@";
    update(listAs("pdf", {device("benign", "1"), evil}));
    const std::string ppd = readFile(ppdPath("evil"));
    ASSERT_FALSE(ppd.empty());
    EXPECT_EQ(keywords(ppd), keywords(readFile(ppdPath("benign"))));
    EXPECT_EQ(ppd.find("\n*FoomaticRIPCommandLine"), std::string::npos);
    EXPECT_EQ(ppd.find("/bin/sh"), std::string::npos);
    EXPECT_EQ(cupstestppd(ppdPath("evil")), 0);
    EXPECT_FALSE(exists("/tmp/pwned"));
    // And as libcups itself reads it back.
    ppd_file_t* parsed = ppdOpenFile(ppdPath("evil").c_str());
    ASSERT_NE(parsed, nullptr);
    EXPECT_EQ(ppdFindAttr(parsed, "FoomaticRIPCommandLine", nullptr), nullptr);
    int filters = 0;
    for (ppd_attr_t* a = ppdFindAttr(parsed, "cupsFilter2", nullptr); a != nullptr;
         a = ppdFindNextAttr(parsed, "cupsFilter2", nullptr)) {
        ++filters;
        EXPECT_STREQ(a->value, "application/vnd.cups-pdf application/pdf 0 -");
    }
    EXPECT_EQ(filters, 1);
    ASSERT_NE(parsed->nickname, nullptr);
    // The make-and-model without the bytes outside the safe set, cut at 60
    // bytes (the trailing blank dropped), and the fixed suffix.
    EXPECT_STREQ(parsed->nickname, "HP LaserJetFoomaticRIPCommandLine touch tmppwnedcupsFilter2 (PDF to the host)");
    ppdClose(parsed);
}

// Run against a scheduler whose filter directory is empty (run-in-cupsd with
// CUPSD_HIDE_FILTERS=1); the other suites need the filters.
class NoFilters : public PrinterMirroring {};

TEST_F(NoFilters, APdfQueueFallsBackToRawSaysSoOnceAndStillPrints) {
    e2e::AnnouncementListener listener;
    ASSERT_TRUE(listener.ok());
    update(listAs("pdf", {device("plain", "1")}));
    update(listAs("pdf", {device("plain", "1")}));
    EXPECT_FALSE(exists(ppdPath("plain")));
    EXPECT_EQ(cupsQueues().at("plain").makeAndModel, "Local Raw Printer");
    std::size_t said = 0;
    for (const auto& line : m_log.lines()) {
        if (line.body ==
            "[PrinterManager]:[addPrinter]: queue plain cannot print pdf, using a raw queue: CUPS "
            "cannot convert text/plain for it (are the cups-filters installed?)") {
            ++said;
        }
    }
    EXPECT_EQ(said, 1u) << m_log.text();

    const std::string content = "plain text, no filters\n";
    std::ofstream("/tmp/nofilters.txt") << content;
    ASSERT_EQ(std::system("lp -d plain /tmp/nofilters.txt >/dev/null"), 0);
    const std::string line = listener.readLine(20000, true);
    ASSERT_FALSE(line.empty()) << "no announcement; scheduler log: " << e2e::cupsdRoot() << "/log/error_log";
    const json announcement = json::parse(line);
    EXPECT_EQ(announcement.value("document-format", ""), "text/plain") << line;
    EXPECT_EQ(readFile(announcement.at("abspath").get<std::string>()), content);
}

}  // namespace
}  // namespace czs
