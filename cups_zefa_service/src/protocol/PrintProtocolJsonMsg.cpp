#include "protocol/PrintProtocolJsonMsg.h"

#include "protocol/Base64.h"

namespace czs {
namespace {

const std::map<int32_t, std::string> kMethodNames = {
    {kMethodUnknown, "unknownmethod"},
    {kMethodDiscovery, "discovery"},
    {kMethodSendFile, "sendfile"},
    {kMethodMessage, "message"},
};

// The unknown type shares the unknown method's text.
const std::map<int32_t, std::string> kTypeNames = {
    {kMsgTypeUnknown, "unknownmethod"},     {kMsgTypeRequest, "request"}, {kMsgTypeResponse, "response"},
    {kMsgTypeNotification, "notification"}, {kMsgTypeError, "error"},     {kMsgTypeInfo, "info"},
};

// Received names map to numbers; names outside the table stay unknown.
int32_t lookupName(const std::map<int32_t, std::string>& table, const std::string& name, int32_t unknown) {
    for (const auto& [number, text] : table) {
        if (number != unknown && text == name) return number;
    }
    return unknown;
}

}  // namespace

const std::map<int32_t, std::string>& PrintProtocolJsonMsg::methodNames() {
    return kMethodNames;
}
const std::map<int32_t, std::string>& PrintProtocolJsonMsg::typeNames() {
    return kTypeNames;
}
const char* PrintProtocolJsonMsg::errorText(PrintProtocolJsonMsgError error) noexcept {
    using E = PrintProtocolJsonMsgError;
    switch (error) {
        case E::Ok:
            return "OK";
        case E::DecodeError:
            return "Error while decoding JSON data";
        case E::ConvertError:
            return "Error while converting data to JSON object";
        case E::Null:
            return "JSON object is null";
        case E::Empty:
            return "JSON object is empty";
        case E::NotObject:
            return "Data in message is not a JSON object";
        case E::NoMethod:
            return "Message does not contain method field";
        case E::UnknownMethod:
            return "Message contains unknown method";
        case E::NoContext:
            return "Message does not contain context field";
        case E::ContextNotSupported:
            return "Message contains context is not supported";
        case E::NoType:
            return "Message does not contain type field";
        case E::UnknownError:
            break;
    }
    return "Unknown error";
}

PrintProtocolJsonMsg::PrintProtocolJsonMsg(int32_t method, int32_t type) {
    json_["method"] = kMethodNames.at(method);
    json_["type"] = kTypeNames.at(type);
    json_["context"] = kContext;
}

PrintProtocolJsonMsg::PrintProtocolJsonMsg(int32_t code, const std::string& text, int32_t type)
    : PrintProtocolJsonMsg(kMethodMessage, type) {
    json_["data"] = nlohmann::json{{"text", text}, {"code", code}};
}

void PrintProtocolJsonMsg::setMethod(int32_t method) {
    json_["method"] = kMethodNames.at(method);
}

void PrintProtocolJsonMsg::setType(int32_t type) {
    json_["type"] = kTypeNames.at(type);
}

void PrintProtocolJsonMsg::setField(const std::string& key, const nlohmann::json& value) {
    json_[key] = value;
}

void PrintProtocolJsonMsg::setField(const std::string& key, nlohmann::json&& value) {
    json_[key] = std::move(value);
}

nlohmann::json PrintProtocolJsonMsg::getField(const nlohmann::json& value, const std::string& key) {
    if (value.is_object()) {
        const auto it = value.find(key);
        if (it != value.end()) return *it;
    }
    return nullptr;
}

std::vector<uint8_t> PrintProtocolJsonMsg::serialize() const {
    const std::string text = json_.dump();
    std::vector<uint8_t> out(base64::encodedSize(text.size()));
    base64::encode(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), std::span(out));
    return out;
}

void PrintProtocolJsonMsg::record(PrintProtocolJsonMsgError error, const char* detail) {
    errorCode_ = error;
    errorText_ = errorText(error);
    if (detail != nullptr) {
        errorText_ += std::string(" (") + detail + ")";
    }
}

void PrintProtocolJsonMsg::raise(PrintProtocolJsonMsgError error, const char* detail) {
    record(error, detail);
    throw PrintProtocolJsonMsgException(errorCode_, errorText_);
}

PrintProtocolJsonMsg::PrintProtocolJsonMsg(const uint8_t* payload, uint32_t length) {
    using E = PrintProtocolJsonMsgError;
    std::vector<uint8_t> text;
    if (payload == nullptr) length = 0;
    if (!base64::decode(std::span(payload, length), text)) raise(E::DecodeError);
    E error = E::Ok;
    try {
        error = parse(text);
    } catch (const nlohmann::json::exception& e) {
        raise(E::ConvertError, e.what());
    } catch (const std::exception&) {
        raise(E::UnknownError);
    }
    if (error == E::ContextNotSupported) {
        // Recorded only: the message is still delivered.
        record(error);
    } else if (error != E::Ok) {
        raise(error);
    }
}

PrintProtocolJsonMsgError PrintProtocolJsonMsg::parse(const std::vector<uint8_t>& text) {
    using E = PrintProtocolJsonMsgError;
    // Strict: one value, nothing after it, no comments.
    nlohmann::json value = nlohmann::json::parse(text.begin(), text.end());
    if (!value.is_object()) {
        if (value.is_null() || (value.is_array() && value.empty())) return E::Empty;
        return E::NotObject;
    }
    if (value.empty()) return E::Empty;
    json_ = std::move(value);

    const auto method = json_.find("method");
    if (method == json_.end()) return E::NoMethod;
    const auto methodName = method->get<std::string>();
    if (methodName.empty()) return E::UnknownMethod;
    method_ = lookupName(kMethodNames, methodName, kMethodUnknown);

    const auto type = json_.find("type");
    if (type == json_.end()) return E::NoType;
    const auto typeName = type->get<std::string>();
    if (typeName.empty()) return E::UnknownError;
    type_ = lookupName(kTypeNames, typeName, kMsgTypeUnknown);

    const auto context = json_.find("context");
    if (context == json_.end()) return E::NoContext;
    if (context->get<std::string>() != kContext) return E::ContextNotSupported;
    return E::Ok;
}

}  // namespace czs
