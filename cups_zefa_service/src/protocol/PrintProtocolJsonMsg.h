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

/// Why a received payload is not a valid message: the outcome of each
/// validation step. The numbers are what the exception's code() and
/// getErrorCode() report, so they are fixed.
enum class PrintProtocolJsonMsgError : int32_t {
    Ok = 0,
    DecodeError = 1,   // not base64
    ConvertError = 2,  // not JSON, or a field of the wrong JSON type
    Null = 3,          // has a text, but no step produces it
    Empty = 4,
    NotObject = 5,
    NoMethod = 6,
    UnknownMethod = 7,
    NoContext = 8,
    ContextNotSupported = 9,  // recorded only, never thrown
    NoType = 10,
    UnknownError = 11,
};
static_assert(sizeof(PrintProtocolJsonMsgError) == sizeof(int32_t));
static_assert(static_cast<int32_t>(PrintProtocolJsonMsgError::Ok) == 0);
static_assert(static_cast<int32_t>(PrintProtocolJsonMsgError::DecodeError) == 1);
static_assert(static_cast<int32_t>(PrintProtocolJsonMsgError::ConvertError) == 2);
static_assert(static_cast<int32_t>(PrintProtocolJsonMsgError::Null) == 3);
static_assert(static_cast<int32_t>(PrintProtocolJsonMsgError::Empty) == 4);
static_assert(static_cast<int32_t>(PrintProtocolJsonMsgError::NotObject) == 5);
static_assert(static_cast<int32_t>(PrintProtocolJsonMsgError::NoMethod) == 6);
static_assert(static_cast<int32_t>(PrintProtocolJsonMsgError::UnknownMethod) == 7);
static_assert(static_cast<int32_t>(PrintProtocolJsonMsgError::NoContext) == 8);
static_assert(static_cast<int32_t>(PrintProtocolJsonMsgError::ContextNotSupported) == 9);
static_assert(static_cast<int32_t>(PrintProtocolJsonMsgError::NoType) == 10);
static_assert(static_cast<int32_t>(PrintProtocolJsonMsgError::UnknownError) == 11);

// A value type: it owns its JSON document; copies are deep. One thread at a
// time per object; the vocabulary tables are read-only after start-up.
class PrintProtocolJsonMsg {
public:
    static constexpr const char* kContext = "cups";

    /// What a failed parse throws: the code and the message's error text
    /// at the time of the throw, which what() returns.
    class PrintProtocolJsonMsgException : public std::exception {
    public:
        PrintProtocolJsonMsgException(PrintProtocolJsonMsgError error, std::string text)
            : error_(error), text_(std::move(text)) {}
        const char* what() const noexcept override { return text_.c_str(); }
        /// The code as the protocol numbers it.
        int32_t code() const noexcept { return static_cast<int32_t>(error_); }
        PrintProtocolJsonMsgError error() const noexcept { return error_; }

    private:
        PrintProtocolJsonMsgError error_;
        std::string text_;
    };

    // The vocabulary tables (built during static initialisation).
    static const std::map<int32_t, std::string>& methodNames();
    static const std::map<int32_t, std::string>& typeNames();
    /// The text of a validation code; never null.
    static const char* errorText(PrintProtocolJsonMsgError error) noexcept;

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
    int32_t getErrorCode() const { return static_cast<int32_t>(errorCode_); }
    const std::string& getErrorText() const { return errorText_; }

    // The member `key` of an object value, otherwise null.
    static nlohmann::json getField(const nlohmann::json& value, const std::string& key);

    // The frame payload: base64 of the compact JSON text. Invalid UTF-8 in a
    // string raises the library's type error 316.
    std::vector<uint8_t> serialize() const;

private:
    // Validates the decoded text and keeps what passed; Ok or the code of the
    // first failed step. The JSON library's own errors propagate as thrown.
    PrintProtocolJsonMsgError parse(const std::vector<uint8_t>& text);
    // Records `error` (its text, then " (`detail`)" when one is given).
    void record(PrintProtocolJsonMsgError error, const char* detail = nullptr);
    // Records `error` and throws it: the one place a code becomes the
    // exception callers catch.
    [[noreturn]] void raise(PrintProtocolJsonMsgError error, const char* detail = nullptr);

    int32_t method_ = kMethodUnknown;
    int32_t type_ = kMsgTypeUnknown;
    nlohmann::json json_;
    PrintProtocolJsonMsgError errorCode_ = PrintProtocolJsonMsgError::Ok;
    std::string errorText_ = "OK";
};

}  // namespace czs
