// JSON request bodies as the app must send them: Qt's indented form with keys in ascending
// order, built here by our own writer from the parsed members, and the member rules of each
// request.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace standin::detail {

// The text QJsonDocument::toJson(QJsonDocument::Indented) gives for this value (object or
// array at the top): four spaces per level, "key": value, members in ascending key order,
// strings escaped as JSON with non-ASCII characters written raw as UTF-8.
std::string qtIndentedJson(const nlohmann::json &value);

enum class MemberType { String, Integer };

struct MemberRule
{
    std::string name;
    MemberType type = MemberType::String;
    std::optional<std::string> expectedString;
    std::optional<long long> expectedInteger;
    std::string expectedMeaning; // why that value, for the violation text
    bool nonEmpty = false; // strings only
    bool secret = false; // never quote the value
};

struct JsonBodyCheck
{
    nlohmann::json value; // discarded when the body is not JSON
    bool isObject = false;
    std::vector<std::string> violations;
};

// Parses the body, checks exact members, their types and values, and compares the body byte
// for byte with Qt's indented form of the same members. Texts never quote secret values;
// bodies with secret members get no excerpt of the difference.
JsonBodyCheck checkJsonBody(const std::string &body, const std::vector<MemberRule> &rules);

// Replaces the value of every member named "password" (any letter case, any depth) with
// "***", working on the text itself so the rest stays as received, also when it is not
// valid JSON. Sets *changed when anything was replaced.
std::string maskPasswordMembers(const std::string &text, bool *changed);

// The code points of UTF-8 text; nullopt when it is not well-formed (overlong forms and
// surrogates included).
std::optional<std::vector<char32_t>> decodeUtf8(const std::string &text);

// Whether the bytes are well-formed UTF-8.
bool isUtf8(const std::string &bytes);

// A short printable rendering of bytes for messages: non-printable bytes as \xNN.
std::string printable(const std::string &bytes, std::size_t limit = 40);

} // namespace standin::detail
