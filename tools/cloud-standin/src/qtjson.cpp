#include "qtjson.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace standin::detail {

using nlohmann::json;

namespace {

char hexDigit(unsigned value)
{
    return static_cast<char>(value < 10 ? '0' + value : 'a' + value - 10);
}

void writeString(const std::string &text, std::string &out)
{
    out += '"';
    for (const char ch : text) {
        const auto u = static_cast<unsigned char>(ch);
        switch (u) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (u < 0x20) {
                out += "\\u00";
                out += hexDigit(u >> 4);
                out += hexDigit(u & 0xf);
            } else {
                out += ch; // the parser only lets valid UTF-8 through, written raw like Qt
            }
        }
    }
    out += '"';
}

void writeNumber(double number, std::string &out)
{
    if (!std::isfinite(number)) {
        out += "null";
        return;
    }
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
    out.append(buffer, result.ptr);
}

void writeValue(const json &value, int indent, std::string &out);

void writeObjectContent(const json &object, int indent, std::string &out)
{
    std::size_t left = object.size();
    for (auto it = object.begin(); it != object.end(); ++it) {
        out.append(4 * indent, ' ');
        writeString(it.key(), out);
        out += ": ";
        writeValue(it.value(), indent, out);
        out += --left == 0 ? "\n" : ",\n";
    }
}

void writeArrayContent(const json &array, int indent, std::string &out)
{
    std::size_t left = array.size();
    for (const auto &item : array) {
        out.append(4 * indent, ' ');
        writeValue(item, indent, out);
        out += --left == 0 ? "\n" : ",\n";
    }
}

void writeValue(const json &value, int indent, std::string &out)
{
    switch (value.type()) {
    case json::value_t::boolean:
        out += value.get<bool>() ? "true" : "false";
        break;
    case json::value_t::number_integer:
        out += std::to_string(value.get<std::int64_t>());
        break;
    case json::value_t::number_unsigned:
        out += std::to_string(value.get<std::uint64_t>());
        break;
    case json::value_t::number_float:
        writeNumber(value.get<double>(), out);
        break;
    case json::value_t::string:
        writeString(value.get_ref<const std::string &>(), out);
        break;
    case json::value_t::array:
        out += "[\n";
        writeArrayContent(value, indent + 1, out);
        out.append(4 * indent, ' ');
        out += ']';
        break;
    case json::value_t::object:
        out += "{\n";
        writeObjectContent(value, indent + 1, out);
        out.append(4 * indent, ' ');
        out += '}';
        break;
    default:
        out += "null";
        break;
    }
}

const char *typeName(const json &value)
{
    switch (value.type()) {
    case json::value_t::null:
        return "null";
    case json::value_t::boolean:
        return "a boolean";
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
        return "an integer";
    case json::value_t::number_float:
        return "a fractional number";
    case json::value_t::string:
        return "a string";
    case json::value_t::array:
        return "an array";
    case json::value_t::object:
        return "an object";
    default:
        return "not a JSON value";
    }
}

std::string quote(const std::string &text)
{
    return '"' + printable(text) + '"';
}

std::size_t stringEnd(const std::string &text, std::size_t open)
{
    for (std::size_t i = open + 1; i < text.size(); ++i) {
        if (text[i] == '\\')
            ++i;
        else if (text[i] == '"')
            return i + 1;
    }
    return text.size();
}

std::size_t skipSpace(const std::string &text, std::size_t i)
{
    while (i < text.size()
           && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r'))
        ++i;
    return i;
}

std::size_t valueEnd(const std::string &text, std::size_t start)
{
    if (start >= text.size())
        return start;
    const char first = text[start];
    if (first == '"')
        return stringEnd(text, start);
    if (first == '{' || first == '[') {
        int depth = 0;
        for (std::size_t i = start; i < text.size(); ++i) {
            const char ch = text[i];
            if (ch == '"') {
                i = stringEnd(text, i) - 1;
            } else if (ch == '{' || ch == '[') {
                ++depth;
            } else if (ch == '}' || ch == ']') {
                if (--depth == 0)
                    return i + 1;
            }
        }
        return text.size();
    }
    std::size_t i = start;
    while (i < text.size()
           && std::string_view(",}] \t\r\n").find(text[i]) == std::string_view::npos)
        ++i;
    return i;
}

bool isPasswordKey(const std::string &token)
{
    if (token.size() < 2 || token.back() != '"')
        return false;
    const json key = json::parse(token, nullptr, false);
    if (!key.is_string())
        return false;
    std::string name = key.get<std::string>();
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return name == "password";
}

} // namespace

std::string qtIndentedJson(const json &value)
{
    std::string out;
    if (value.is_array()) {
        out += "[\n";
        writeArrayContent(value, 1, out);
        out += "]\n";
    } else {
        out += "{\n";
        if (value.is_object())
            writeObjectContent(value, 1, out);
        out += "}\n";
    }
    return out;
}

JsonBodyCheck checkJsonBody(const std::string &body, const std::vector<MemberRule> &rules)
{
    JsonBodyCheck check;
    check.value = json::parse(body, nullptr, false);
    if (check.value.is_discarded()) {
        check.violations.push_back(body.empty() ? "the body is empty, expected a JSON object"
                                                : "the body is not valid JSON (UTF-8)");
        return check;
    }
    if (!check.value.is_object()) {
        check.violations.push_back(std::string("the body is ") + typeName(check.value)
                                   + ", expected a JSON object");
        return check;
    }
    check.isObject = true;
    const json &object = check.value;
    bool secretBody = false;

    for (const auto &rule : rules) {
        secretBody = secretBody || rule.secret;
        const auto it = object.find(rule.name);
        const std::string member = "member \"" + rule.name + "\"";
        if (it == object.end()) {
            check.violations.push_back(member + " is missing");
            continue;
        }
        const json &value = *it;
        if (rule.type == MemberType::String) {
            if (!value.is_string()) {
                check.violations.push_back(member + " is " + typeName(value)
                                           + ", expected a string");
                continue;
            }
            const auto &text = value.get_ref<const std::string &>();
            if (rule.nonEmpty && text.empty())
                check.violations.push_back(member + " is an empty string");
            if (rule.expectedString && text != *rule.expectedString) {
                check.violations.push_back(
                    member + " is " + (rule.secret ? std::string("wrong") : quote(text))
                    + ", expected " + quote(*rule.expectedString) + rule.expectedMeaning);
            }
        } else {
            if (!value.is_number_integer()) {
                check.violations.push_back(member + " is " + typeName(value)
                                           + ", expected an integer");
                continue;
            }
            if (value.is_number_unsigned()
                && value.get<std::uint64_t>()
                    > static_cast<std::uint64_t>(std::numeric_limits<int>::max())) {
                check.violations.push_back(member + " is out of the 32-bit integer range");
                continue;
            }
            const long long number = value.get<long long>();
            if (number < std::numeric_limits<int>::min()
                || number > std::numeric_limits<int>::max()) {
                check.violations.push_back(member + " is out of the 32-bit integer range");
                continue;
            }
            if (rule.expectedInteger && number != *rule.expectedInteger) {
                check.violations.push_back(member + " is " + std::to_string(number) + ", expected "
                                           + std::to_string(*rule.expectedInteger)
                                           + rule.expectedMeaning);
            }
        }
    }
    for (auto it = object.begin(); it != object.end(); ++it) {
        const bool known = std::any_of(rules.begin(), rules.end(), [&](const MemberRule &rule) {
            return rule.name == it.key();
        });
        if (!known)
            check.violations.push_back("unexpected member " + quote(it.key()));
    }

    // Members in the order they were written: Qt writes them sorted.
    const auto ordered = nlohmann::ordered_json::parse(body, nullptr, false);
    if (ordered.is_object()) {
        std::vector<std::string> keys;
        for (auto it = ordered.begin(); it != ordered.end(); ++it)
            keys.push_back(it.key());
        if (!std::is_sorted(keys.begin(), keys.end())) {
            std::string list;
            for (const auto &key : keys)
                list += (list.empty() ? "" : ", ") + printable(key);
            check.violations.push_back("members are not in ascending key order (found " + list
                                       + ")");
        }
    }

    const std::string expected = qtIndentedJson(object);
    if (expected != body) {
        std::size_t at = 0;
        while (at < expected.size() && at < body.size() && expected[at] == body[at])
            ++at;
        std::string text = "the body is not Qt's indented JSON form with keys in ascending order"
                           " (first difference at byte "
            + std::to_string(at) + ")";
        if (body.find('\n') == std::string::npos)
            text += "; it looks compact";
        if (!secretBody) {
            text += ": expected \"" + printable(expected.substr(at, 24)) + "\", found \""
                + printable(body.substr(at, 24)) + "\"";
        }
        check.violations.push_back(text);
    }
    return check;
}

std::string maskPasswordMembers(const std::string &text, bool *changed)
{
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '"') {
            out += text[i++];
            continue;
        }
        const std::size_t end = stringEnd(text, i);
        const std::string token = text.substr(i, end - i);
        out += token;
        i = end;
        const std::size_t colon = skipSpace(text, i);
        if (colon < text.size() && text[colon] == ':' && isPasswordKey(token)) {
            const std::size_t start = skipSpace(text, colon + 1);
            out.append(text, i, start - i);
            const std::size_t stop = valueEnd(text, start);
            if (stop > start) {
                out += "\"***\"";
                if (changed)
                    *changed = true;
            }
            i = stop;
        }
    }
    return out;
}

std::optional<std::vector<char32_t>> decodeUtf8(const std::string &text)
{
    std::vector<char32_t> points;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int length = lead < 0x80 ? 1
            : (lead & 0xE0) == 0xC0    ? 2
            : (lead & 0xF0) == 0xE0    ? 3
            : (lead & 0xF8) == 0xF0    ? 4
                                       : 0;
        if (length == 0 || i + length > text.size())
            return std::nullopt;
        char32_t point = length == 1 ? lead : lead & (0x7F >> length);
        for (int k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return std::nullopt;
            point = (point << 6) | (next & 0x3F);
        }
        static const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (point < smallest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
            return std::nullopt;
        points.push_back(point);
        i += length;
    }
    return points;
}

bool isUtf8(const std::string &bytes)
{
    return decodeUtf8(bytes).has_value();
}

std::string printable(const std::string &bytes, std::size_t limit)
{
    std::string out;
    const std::size_t count = std::min(bytes.size(), limit);
    for (std::size_t i = 0; i < count; ++i) {
        const auto u = static_cast<unsigned char>(bytes[i]);
        if (u == '\n') {
            out += "\\n";
        } else if (u == '\r') {
            out += "\\r";
        } else if (u == '\t') {
            out += "\\t";
        } else if (u < 0x20 || u >= 0x7f) {
            char buffer[5];
            std::snprintf(buffer, sizeof buffer, "\\x%02X", u);
            out += buffer;
        } else {
            out += static_cast<char>(u);
        }
    }
    if (bytes.size() > limit)
        out += "...";
    return out;
}

} // namespace standin::detail
