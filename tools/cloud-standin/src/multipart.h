// The session upload's multipart form: a small RFC 2046 parser that keeps each part's
// headers exactly as received, and the checks of the form and of the session file.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace standin::detail {

struct MultipartPart
{
    std::vector<std::pair<std::string, std::string>> headers; // name, value as received
    std::string body;
};

struct MultipartForm
{
    std::vector<MultipartPart> parts;
    std::string error; // empty when the body parsed
};

// The boundary of a "multipart/form-data; boundary=..." content type (quoted or not).
std::optional<std::string> multipartBoundary(const std::string &contentType);

MultipartForm parseMultipart(const std::string &body, const std::string &boundary);

struct UploadCheck
{
    std::optional<std::string> fileBytes; // the session file, when a file part was found
    std::vector<std::string> violations;
};

// Checks the form against what the app sends: exactly the part "name" holding the file's
// path (Latin-1) and then the part "file" whose filename is the same path (UTF-8), each with
// only its Content-Disposition header, and a session file of whole 18-byte records whose
// bytes 0, 1 and 9..17 are zero. `date` is the query's date, which names the file.
UploadCheck checkUploadForm(const std::string &contentType, const std::string &body,
                            const std::string &date);

// Checks a session file's layout; returns the violations.
std::vector<std::string> checkSessionFile(const std::string &bytes);

} // namespace standin::detail
