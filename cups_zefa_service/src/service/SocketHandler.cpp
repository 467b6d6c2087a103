#include "service/SocketHandler.h"

#include <exception>
#include <nlohmann/json.hpp>

#include <runtime/Log.h>
#include "task/TaskPrintNewFile.h"

namespace czs {

namespace {
constexpr const char* kLogTag = "SocketHandler";
}

std::string SocketHandler::announcedId() const {
    const nlohmann::json& j = performer_.json();
    if (!j.is_object()) return {};
    const auto it = j.find("id");
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

Reply SocketHandler::handle(const RawStreamData& data) {
    if (data.empty()) {
        ORV_LOG(Error, "RawStreamData empty\n");
        return {};
    }
    // Only whether the line is one JSON value matters here; the performer
    // parses it again for its own use.
    if (nlohmann::json::parse(data.begin(), data.end(), nullptr, false, false).is_discarded()) {
        ORV_LOG(Error, "Error while parsing JSON\n");
        return {};
    }
    // An announcement of the wrong shape ("abspath" missing or not a string,
    // an array) makes the performer throw; the backend's next job must still
    // be served.
    try {
        TaskPrintNewFile task(performer_, data);
        return task.execute();
    } catch (const std::exception& e) {
        ORV_LOG(Error, "announcement dropped, exception: %s\n", e.what());
    } catch (...) {
        ORV_LOG(Error, "announcement dropped, unknown exception\n");
    }
    return {};
}

}  // namespace czs
