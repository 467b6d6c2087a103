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

const std::map<int32_t, std::string> kErrorTexts = {
    {kMsgOk, "OK"},
    {kMsgDecodeError, "Error while decoding JSON data"},
    {kMsgConvertError, "Error while converting data to JSON object"},
    {kMsgNull, "JSON object is null"},
    {kMsgEmpty, "JSON object is empty"},
    {kMsgNotObject, "Data in message is not a JSON object"},
    {kMsgNoMethod, "Message does not contain method field"},
    {kMsgUnknownMethod, "Message contains unknown method"},
    {kMsgNoContext, "Message does not contain context field"},
    {kMsgContextNotSupported, "Message contains context is not supported"},
    {kMsgNoType, "Message does not contain type field"},
    {kMsgUnknownError, "Unknown error"},
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
const std::map<int32_t, std::string>& PrintProtocolJsonMsg::errorTexts() {
    return kErrorTexts;
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
    base64::encode(reinterpret_cast<const uint8_t*>(text.data()), text.size(), reinterpret_cast<char*>(out.data()));
    return out;
}

void PrintProtocolJsonMsg::fail(int32_t code) {
    errorCode_ = code;
    errorText_ = kErrorTexts.at(code);
    throw PrintProtocolJsonMsgException(errorCode_, errorText_);
}

PrintProtocolJsonMsg::PrintProtocolJsonMsg(const uint8_t* payload, uint32_t length) {
    std::vector<uint8_t> text;
    if (payload == nullptr) length = 0;
    if (!base64::decode(payload, length, text)) fail(kMsgDecodeError);
    try {
        parse(text);
    } catch (const PrintProtocolJsonMsgException&) {
        throw;
    } catch (const nlohmann::json::exception& e) {
        errorCode_ = kMsgConvertError;
        errorText_ = kErrorTexts.at(kMsgConvertError) + " (" + e.what() + ")";
        throw PrintProtocolJsonMsgException(errorCode_, errorText_);
    } catch (const std::exception&) {
        fail(kMsgUnknownError);
    }
}

void PrintProtocolJsonMsg::parse(const std::vector<uint8_t>& text) {
    // Strict: one value, nothing after it, no comments.
    nlohmann::json value = nlohmann::json::parse(text.begin(), text.end());
    if (!value.is_object()) {
        if (value.is_null() || (value.is_array() && value.empty())) fail(kMsgEmpty);
        fail(kMsgNotObject);
    }
    if (value.empty()) fail(kMsgEmpty);
    json_ = std::move(value);

    const auto method = json_.find("method");
    if (method == json_.end()) fail(kMsgNoMethod);
    const auto methodName = method->get<std::string>();
    if (methodName.empty()) fail(kMsgUnknownMethod);
    method_ = lookupName(kMethodNames, methodName, kMethodUnknown);

    const auto type = json_.find("type");
    if (type == json_.end()) fail(kMsgNoType);
    const auto typeName = type->get<std::string>();
    if (typeName.empty()) fail(kMsgUnknownError);
    type_ = lookupName(kTypeNames, typeName, kMsgTypeUnknown);

    const auto context = json_.find("context");
    if (context == json_.end()) fail(kMsgNoContext);
    if (context->get<std::string>() != kContext) {
        // Recorded only: the message is still delivered.
        errorCode_ = kMsgContextNotSupported;
        errorText_ = kErrorTexts.at(kMsgContextNotSupported);
    }
}

}  // namespace czs
