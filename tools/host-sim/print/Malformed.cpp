// The malformed input host-sim can throw at the daemon: noise, broken frames,
// bad base64, bad messages, and well-formed messages of the wrong JSON types.
#include <cstring>
#include <random>

#include "HostSim.h"
#include "WireCodec.h"

namespace hostsim {

namespace {
std::vector<uint8_t> frameOf(const std::string& payload, uint16_t type = wire::kTypeMessage) {
    return wire::frame(payload, type);
}
std::string b64(const std::string& text) {
    return wire::base64Encode(text);
}
}  // namespace

void HostSim::sendGarbage(unsigned count, unsigned seed) {
    std::mt19937 rng(seed);
    auto rnd = [&](unsigned n) { return static_cast<unsigned>(rng() % n); };
    auto randomBytes = [&](std::size_t n) {
        std::vector<uint8_t> b(n);
        for (auto& x : b) {
            x = static_cast<uint8_t>(rng());
        }
        return b;
    };
    const char* notJson[] = {"not json",
                             "[1,2,3]",
                             "42",
                             "null",
                             "{}",
                             "{\"method\":5,\"type\":\"request\",\"context\":\"cups\"}",
                             "{\"method\":\"discovery\"}",
                             "{\"method\":\"\",\"type\":\"x\",\"context\":\"cups\"}",
                             "{\"context\":\"cups\",\"method\":\"message\",\"type\":\"info\"}",
                             "{\"context\":\"cups\",\"method\":\"sendfile\",\"type\":\"error\"}",
                             "{\"context\":\"other\",\"method\":\"sendfile\",\"type\":\"response\"}"};
    std::vector<uint8_t> all;
    for (unsigned i = 0; i < count; ++i) {
        std::vector<uint8_t> item;
        switch (rnd(8)) {
            case 0:  // noise, sometimes with a marker inside
                item = randomBytes(1 + rnd(300));
                if (rnd(2)) {
                    std::memcpy(item.data() + rnd(static_cast<unsigned>(item.size())) / 2, "ZEFA",
                                std::min<std::size_t>(4, item.size()));
                }
                break;
            case 1: {  // header with a random type and length
                item = {'Z', 'E', 'F', 'A'};
                auto r = randomBytes(6 + rnd(100));
                item.insert(item.end(), r.begin(), r.end());
                break;
            }
            case 2: {  // valid frame shape, random binary payload, random type 0..9
                auto r = randomBytes(rnd(200));
                item = frameOf(std::string(r.begin(), r.end()), static_cast<uint16_t>(rnd(10)));
                break;
            }
            case 3: {  // broken check field or end byte
                item = frameOf(b64(notJson[rnd(std::size(notJson))]));
                item[item.size() - 1 - rnd(3)] ^= 0x01;
                break;
            }
            case 4:  // payload that is not base64 of a message
                item = frameOf(std::string("!!not base64 at all~~").substr(0, 1 + rnd(20)));
                break;
            case 5:  // base64 of a bad message
                item = frameOf(b64(notJson[rnd(std::size(notJson))]));
                break;
            case 6:  // a request for a file nobody announced
                item = frameOf(b64("{\"context\":\"cups\",\"data\":{\"id\":\"nope-" + std::to_string(rnd(1000)) +
                                   "\",\"offset\":0,\"size\":16},\"method\":\"sendfile\",\"type\":\"request\"}"));
                break;
            default: {  // a frame cut short, glued to whatever follows
                auto f = frameOf(b64(notJson[rnd(std::size(notJson))]));
                f.resize(1 + rnd(static_cast<unsigned>(f.size() - 1)));
                item = f;
                break;
            }
        }
        all.insert(all.end(), item.begin(), item.end());
    }
    sendRaw(all);
    out("sent " + std::to_string(count) + " malformed items, " + std::to_string(all.size()) + " bytes");
}

void HostSim::sendTypeErrors() {
    // Each message kind the daemon acts on, with members of the wrong type.
    const char* msgs[] = {
        R"({"context":"cups","data":{"id":"x","offset":"0","size":4},"method":"sendfile","type":"request"})",
        R"({"context":"cups","data":{"id":1,"offset":0,"size":4},"method":"sendfile","type":"request"})",
        R"({"context":"cups","data":{"id":"x","offset":0,"size":[4]},"method":"sendfile","type":"request"})",
        R"({"context":"cups","data":[1],"method":"sendfile","type":"request"})",
        R"({"context":"cups","data":"x","method":"discovery","type":"request"})",
        R"({"context":"cups","data":{"devices":[]},"method":"discovery","type":"response"})",
        R"({"context":"cups","data":{"meta":{"platform":5},"devices":[]},"method":"discovery","type":"response"})",
        R"({"context":"cups","data":{"meta":{},"devices":[1]},"method":"discovery","type":"response"})",
        R"({"context":"cups","data":{"meta":{},"devices":[{"name":7}]},"method":"discovery","type":"response"})",
        R"({"context":"cups","data":{"meta":{},"devices":[{"isDefault":"yes"}]},"method":"discovery","type":"response"})",
        R"({"context":"cups","data":7,"method":"discovery","type":"response"})",
    };
    for (const char* m : msgs) {
        sendRaw(frameOf(b64(m)));
    }
    out("sent " + std::to_string(std::size(msgs)) + " messages with type errors");
}

}  // namespace hostsim
