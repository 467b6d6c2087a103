// One protocol message: a JSON object with "method", "type", "context" and an
// optional "data", carried as the base64 text of its compact, key-sorted form
// in a type-4 frame. Owns the protocol's vocabulary and validation codes.
#pragma once

#include <cstdint>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace czs {

enum PrintProtocolMethod : int32_t {
    kMethodUnknown = -1,
    kMethodDiscovery = 1,
    kMethodSendFile = 2,
    kMethodMessage = 3,
};

enum PrintProtocolMsgType : int32_t {
    kMsgTypeUnknown = -1,
    kMsgTypeRequest = 1,
    kMsgTypeResponse = 2,
    kMsgTypeNotification = 3,
    kMsgTypeError = 4,
    kMsgTypeInfo = 5,
};

enum PrintProtocolJsonMsgError : int32_t {
    kMsgOk = 0,
    kMsgDecodeError = 1,
    kMsgConvertError = 2,
    kMsgNull = 3,
    kMsgEmpty = 4,
    kMsgNotObject = 5,
    kMsgNoMethod = 6,
    kMsgUnknownMethod = 7,
    kMsgNoContext = 8,
    kMsgContextNotSupported = 9,
    kMsgNoType = 10,
    kMsgUnknownError = 11,
};

// A value type: it owns its JSON document; copies are deep. One thread at a
// time per object; the vocabulary tables are read-only after start-up.
class PrintProtocolJsonMsg {
public:
    static constexpr const char* kContext = "cups";

    class PrintProtocolJsonMsgException : public std::exception {
    public:
        PrintProtocolJsonMsgException(int32_t code, std::string text) : code_(code), text_(std::move(text)) {}
        const char* what() const noexcept override { return text_.c_str(); }
        int32_t code() const noexcept { return code_; }

    private:
        int32_t code_;
        std::string text_;
    };

    // The vocabulary tables (built during static initialisation).
    static const std::map<int32_t, std::string>& methodNames();
    static const std::map<int32_t, std::string>& typeNames();
    static const std::map<int32_t, std::string>& errorTexts();

    PrintProtocolJsonMsg() = default;
    // A message to send: "method", "type", "context" set from the tables.
    // A number outside its table throws std::out_of_range.
    PrintProtocolJsonMsg(int32_t method, int32_t type);
    // A "message" method carrying {"code", "text"} as its data.
    PrintProtocolJsonMsg(int32_t code, const std::string& text, int32_t type);
    // Parses and validates a received payload (base64 text). Throws
    // PrintProtocolJsonMsgException on every failure but an unsupported
    // context, which is only recorded in the error fields.
    PrintProtocolJsonMsg(const uint8_t* payload, uint32_t length);

    void setMethod(int32_t method);
    void setType(int32_t type);
    void setField(const std::string& key, const nlohmann::json& value);
    void setField(const std::string& key, nlohmann::json&& value);

    nlohmann::json getJson() const { return json_; }
    // The same without the copy.
    const nlohmann::json& jsonValue() const { return json_; }
    int32_t getMethod() const { return method_; }
    int32_t getType() const { return type_; }
    int32_t getErrorCode() const { return errorCode_; }
    const std::string& getErrorText() const { return errorText_; }

    // The member `key` of an object value, otherwise null.
    static nlohmann::json getField(const nlohmann::json& value, const std::string& key);

    // The frame payload: base64 of the compact JSON text. Invalid UTF-8 in a
    // string raises the library's type error 316.
    std::vector<uint8_t> serialize() const;

private:
    [[noreturn]] void fail(int32_t code);
    void parse(const std::vector<uint8_t>& text);

    int32_t method_ = kMethodUnknown;
    int32_t type_ = kMsgTypeUnknown;
    nlohmann::json json_;
    int32_t errorCode_ = kMsgOk;
    std::string errorText_ = "OK";
};

}  // namespace czs
