// The IPP requests: operation codes, groups, value tags and attribute order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "printer/IppRequest.h"

namespace czs::CupsApiWrapper {
namespace {

struct Attr {
    int group;
    int valueTag;
    std::string name;
    std::string value;  // string value, or the integer in decimal
    int count;
};

// The request's attributes in wire order, without the two that every
// request starts with (attributes-charset, attributes-natural-language).
std::vector<Attr> attributes(ipp_t* ipp) {
    std::vector<Attr> out;
    for (ipp_attribute_t* a = ippFirstAttribute(ipp); a; a = ippNextAttribute(ipp)) {
        const std::string name = ippGetName(a) ? ippGetName(a) : "";
        if (name == "attributes-charset" || name == "attributes-natural-language") {
            continue;
        }
        const int tag = ippGetValueTag(a);
        std::string value;
        if (tag == IPP_TAG_ENUM || tag == IPP_TAG_INTEGER) {
            value = std::to_string(ippGetInteger(a, 0));
        } else {
            const char* s = ippGetString(a, 0, nullptr);
            value = s ? s : "<null>";
        }
        out.push_back({ippGetGroupTag(a), tag, name, value, ippGetCount(a)});
    }
    return out;
}

Printer officePrinter() {
    return Printer(true, true, "7", "Office printer", "2nd floor", "HP LaserJet 4", "Office HP",
                   "/dev/virtio-ports/orvanta.Printer.0");
}

TEST(IppRequests, AddModifyPrinterCarriesDescriptionDeviceAndIdleState) {
    AddPrinterIppRequest r;
    r.setPrinter(officePrinter());
    IppRequestPtr ipp = r.createRequest();
    ASSERT_TRUE(ipp);
    EXPECT_EQ(ippGetOperation(ipp.get()), 0x4003);
    const std::vector<Attr> attrs = attributes(ipp.get());
    ASSERT_EQ(attrs.size(), 6u);
    // group 1 = operation, 4 = printer; tags 0x45 uri, 0x41 text, 0x23 enum
    const std::vector<Attr> want = {
        {1, 0x45, "printer-uri", "ipp://localhost/printers/Office+HP", 1},
        {4, 0x41, "printer-info", "Office printer", 1},
        {4, 0x41, "printer-location", "2nd floor", 1},
        {4, 0x45, "device-uri", "zefa-prt:///dev/virtio-ports/orvanta.Printer.0/7", 1},
        {4, 0x41, "device-make-and-model", "HP LaserJet 4", 1},
        {4, 0x23, "printer-state", "3", 1},
    };
    for (std::size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(want[i].name);
        EXPECT_EQ(attrs[i].group, want[i].group);
        EXPECT_EQ(attrs[i].valueTag, want[i].valueTag);
        EXPECT_EQ(attrs[i].name, want[i].name);
        EXPECT_EQ(attrs[i].value, want[i].value);
        EXPECT_EQ(attrs[i].count, 1);
    }
}

TEST(IppRequests, AddModifyPrinterSendsEmptyStringsToo) {
    AddPrinterIppRequest r;
    r.setPrinter(Printer(false, false, "", "", "", "", "only-name", ""));
    IppRequestPtr ipp = r.createRequest();
    const std::vector<Attr> attrs = attributes(ipp.get());
    ASSERT_EQ(attrs.size(), 6u);
    EXPECT_EQ(attrs[1].name, "printer-info");
    EXPECT_EQ(attrs[1].value, "");
    EXPECT_EQ(attrs[2].name, "printer-location");
    EXPECT_EQ(attrs[2].value, "");
    EXPECT_EQ(attrs[3].value, "zefa-prt:///");
    EXPECT_EQ(attrs[4].name, "device-make-and-model");
    EXPECT_EQ(attrs[4].value, "");
}

TEST(IppRequests, DeleteAndAcceptCarryOnlyThePrinterUri) {
    DeletePrinterIppRequest del;
    AcceptPrinterJobsIppRequest accept;
    Printer p(false, false, "", "", "", "", "a/b", "");
    del.setPrinter(p);
    accept.setPrinter(p);
    for (auto [request, op] : {std::pair<IppRequestBase*, int>{&del, 0x4004}, {&accept, 0x4008}}) {
        IppRequestPtr ipp = request->createRequest();
        ASSERT_TRUE(ipp);
        EXPECT_EQ(ippGetOperation(ipp.get()), op);
        const std::vector<Attr> attrs = attributes(ipp.get());
        ASSERT_EQ(attrs.size(), 1u);
        EXPECT_EQ(attrs[0].group, 1);
        EXPECT_EQ(attrs[0].valueTag, 0x45);
        EXPECT_EQ(attrs[0].name, "printer-uri");
        EXPECT_EQ(attrs[0].value, "ipp://localhost/printers/a%2Fb");
    }
}

TEST(IppRequests, BlankUntilARecordIsSetAndSetCopiesTheRecord) {
    AddPrinterIppRequest r;
    EXPECT_TRUE(r.printer().name.empty());
    EXPECT_TRUE(r.printer().printerUri.empty());
    {
        Printer p = officePrinter();
        r.setPrinter(p);
        p.info = "changed afterwards";
    }
    EXPECT_EQ(r.printer().info, "Office printer");
    EXPECT_EQ(attributes(r.createRequest().get())[1].value, "Office printer");
}

}  // namespace
}  // namespace czs::CupsApiWrapper
