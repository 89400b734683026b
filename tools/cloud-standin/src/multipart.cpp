#include "multipart.h"

#include "qtjson.h"

#include <algorithm>
#include <cctype>

namespace standin::detail {

namespace {

constexpr std::size_t maxParts = 16;
constexpr std::size_t recordSize = 18;

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string trim(const std::string &text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::vector<std::string> splitParameters(const std::string &value)
{
    std::vector<std::string> items;
    std::string current;
    bool inQuotes = false;
    for (const char ch : value) {
        if (ch == '"')
            inQuotes = !inQuotes;
        if (ch == ';' && !inQuotes) {
            items.push_back(trim(current));
            current.clear();
        } else {
            current += ch;
        }
    }
    items.push_back(trim(current));
    return items;
}

// The value of one parameter of a header value, unquoted; nullopt when absent.
std::optional<std::string> parameter(const std::string &value, const std::string &name)
{
    const auto items = splitParameters(value);
    for (std::size_t i = 1; i < items.size(); ++i) {
        const auto equals = items[i].find('=');
        if (equals == std::string::npos || lower(trim(items[i].substr(0, equals))) != name)
            continue;
        std::string text = trim(items[i].substr(equals + 1));
        if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
            text = text.substr(1, text.size() - 2);
        return text;
    }
    return std::nullopt;
}

// The app writes the path into part 1 as Latin-1 (characters outside it become "?") and
// into part 2's header as UTF-8: the same path when every character agrees that way.
bool samePath(const std::string &latin1, const std::string &utf8)
{
    const auto points = decodeUtf8(utf8);
    if (!points || points->size() != latin1.size())
        return false;
    for (std::size_t i = 0; i < latin1.size(); ++i) {
        const char32_t sent = static_cast<unsigned char>(latin1[i]);
        const char32_t wanted = (*points)[i];
        if (sent != wanted && !(sent == '?' && wanted > 0xFF))
            return false;
    }
    return true;
}

std::string partLabel(std::size_t index)
{
    return "part " + std::to_string(index + 1);
}

} // namespace

std::optional<std::string> multipartBoundary(const std::string &contentType)
{
    const auto items = splitParameters(contentType);
    if (lower(items.front()) != "multipart/form-data")
        return std::nullopt;
    auto boundary = parameter(contentType, "boundary");
    if (!boundary || boundary->empty() || boundary->size() > 200)
        return std::nullopt;
    return boundary;
}

MultipartForm parseMultipart(const std::string &body, const std::string &boundary)
{
    MultipartForm form;
    const std::string dash = "--" + boundary;
    const std::string delimiter = "\r\n" + dash;
    std::size_t pos = 0;
    if (body.compare(0, dash.size(), dash) != 0) {
        pos = body.find(delimiter);
        if (pos == std::string::npos) {
            form.error = "the body does not contain the boundary of its Content-Type";
            return form;
        }
        pos += 2;
    }
    pos += dash.size();
    for (;;) {
        if (body.compare(pos, 2, "--") == 0)
            return form;
        while (pos < body.size() && (body[pos] == ' ' || body[pos] == '\t'))
            ++pos;
        if (body.compare(pos, 2, "\r\n") != 0) {
            form.error = "a boundary line is not followed by CRLF";
            return form;
        }
        pos += 2;
        const std::size_t next = body.find(delimiter, pos);
        if (next == std::string::npos) {
            form.error = "the body ends without its closing boundary";
            return form;
        }
        if (form.parts.size() == maxParts) {
            form.error = "more than " + std::to_string(maxParts) + " parts";
            return form;
        }
        const std::string text = body.substr(pos, next - pos);
        MultipartPart part;
        std::size_t contentStart = 0;
        if (text.compare(0, 2, "\r\n") == 0) {
            contentStart = 2;
        } else {
            const std::size_t headersEnd = text.find("\r\n\r\n");
            if (headersEnd == std::string::npos) {
                form.error = partLabel(form.parts.size()) + " has no blank line after its headers";
                return form;
            }
            std::size_t lineStart = 0;
            while (lineStart < headersEnd) {
                std::size_t lineEnd = text.find("\r\n", lineStart);
                if (lineEnd > headersEnd)
                    lineEnd = headersEnd;
                const std::string line = text.substr(lineStart, lineEnd - lineStart);
                const auto colon = line.find(':');
                if (colon == std::string::npos || colon == 0) {
                    form.error = partLabel(form.parts.size())
                        + " has a header line without a name: \"" + printable(line) + "\"";
                    return form;
                }
                part.headers.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
                lineStart = lineEnd + 2;
            }
            contentStart = headersEnd + 4;
        }
        part.body = text.substr(contentStart);
        form.parts.push_back(std::move(part));
        pos = next + delimiter.size();
    }
}

std::vector<std::string> checkSessionFile(const std::string &bytes)
{
    std::vector<std::string> violations;
    if (bytes.empty()) {
        violations.push_back("the session file is empty");
        return violations;
    }
    if (bytes.size() % recordSize != 0) {
        violations.push_back("the session file has " + std::to_string(bytes.size())
                             + " bytes, not a whole number of 18-byte records");
    }
    const std::size_t records = bytes.size() / recordSize;
    std::size_t bad = 0;
    std::string first;
    for (std::size_t r = 0; r < records; ++r) {
        const char *record = bytes.data() + r * recordSize;
        std::string offsets;
        for (std::size_t k = 0; k < recordSize; ++k) {
            if ((k < 2 || k >= 9) && record[k] != 0)
                offsets += (offsets.empty() ? "" : ", ") + std::to_string(k);
        }
        if (!offsets.empty() && bad++ == 0)
            first = "record " + std::to_string(r) + " has non-zero bytes at offsets " + offsets;
    }
    if (bad > 0) {
        violations.push_back("the session file's records must be zero at offsets 0, 1 and 9..17: "
                             + first + " (" + std::to_string(bad) + " of " + std::to_string(records)
                             + " records are wrong)");
    }
    return violations;
}

UploadCheck checkUploadForm(const std::string &contentType, const std::string &body,
                            const std::string &date)
{
    UploadCheck check;
    auto &violations = check.violations;
    const auto boundary = multipartBoundary(contentType);
    if (!boundary) {
        violations.push_back("Content-Type is \"" + printable(contentType, 80)
                             + "\", expected multipart/form-data with a boundary");
        return check;
    }
    const MultipartForm form = parseMultipart(body, *boundary);
    if (!form.error.empty()) {
        violations.push_back("the multipart body is malformed: " + form.error);
        return check;
    }
    if (form.parts.size() != 2) {
        violations.push_back("the form has " + std::to_string(form.parts.size())
                             + (form.parts.size() == 1 ? " part" : " parts")
                             + ", expected 2 (\"name\", then \"file\")");
    }

    std::vector<std::optional<std::string>> dispositions;
    for (std::size_t i = 0; i < form.parts.size(); ++i) {
        std::optional<std::string> disposition;
        for (const auto &[name, value] : form.parts[i].headers) {
            const std::string key = lower(name);
            if (key == "content-disposition" && !disposition) {
                disposition = value;
            } else if (key == "content-type") {
                violations.push_back(partLabel(i) + " carries a Content-Type of its own (\""
                                     + printable(value, 80) + "\")");
            } else {
                violations.push_back(partLabel(i) + " carries an unexpected header \""
                                     + printable(name + ": " + value, 80) + "\"");
            }
        }
        if (!disposition)
            violations.push_back(partLabel(i) + " has no Content-Disposition header");
        dispositions.push_back(disposition);
    }

    // The file is taken from the part named "file" wherever it is, so that a wrong order
    // is reported but the session still stored.
    std::optional<std::size_t> namePart, filePart;
    for (std::size_t i = 0; i < form.parts.size(); ++i) {
        const auto name = dispositions[i] ? parameter(*dispositions[i], "name") : std::nullopt;
        if (name == "name" && !namePart)
            namePart = i;
        if (name == "file" && !filePart)
            filePart = i;
    }
    if (filePart)
        check.fileBytes = form.parts[*filePart].body;
    else
        violations.push_back("the form has no part named \"file\"");
    if (!namePart)
        violations.push_back("the form has no part named \"name\"");
    if (namePart && filePart && *namePart > *filePart)
        violations.push_back("the part \"file\" comes before the part \"name\"");

    if (namePart && *dispositions[*namePart] != "form-data; name=\"name\"") {
        violations.push_back(partLabel(*namePart) + "'s Content-Disposition is \""
                             + printable(*dispositions[*namePart], 80)
                             + "\", expected \"form-data; name=\\\"name\\\"\"");
    }
    if (filePart && dispositions[*filePart]) {
        const std::string &value = *dispositions[*filePart];
        const std::string prefix = "form-data; name=\"file\"; filename=\"";
        if (value.size() <= prefix.size() || value.compare(0, prefix.size(), prefix) != 0
            || value.back() != '"') {
            violations.push_back(
                partLabel(*filePart) + "'s Content-Disposition is \"" + printable(value, 80)
                + "\", expected \"form-data; name=\\\"file\\\"; filename=\\\"<path>\\\"\"");
        } else {
            const std::string filename =
                value.substr(prefix.size(), value.size() - prefix.size() - 1);
            if (namePart && !samePath(form.parts[*namePart].body, filename)) {
                violations.push_back("the part \"name\" (\""
                                     + printable(form.parts[*namePart].body, 80)
                                     + "\") and the filename (\"" + printable(filename, 80)
                                     + "\") are not the same path");
            }
            const auto slash = filename.rfind('/');
            const std::string base =
                slash == std::string::npos ? filename : filename.substr(slash + 1);
            if (slash == std::string::npos)
                violations.push_back("the filename \"" + printable(filename, 80)
                                     + "\" is not a full path");
            if (base != date) {
                violations.push_back("the file name \"" + printable(base, 80)
                                     + "\" differs from the query's date \"" + printable(date, 80)
                                     + "\"");
            }
        }
    }
    if (check.fileBytes) {
        const auto fileViolations = checkSessionFile(*check.fileBytes);
        violations.insert(violations.end(), fileViolations.begin(), fileViolations.end());
    }
    return check;
}

} // namespace standin::detail
