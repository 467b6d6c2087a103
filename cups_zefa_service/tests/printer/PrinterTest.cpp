// Printer records, the printer URI encoding and the host channel path.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "printer/Printer.h"
#include "printer/HostChannelPath.h"
#include "support/HostValues.h"

namespace czs {
namespace {

const std::string kVirtio = "/dev/virtio-ports/orvanta.Printer.0";

TEST(PrinterRecord, DerivesNamesAndUrisFromHostValues) {
    Printer p(true, false, "7", "Office printer", "2nd floor", "HP LaserJet", "Office HP", kVirtio);
    EXPECT_EQ(p.backend, "zefa-prt");
    EXPECT_EQ(test::hostValues(p), std::make_tuple(true, false, "7", "Office printer", "2nd floor", "HP LaserJet"));
    EXPECT_EQ(p.name, "Office HP");
    EXPECT_EQ(p.cupsName, "Office+HP");
    EXPECT_EQ(p.transportPath, kVirtio);
    EXPECT_EQ(p.printerUri, "ipp://localhost/printers/Office+HP");
    EXPECT_EQ(p.deviceUri, "zefa-prt:///dev/virtio-ports/orvanta.Printer.0/7");
}

TEST(PrinterRecord, WithoutTransportTheDeviceUriHasOnlyTheDeviceId) {
    Printer p(false, true, "7", "", "", "", "x", "");
    EXPECT_EQ(p.deviceUri, "zefa-prt:///7");
    EXPECT_TRUE(p.driverXps);
}

TEST(PrinterRecord, EveryBlankReplacedInCupsNameOnly) {
    Printer p(false, false, "", "", "", "", " my  printer ", "");
    EXPECT_EQ(p.cupsName, "+my++printer+");
    EXPECT_EQ(p.name, " my  printer ");
}

TEST(PrinterRecord, BlankRecordHasEmptyFieldsAndClearFlags) {
    Printer p;
    EXPECT_EQ(p.backend, "zefa-prt");
    EXPECT_FALSE(p.isDefault);
    EXPECT_FALSE(p.driverXps);
    for (const std::string* s : {&p.deviceId, &p.info, &p.location, &p.makeAndModel, &p.name, &p.deviceUri,
                                 &p.printerUri, &p.cupsName, &p.transportPath}) {
        EXPECT_TRUE(s->empty());
    }
}

TEST(PrinterUriEncoding, KeepsLettersDigitsAndDashEscapesTheRest) {
    EXPECT_EQ(Printer::encodePrinterUri("a/b"), "ipp://localhost/printers/a%2Fb");
    EXPECT_EQ(Printer::encodePrinterUri("Az09-"), "ipp://localhost/printers/Az09-");
    EXPECT_EQ(Printer::encodePrinterUri("a_b.c"), "ipp://localhost/printers/a%5Fb%2Ec");
    EXPECT_EQ(Printer::encodePrinterUri("my printer"), "ipp://localhost/printers/my+printer");
    EXPECT_EQ(Printer::encodePrinterUri("a+b%"), "ipp://localhost/printers/a%2Bb%25");
    EXPECT_EQ(Printer::encodePrinterUri(""), "ipp://localhost/printers/");
}

TEST(PrinterUriEncoding, EscapesEachUtf8ByteInUpperCaseHex) {
    // "Büro" and a CJK character: every byte of the sequence on its own.
    EXPECT_EQ(Printer::encodePrinterUri("B\xC3\xBCro"), "ipp://localhost/printers/B%C3%BCro");
    EXPECT_EQ(Printer::encodePrinterUri("\xE5\x8D\xB0"), "ipp://localhost/printers/%E5%8D%B0");
    EXPECT_EQ(Printer::encodePrinterUri(std::string("\xFF\x01", 2)), "ipp://localhost/printers/%FF%01");
}

TEST(PrinterUriEncoding, StopsAtTheFirstByteThatDoesNotFitIn1023Bytes) {
    const std::string prefix = "ipp://localhost/printers/";  // 25 bytes
    const std::size_t room = 1023 - prefix.size();           // 998

    // Exactly full.
    EXPECT_EQ(Printer::encodePrinterUri(std::string(room, 'a')), prefix + std::string(room, 'a'));
    // One more letter is dropped.
    EXPECT_EQ(Printer::encodePrinterUri(std::string(room + 1, 'a')), prefix + std::string(room, 'a'));
    // An escape needs three bytes: with two left it is not started, and
    // nothing after it is taken either, even a letter that would fit.
    const std::string name = std::string(room - 2, 'a') + "_b";
    EXPECT_EQ(Printer::encodePrinterUri(name), prefix + std::string(room - 2, 'a'));
    // A name far beyond the bound.
    EXPECT_EQ(Printer::encodePrinterUri(std::string(5000, '/')).size(), 1021u);
}

// Undoes the encoding: "+" is a space, "%XX" a byte.
std::string decodeName(const std::string& uri) {
    std::string out;
    for (std::size_t i = std::string("ipp://localhost/printers/").size(); i < uri.size(); ++i) {
        if (uri[i] == '+') {
            out.push_back(' ');
        } else if (uri[i] == '%' && i + 2 < uri.size()) {
            out.push_back(static_cast<char>(std::stoi(uri.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(uri[i]);
        }
    }
    return out;
}

TEST(PrinterUriEncoding, RandomNamesDecodeBackToAPrefixWithinTheBound) {
    std::mt19937 rng(20240607);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> length(0, 1200);
    for (int round = 0; round < 500; ++round) {
        std::string name(static_cast<std::size_t>(length(rng)), '\0');
        for (char& c : name) {
            c = static_cast<char>(byte(rng));
        }
        const std::string uri = Printer::encodePrinterUri(name);
        ASSERT_LE(uri.size(), 1023u);
        ASSERT_EQ(uri.rfind("ipp://localhost/printers/", 0), 0u);
        for (std::size_t i = 25; i < uri.size(); ++i) {
            const unsigned char c = static_cast<unsigned char>(uri[i]);
            ASSERT_TRUE(std::isalnum(c) || c == '-' || c == '+' || c == '%') << int(c);
        }
        const std::string decoded = decodeName(uri);
        ASSERT_EQ(name.compare(0, decoded.size(), decoded), 0);
        // Cut only when the next byte's output would not fit.
        if (decoded.size() < name.size()) {
            ASSERT_GT(uri.size() + 3, 1023u);
        }
    }
}

TEST(HostChannelPath, EachTransportNamesItsOwnDevicePath) {
    EXPECT_EQ(hostChannelPath(HostTransport::SharedMemory), "/dev/shm/orvanta.Printer.0");
    EXPECT_EQ(hostChannelPath(HostTransport::SerialPort), "/dev/virtio-ports/orvanta.Printer.0");
    // The device URI of device id 7 on the virtio port, as CUPS will show it.
    const Printer p(false, false, "7", "", "", "", "Office HP", hostChannelPath(HostTransport::SerialPort));
    EXPECT_EQ(p.deviceUri, "zefa-prt:///dev/virtio-ports/orvanta.Printer.0/7");
    EXPECT_EQ(p.printerUri, "ipp://localhost/printers/Office+HP");
    EXPECT_EQ(p.cupsName, "Office+HP");
}

}  // namespace
}  // namespace czs
