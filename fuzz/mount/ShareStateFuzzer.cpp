// Any state file and any mount table: the parsers never crash, and what the
// state parser accepts survives a write and a second read unchanged, so a
// restart adopts exactly what the previous instance recorded.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCommon.h"
#include "mount/MountTable.h"
#include "mount/ShareStateStore.h"

namespace {

bool same(const qmss::ShareRecord& a, const qmss::ShareRecord& b) {
    return a.mnt_id == b.mnt_id && a.pid == b.pid && a.uid == b.uid && a.gid == b.gid && a.username == b.username &&
           a.homedir == b.homedir && a.folder == b.folder && a.path == b.path && a.name == b.name &&
           a.staging == b.staging;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace qmss;
    fuzz::quiet_logs();
    const std::string text(reinterpret_cast<const char*>(data), size);
    size_t bad = 0;
    std::vector<ShareRecord> first = parse_share_records(text, &bad);
    std::vector<ShareRecord> again = parse_share_records(format_share_records(first), &bad);
    fuzz::require(bad == 0, "a written record reads back");
    fuzz::require(again.size() == first.size(), "every record survives a round trip");
    for (size_t i = 0; i < first.size(); ++i) {
        fuzz::require(same(first[i], again[i]), "a record reads back unchanged");
        fuzz::require(first[i].mnt_id != 0 && first[i].pid > 0, "ids are set");
        fuzz::require(first[i].name.find('/') == std::string::npos, "the name is one component");
    }
    for (const MountEntry& e : parse_mountinfo(text)) {
        fuzz::require(find_mount(parse_mountinfo(text), e.id).has_value(), "an entry is found by its id");
    }
    return 0;
}
