// Feeds arbitrary bytes as one host delivery to the host-channel handler,
// which keeps its performers from one input to the next as the daemon does.
// Print files of known content are registered, so chunk requests are served
// for real; CUPS and systemd are out of reach (see FuzzSupport.h).
//
// Besides crashes, leaks and escaping exceptions it checks what reaches the
// host: a reply is always one well-formed type-4 frame, and it is the right
// one for the message that came in (classified independently with a fresh
// converter): the discovery request for a discovery notification, a chunk
// response holding exactly the file's bytes for a chunk request, nothing for
// anything else.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "protocol/PrintProtocolJsonMsg.h"
#include "protocol/RawStreamDataConverter.h"
#include "common/DaemonConfig.h"
#include "service/SerialPortHandler.h"
#include "task/PrintFileRegistry.h"

namespace {

using czs::fuzz::require;

// The identifiers the seeds use; each names a different kind of file.
constexpr const char* kIdSmall = "00000000-0000-4000-8000-000000000010";    // 10-byte file
constexpr const char* kIdLarge = "00000000-0000-4000-8000-000000070000";    // 70000-byte file
constexpr const char* kIdEmpty = "00000000-0000-4000-8000-000000000000";    // empty file
constexpr const char* kIdMissing = "00000000-0000-4000-8000-00000000dead";  // path that does not exist
constexpr const char* kIdDir = "00000000-0000-4000-8000-0000000000d1";      // a directory
constexpr const char* kIdFifo = "00000000-0000-4000-8000-0000000000f1";     // a FIFO: must not block
constexpr const char* kIdLink = "00000000-0000-4000-8000-0000000000e1";     // a symbolic link

// The contents of the files that can be served, by identifier.
std::map<std::string, std::string>& servedFiles() {
    static std::map<std::string, std::string> files;
    return files;
}

czs::PrintFileRegistry& registry() {
    static czs::PrintFileRegistry files;
    return files;
}

void registerFiles() {
    auto& registry = ::registry();
    const std::string dir = czs::fuzz::scratchDir();

    std::string large(70000, '\0');
    for (size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<char>((i * 131 + 7) & 0xFF);
    const std::pair<const char*, std::string> regular[] = {{kIdSmall, "0123456789"}, {kIdLarge, large}, {kIdEmpty, ""}};
    for (const auto& [id, bytes] : regular) {
        const std::string path = dir + "/" + id;
        czs::fuzz::writeFile(path, bytes);
        registry.addFile(id, path);
        servedFiles()[id] = bytes;
    }
    registry.addFile(kIdMissing, dir + "/missing");
    registry.addFile(kIdDir, dir);
    const std::string fifo = dir + "/fifo";
    require(::mkfifo(fifo.c_str(), 0600) == 0, "mkfifo");
    registry.addFile(kIdFifo, fifo);
    const std::string link = dir + "/link";
    require(::symlink((dir + "/" + kIdSmall).c_str(), link.c_str()) == 0, "symlink");
    registry.addFile(kIdLink, link);
}

// The discovery request the daemon answers a discovery notification with:
// the compact text {"context":"cups","method":"discovery","type":"request"}
// (56 bytes) as 76 base64 characters in an 89-byte frame.
const std::string& discoveryRequestFrame() {
    static const std::string frame =
        std::string("ZEFA\x00\x04\x00\x00\x00\x4c", 10) +
        "eyJjb250ZXh0IjoiY3VwcyIsIm1ldGhvZCI6ImRpc2NvdmVyeSIsInR5cGUiOiJyZXF1ZXN0In0=" + std::string("\x00\x00\x0a", 3);
    return frame;
}

// A chunk response must carry exactly `size` bytes of the named file at
// `offset`, zero past its end.
void checkChunkResponse(const nlohmann::json& message) {
    require(message.value("method", std::string()) == "sendfile", "chunk reply method is sendfile");
    require(message.value("type", std::string()) == "response", "chunk reply type is response");
    require(message.size() == 4, "chunk reply has context, data, method, type only");
    const auto& data = message.at("data");
    require(data.is_object() && data.size() == 4, "chunk data has chunk, id, offset, size only");
    require(data.at("chunk").is_string() && data.at("id").is_string(), "chunk and id are strings");
    require(data.at("offset").is_number_integer() && data.at("size").is_number_integer(),
            "offset and size are integers");
    const std::string id = data.at("id").get<std::string>();
    const int64_t offset = data.at("offset").get<int64_t>();
    const int64_t size = data.at("size").get<int64_t>();
    const auto file = servedFiles().find(id);
    require(file != servedFiles().end(), "a chunk is served only for a registered regular file");
    require(offset >= 0 && size > 0, "a chunk has a non-negative offset and a positive size");
    require(size <= czs::ChunkPerformer::kMaxChunkSize, "a chunk is within the size limit");
    const std::string text = data.at("chunk").get<std::string>();
    const auto bytes = czs::fuzz::base64Decode(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    require(bytes.has_value(), "chunk is valid base64");
    require(bytes->size() == static_cast<size_t>(size), "chunk holds exactly size bytes");
    const std::string& contents = file->second;
    for (int64_t i = 0; i < size; ++i) {
        const int64_t at = offset + i;
        const uint8_t want = at < static_cast<int64_t>(contents.size()) ? static_cast<uint8_t>(contents[at]) : 0;
        if ((*bytes)[i] != want) czs::fuzz::fail("chunk bytes differ from the file's bytes at that offset");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    czs::fuzz::quietLog();
    czs::fuzz::isolateFromSystem();
    registerFiles();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace czs;
    // The host's default printer is never applied: the fuzzer must not change
    // the machine's CUPS default.
    static const DaemonConfig config = [] {
        DaemonConfig c;
        c.followHostDefault = false;
        return c;
    }();
    static SerialPortHandler handler(registry(), HostTransport::SerialPort, config);
    static const auto classifier = makeRawStreamDataConverter();

    const RawStreamData input(data, data + size);
    const ConversionResult seen = classifier->convertToProtocolJsonMsg(input);

    Reply reply;
    try {
        reply = handler.handle(input);
    } catch (...) {
        fuzz::fail("an exception left SerialPortHandler::handle");
    }

    const bool isMessage = seen.status == ConversionStatus::Message;
    const int32_t method = isMessage ? seen.message.getMethod() : kMethodUnknown;
    const int32_t type = isMessage ? seen.message.getType() : kMsgTypeUnknown;
    const bool notification = method == kMethodDiscovery && type == kMsgTypeNotification;
    const bool chunkRequest = (method == kMethodDiscovery || method == kMethodSendFile) && type == kMsgTypeRequest;

    if (reply.empty()) {
        require(reply.size() == 0, "an empty reply has size 0");
        require(!notification, "a discovery notification is always answered");
        return 0;
    }
    require(notification || chunkRequest, "only notifications and chunk requests are answered");
    // A chunk response is produced as the transport drains it.
    std::vector<uint8_t> image(static_cast<size_t>(reply.size()));
    require(reply.take(image) == image.size(), "the whole reply can be drained");
    const nlohmann::json message = fuzz::readReplyFrame(image.data(), image.size());
    if (notification) {
        const std::string& want = discoveryRequestFrame();
        require(image.size() == want.size() && std::memcmp(image.data(), want.data(), want.size()) == 0,
                "a discovery notification is answered with the 89-byte discovery request");
    } else {
        checkChunkResponse(message);
    }
    return 0;
}
