#include "standin/server.h"

#include "images.h"
#include "multipart.h"
#include "qtjson.h"
#include "standin/certificates.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace standin {

using nlohmann::json;
using namespace detail;

namespace {

// Header keys that cannot arrive from the wire (a colon ends a header name there): where
// the request's Content-Type is kept out of the HTTP layer's sight, and the mark of a
// request that reached the stand-in.
const char *const savedContentTypeKey = ":content-type";
const char *const handledKey = ":handled";

constexpr std::size_t maxIssuedTokens = 1000;
constexpr std::size_t maxPayload = 32u << 20;
constexpr int firstDeviceId = 101;

const char *const signinPath = "/signin";
const char *const checkFirmwarePath = "/api/device/checkFirmware";
const char *const pairDevicePath = "/api/device/pairDevice";
const char *const reportVersionPath = "/api/device/updateFirmwareVersion";
const char *const uploadPath = "/api/medical/vitals/save";
const char *const checkUpdatePath = "/api/orvane/checkUpdate";
const char *const appPath = "/orvane";
const char *const loginPath = "/login";

enum class BodyKind { Json, Multipart, None, Browser };

struct Route
{
    const char *path;
    const char *method;
    BodyKind kind;
};

const Route routes[] = {
    {signinPath, "POST", BodyKind::Json},      {checkFirmwarePath, "POST", BodyKind::Json},
    {pairDevicePath, "PUT", BodyKind::Json},   {reportVersionPath, "POST", BodyKind::Json},
    {uploadPath, "POST", BodyKind::Multipart}, {checkUpdatePath, "GET", BodyKind::None},
    {appPath, "GET", BodyKind::None},          {loginPath, "GET", BodyKind::Browser},
};

const char *const jsonType = "application/json";
const char *const textType = "text/plain; charset=utf-8";

const char *const loginPage = R"(<!DOCTYPE html>
<html lang="en">
<head><meta charset="utf-8"><title>Kestrane account</title></head>
<body>
<h1>Create your Kestrane account</h1>
<p>This is the sign-up page of the cloud stand-in used for testing Orvane.</p>
<form onsubmit="return false">
<p><label>Nick name <input name="nickName"></label></p>
<p><label>E-mail <input name="email" type="email"></label></p>
<p><label>Password <input name="password" type="password"></label></p>
<p><button type="submit" disabled>Sign up</button></p>
</form>
</body>
</html>
)";

struct Reply
{
    int status = 200;
    std::string contentType = jsonType;
    std::string body;
    std::optional<std::string> logged; // when the log shows something else than the body
    long long byteCount = -1;
    std::string sha256;
};

Reply jsonReply(const json &value, int status = 200)
{
    Reply reply;
    reply.status = status;
    reply.body = value.dump(-1, ' ', false, json::error_handler_t::replace);
    return reply;
}

Reply refusal(int status, int code, const std::string &message)
{
    return jsonReply({{"code", code}, {"message", message}}, status);
}

std::string nowText()
{
    const auto now = std::chrono::system_clock::now();
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc {};
    gmtime_r(&seconds, &utc);
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(ms % 1000));
    return buffer;
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::optional<int> parseInt(const std::string &text)
{
    int value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size())
        return std::nullopt;
    return value;
}

bool allDigits(const std::string &text)
{
    return !text.empty()
        && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

void replaceAll(std::string &text, const std::string &what, const std::string &with)
{
    if (what.empty())
        return;
    for (std::size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
}

std::string quote(const std::string &text)
{
    return '"' + printable(text, 80) + '"';
}

struct Images
{
    std::string firmwareSource;
    std::string firmwareJson;
    std::size_t firmwareSize = 0;
    std::string firmwareSha256;
    std::string appSource;
    std::string appJson;
    std::size_t appSize = 0;
    std::string appSha256;
};

std::string firmwareSource(const Scenario &s)
{
    return s.firmwareImageFile.empty()
        ? "generated " + std::to_string(s.firmwareFBlocks) + "," + std::to_string(s.firmwareCBlocks)
        : "file " + s.firmwareImageFile;
}

std::string appSource(const Scenario &s)
{
    return s.appFile.empty() ? "generated " + std::to_string(s.appSize) : "file " + s.appFile;
}

// Loads what changed against `current` (everything when current is empty).
bool loadImages(const Scenario &s, const Images &current, Images *out, std::string *error)
{
    Images images = current;
    if (images.firmwareSource != firmwareSource(s)) {
        std::string bytes;
        if (s.firmwareImageFile.empty())
            bytes = generateFirmware(s.firmwareFBlocks, s.firmwareCBlocks);
        else if (!readFile(s.firmwareImageFile, maxFirmwareBytes, &bytes, error))
            return false;
        images.firmwareSource = firmwareSource(s);
        images.firmwareJson = byteArrayJson(bytes);
        images.firmwareSize = bytes.size();
        images.firmwareSha256 = sha256Hex(bytes);
    }
    if (images.appSource != appSource(s)) {
        std::string bytes;
        if (s.appFile.empty())
            bytes = generateApplication(s.appSize);
        else if (!readFile(s.appFile, maxApplicationBytes, &bytes, error))
            return false;
        images.appSource = appSource(s);
        images.appJson = byteArrayJson(bytes);
        images.appSize = bytes.size();
        images.appSha256 = sha256Hex(bytes);
    }
    *out = std::move(images);
    return true;
}

// Creates DIR/sessions/<name>, or <name>.1, <name>.2, ... when taken: an upload never
// replaces another, not even one from an earlier run.
bool storeUpload(const std::string &folder, const std::string &name, const std::string &bytes,
                 std::string *storedAs, std::string *error)
{
    for (int n = 0; n < 100000; ++n) {
        const std::string candidate = n == 0 ? name : name + "." + std::to_string(n);
        const std::string path = folder + "/" + candidate;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0) {
            *error = "cannot create " + path + ": " + std::strerror(errno);
            return false;
        }
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0) {
                *error = "cannot write " + path + ": " + std::strerror(errno);
                ::close(fd);
                ::unlink(path.c_str());
                return false;
            }
            done += static_cast<std::size_t>(written);
        }
        if (::close(fd) != 0) {
            *error = "cannot write " + path + ": " + std::strerror(errno);
            ::unlink(path.c_str());
            return false;
        }
        *storedAs = candidate;
        return true;
    }
    *error = "too many uploads named " + name;
    return false;
}

} // namespace

std::string updateSampleFile()
{
    return STANDIN_UPDATE_SAMPLE;
}

std::string validateScenario(const Scenario &s)
{
    for (const auto &account : s.accounts) {
        if (account.user.empty())
            return "an account has an empty user name";
    }
    if (s.tokenLength < 0 || s.tokenLength > 1024)
        return "the token length must be 0 to 1024";
    if (s.firmwareFBlocks < 0 || s.firmwareCBlocks < 0
        || 4 + std::uint64_t(s.firmwareFBlocks) * 256 + std::uint64_t(s.firmwareCBlocks) * 64
            > maxFirmwareBytes)
        return "the firmware blocks must be non-negative and the image at most "
            + std::to_string(maxFirmwareBytes) + " bytes";
    if (s.appSize > maxApplicationBytes)
        return "the application size must be at most " + std::to_string(maxApplicationBytes)
            + " bytes";
    for (const auto &device : s.devices) {
        if (device.name.empty())
            return "a device has an empty name";
    }
    for (const int n : s.failUploads) {
        if (n < 1)
            return "failing uploads are counted from 1";
    }
    if (s.failUploadStatus < 100 || s.failUploadStatus > 599)
        return "the failing upload's status must be 100 to 599";
    if (s.uploadReplyDelayMs < 0 || s.uploadReplyDelayMs > 600000)
        return "the upload reply delay must be 0 to 600000 ms";
    for (const auto &[path, ms] : s.tricklePaths) {
        if (path.empty() || path[0] != '/' || ms < 1 || ms > 60000)
            return "a trickle needs a path beginning with \"/\" and 1 to 60000 ms: " + path;
    }
    for (const auto &[path, status] : s.statusOverrides) {
        if (path.empty() || path[0] != '/')
            return "an override path must begin with \"/\": " + path;
        if (status < 100 || status > 599)
            return "the status override for " + path + " must be 100 to 599";
    }
    for (const auto &item : s.bodyOverrides) {
        if (item.first.empty() || item.first[0] != '/')
            return "an override path must begin with \"/\": " + item.first;
    }
    return {};
}

struct Server::Impl
{
    Impl(Scenario s, std::string certs, std::string data, std::string logFile)
        : scenario(std::move(s)),
          certificateDirectory(std::move(certs)),
          dataDirectory(std::move(data)),
          logFilePath(logFile.empty() ? dataDirectory + "/requests.jsonl" : std::move(logFile))
    {
        devices = scenario.devices;
        for (Device &device : devices)
            device.owner = owner(device.owner);
    }

    // The user an account or device names: its own id, or the scenario's.
    int owner(int userId) const { return userId != 0 ? userId : scenario.userId; }
    // The user whose token the request carries; a request without one (or with one never
    // issued) acts for the scenario's user, as a service without accounts would.
    int actingUser(const RequestRecord &record) const
    {
        return record.userId != 0 ? record.userId : scenario.userId;
    }

    mutable std::mutex mutex;
    Scenario scenario;
    const std::string certificateDirectory;
    const std::string dataDirectory;
    const std::string logFilePath;
    CertificateFiles certificates;
    Images images;

    std::unique_ptr<httplib::SSLServer> http;
    std::thread thread;
    int boundPort = 0;
    std::string error;

    int sequence = 0;
    std::vector<RequestRecord> records;
    std::vector<Violation> violationList;
    std::vector<StoredUpload> uploads;
    int uploadCount = 0;
    std::map<std::string, int> reported;
    std::vector<Device> devices;
    std::string token;
    std::vector<std::string> issuedTokens;
    std::map<std::string, int> tokenUsers; // every token issued, and whose it is
    std::optional<std::pair<int, std::string>> nextUploadReply;
    bool keepInMemory = true;
    std::function<void(const RequestRecord &)> observer;
    std::atomic<bool> stopping {false};
    std::ofstream log;
    bool logStarted = false;

    void handle(const httplib::Request &req, httplib::Response &res);
    void logRefused(const httplib::Request &req, const httplib::Response &res);
    Reply route(const httplib::Request &req, RequestRecord &record);
    std::string tokenState(const httplib::Request &req) const;
    void checkToken(const httplib::Request &req, bool mustBeAbsent, RequestRecord &record);

    Reply signIn(RequestRecord &record);
    Reply checkFirmware(RequestRecord &record);
    Reply pairDevice(RequestRecord &record);
    // Sleeps for ms unless the server stops first; false when it stops.
    bool pause(int ms);
    Reply reportVersion(RequestRecord &record);
    Reply upload(RequestRecord &record);
    Reply checkUpdate();
    Reply application();

    std::string maskSecrets(std::string text, const std::vector<std::string> &extra = {}) const;
    void finish(RequestRecord &record, const Reply &reply,
                const std::vector<std::string> &extraSecrets);
    void write(const RequestRecord &record);
};

// What the request's token header is, against the token issued last, at its arrival.
std::string Server::Impl::tokenState(const httplib::Request &req) const
{
    if (!req.has_header("token"))
        return "absent";
    if (issuedTokens.empty())
        return "unissued";
    return req.get_header_value("token") == token ? "match" : "mismatch";
}

void Server::Impl::checkToken(const httplib::Request &req, bool mustBeAbsent, RequestRecord &record)
{
    auto &v = record.violations;
    const std::size_t count = req.get_header_value_count("token");
    if (count == 0) {
        if (!mustBeAbsent) {
            v.push_back(issuedTokens.empty()
                            ? "the \"token\" header is missing (no token has been issued yet)"
                            : "the \"token\" header is missing");
        }
        return;
    }
    if (count > 1)
        v.push_back("the \"token\" header is sent " + std::to_string(count) + " times");
    if (mustBeAbsent) {
        v.push_back("the sign-in request carries a \"token\" header; it must not");
    } else if (record.tokenCheck == "unissued") {
        v.push_back("a \"token\" header is sent although no token has been issued yet");
    } else if (record.tokenCheck == "mismatch") {
        const std::string value = req.get_header_value("token");
        const bool older =
            std::find(issuedTokens.begin(), issuedTokens.end(), value) != issuedTokens.end();
        v.push_back(older ? "the \"token\" header holds an older token, not the one issued last"
                          : "the \"token\" header differs from the token issued last");
    }
}

Reply Server::Impl::route(const httplib::Request &req, RequestRecord &record)
{
    auto &v = record.violations;
    const auto found = std::find_if(std::begin(routes), std::end(routes),
                                    [&](const Route &r) { return req.path == r.path; });
    if (found == std::end(routes) && req.path == "/favicon.ico") {
        // A browser showing the sign-up page asks for it; not the app's doing.
        record.notes.push_back("browser request for an icon (answered 404)");
        return refusal(404, 404, "Not found");
    }
    if (found == std::end(routes)) {
        v.push_back("unknown path " + quote(req.path) + " (answered 404)");
        return refusal(404, 404, "Not found");
    }
    const Route &r = *found;
    if (req.method != r.method) {
        v.push_back(req.method + " is not the method of " + r.path + ", expected " + r.method
                    + " (answered 405)");
        return refusal(405, 405, "Method not allowed");
    }
    if (r.kind == BodyKind::Browser)
        return Reply {200, "text/html; charset=utf-8", loginPage, std::nullopt, -1, {}};

    checkToken(req, r.path == std::string(signinPath), record);
    if (r.kind == BodyKind::Json && record.contentType != jsonType) {
        v.push_back(record.contentType.empty() ? std::string(
                        "the Content-Type header is missing, expected \"application/json\"")
                                               : "the Content-Type is " + quote(record.contentType)
                            + ", expected \"application/json\"");
    }
    if (r.kind == BodyKind::None) {
        if (!record.contentType.empty())
            v.push_back("a GET request carries a Content-Type (" + quote(record.contentType) + ")");
        if (!record.body.empty())
            v.push_back("a GET request carries a body of " + std::to_string(record.body.size())
                        + " bytes");
    }
    if (r.kind != BodyKind::Multipart && !record.query.empty())
        v.push_back("unexpected query " + quote(record.query));

    const std::string path = r.path;
    if (path == signinPath)
        return signIn(record);
    if (path == checkFirmwarePath)
        return checkFirmware(record);
    if (path == pairDevicePath)
        return pairDevice(record);
    if (path == reportVersionPath)
        return reportVersion(record);
    if (path == uploadPath)
        return upload(record);
    if (path == checkUpdatePath)
        return checkUpdate();
    return application();
}

Reply Server::Impl::signIn(RequestRecord &record)
{
    const JsonBodyCheck check = checkJsonBody(
        record.body,
        {{"nickNameOrEmail", MemberType::String, {}, {}, {}, false, false},
         {"password", MemberType::String, {}, {}, {}, false, true},
         {"platform", MemberType::String, std::string("DESKTOP"), {}, {}, false, false}});
    record.violations.insert(record.violations.end(), check.violations.begin(),
                             check.violations.end());

    std::optional<std::string> user;
    int userId = scenario.userId;
    if (check.isObject && check.value.contains("nickNameOrEmail")
        && check.value["nickNameOrEmail"].is_string() && check.value.contains("password")
        && check.value["password"].is_string()) {
        const auto &name = check.value["nickNameOrEmail"].get_ref<const std::string &>();
        const auto &password = check.value["password"].get_ref<const std::string &>();
        const auto account =
            std::find_if(scenario.accounts.begin(), scenario.accounts.end(), [&](const Account &a) {
                return a.user == name && a.password == password;
            });
        if (account != scenario.accounts.end()) {
            user = name;
            userId = owner(account->userId);
        }
    }
    if (!user) {
        record.notes.push_back("sign-in refused");
        return refusal(200, scenario.refusalCode, "Wrong nick name, e-mail or password");
    }
    const std::string issued = randomToken(scenario.tokenLength);
    if (issued.size() != static_cast<std::size_t>(scenario.tokenLength)) {
        record.notes.push_back("no token could be made: the system's random source failed");
        return refusal(500, 500, "Internal error");
    }
    token = issued;
    issuedTokens.push_back(issued);
    tokenUsers[issued] = userId;
    if (issuedTokens.size() > maxIssuedTokens)
        issuedTokens.erase(issuedTokens.begin());
    record.notes.push_back("signed in " + quote(*user) + " as user " + std::to_string(userId)
                           + " with a token of " + std::to_string(issued.size()) + " characters");
    json body = {{"token", issued}, {"userDto", {{"id", userId}, {"nickName", *user}}}};
    Reply reply = jsonReply(body);
    body["token"] = "***";
    reply.logged = body.dump(-1, ' ', false, json::error_handler_t::replace);
    return reply;
}

Reply Server::Impl::checkFirmware(RequestRecord &record)
{
    const JsonBodyCheck check = checkJsonBody(
        record.body,
        {{"deviceType", MemberType::String, std::string("BREVIA"), {}, {}, false, false},
         {"userID",
          MemberType::Integer,
          {},
          actingUser(record),
          " (the signed-in user's id)",
          false,
          false},
         {"version", MemberType::Integer, {}, 0, {}, false, false}});
    record.violations.insert(record.violations.end(), check.violations.begin(),
                             check.violations.end());
    const std::string version = std::to_string(scenario.firmwareVersion);
    Reply reply;
    reply.body = "{\"version\":" + version + ",\"data\":" + images.firmwareJson + "}";
    reply.logged = "{\"version\":" + version + ",\"data\":[" + std::to_string(images.firmwareSize)
        + " byte values]}";
    reply.byteCount = static_cast<long long>(images.firmwareSize);
    reply.sha256 = images.firmwareSha256;
    return reply;
}

Reply Server::Impl::pairDevice(RequestRecord &record)
{
    const JsonBodyCheck check =
        checkJsonBody(record.body,
                      {{"bleName", MemberType::String, {}, {}, {}, true, false},
                       {"uniqueNumber", MemberType::String, {}, {}, {}, true, false}});
    record.violations.insert(record.violations.end(), check.violations.begin(),
                             check.violations.end());
    if (scenario.pairedToOther) {
        record.notes.push_back("refused: the scenario pairs the device to another account");
        return refusal(200, scenario.pairedToOtherCode,
                       "The device is paired with another account");
    }
    const json &body = check.value;
    if (!check.isObject || !body.contains("bleName") || !body["bleName"].is_string()
        || body["bleName"].get_ref<const std::string &>().empty()) {
        record.notes.push_back("nothing paired: the request names no device");
        return refusal(400, 400, "bleName is missing");
    }
    const std::string name = body["bleName"].get<std::string>();
    const std::string uid = body.contains("uniqueNumber") && body["uniqueNumber"].is_string()
        ? body["uniqueNumber"].get<std::string>()
        : std::string();
    const int user = actingUser(record);
    const auto known = std::find_if(devices.begin(), devices.end(), [&](const Device &d) {
        return d.owner == user && d.name == name;
    });
    if (known == devices.end()) {
        int id = firstDeviceId - 1;
        for (const auto &d : devices)
            id = std::max(id, d.id);
        devices.push_back({name, id + 1, uid, user});
        record.notes.push_back("added device " + quote(name) + " with id " + std::to_string(id + 1)
                               + " to user " + std::to_string(user));
    } else if (known->uniqueNumber.empty()) {
        known->uniqueNumber = uid;
    } else if (known->uniqueNumber != uid) {
        record.notes.push_back("device " + quote(name) + " is known with unique number "
                               + quote(known->uniqueNumber) + ", the request says " + quote(uid));
    }
    json list = json::array();
    for (const auto &d : devices) {
        if (d.owner == user)
            list.push_back({{"id", d.id}, {"name", d.name}, {"uniqueNumber", d.uniqueNumber}});
    }
    return jsonReply(list);
}

Reply Server::Impl::reportVersion(RequestRecord &record)
{
    const JsonBodyCheck check =
        checkJsonBody(record.body,
                      {{"deviceName", MemberType::String, {}, {}, {}, true, false},
                       {"newVersion", MemberType::Integer, {}, {}, {}, false, false}});
    record.violations.insert(record.violations.end(), check.violations.begin(),
                             check.violations.end());
    const json &body = check.value;
    const bool usable = check.isObject && body.contains("deviceName")
        && body["deviceName"].is_string()
        && !body["deviceName"].get_ref<const std::string &>().empty() && body.contains("newVersion")
        && body["newVersion"].is_number_integer() && body["newVersion"].get<long long>() >= INT_MIN
        && body["newVersion"].get<long long>() <= INT_MAX;
    if (!usable) {
        record.notes.push_back(
            "nothing recorded: the request has no usable device name and version");
        return refusal(400, 400, "deviceName or newVersion is missing");
    }
    const std::string name = body["deviceName"].get<std::string>();
    const int version = static_cast<int>(body["newVersion"].get<long long>());
    reported[name] = version;
    record.notes.push_back("device " + quote(name) + " reports firmware version "
                           + std::to_string(version));
    return jsonReply({{"deviceName", name}, {"firmwareVersion", version}});
}

Reply Server::Impl::upload(RequestRecord &record)
{
    auto &v = record.violations;
    const int number = ++uploadCount;

    std::vector<std::pair<std::string, std::string>> items;
    std::size_t start = 0;
    while (start <= record.query.size() && !record.query.empty()) {
        const std::size_t end = std::min(record.query.find('&', start), record.query.size());
        const std::string item = record.query.substr(start, end - start);
        const std::size_t equals = item.find('=');
        items.emplace_back(item.substr(0, equals),
                           equals == std::string::npos ? "" : item.substr(equals + 1));
        start = end + 1;
    }
    const bool shaped =
        items.size() == 2 && items[0].first == "deviceID" && items[1].first == "date";
    if (!shaped) {
        v.push_back("the query is " + quote(record.query)
                    + ", expected \"deviceID=<number>&date=<decimal digits>\"");
    }
    std::string deviceId, date;
    for (const auto &[key, value] : items) {
        if (key == "deviceID" && deviceId.empty())
            deviceId = value;
        if (key == "date" && date.empty())
            date = value;
    }
    const auto id = parseInt(deviceId);
    if (!id) {
        v.push_back("deviceID " + quote(deviceId) + " is not a number");
    } else if (std::none_of(devices.begin(), devices.end(), [&](const Device &d) {
                   return d.id == *id && d.owner == actingUser(record);
               })) {
        v.push_back("deviceID " + std::to_string(*id)
                    + " is not a device of the account (not paired)");
    }
    const bool dateValid = allDigits(date) && date.size() <= 20;
    if (!dateValid)
        v.push_back("date " + quote(date) + " is not decimal digits");

    const UploadCheck check = checkUploadForm(record.contentType, record.body, date);
    v.insert(v.end(), check.violations.begin(), check.violations.end());
    if (!check.fileBytes) {
        record.notes.push_back("nothing stored: the form carries no file");
        return Reply {400, textType, "false", std::nullopt, -1, {}};
    }

    const std::string folder = dataDirectory + "/sessions";
    const std::string name = dateValid ? date : "invalid-date";
    std::string storedAs, storeError;
    std::error_code code;
    std::filesystem::create_directories(folder, code);
    if (!storeUpload(folder, name, *check.fileBytes, &storedAs, &storeError)) {
        // Never confirm what was not kept: the app deletes its file on "true".
        record.notes.push_back("not stored: " + storeError);
        return Reply {500, textType, "false", std::nullopt, -1, {}};
    }
    if (storedAs != name) {
        record.notes.push_back("an upload named " + quote(name)
                               + " exists already; stored as sessions/" + storedAs);
    } else {
        record.notes.push_back("stored as sessions/" + storedAs);
    }
    uploads.push_back({date, deviceId, folder + "/" + storedAs,
                       keepInMemory ? *check.fileBytes : std::string(), record.userId});

    Reply reply {200, textType, scenario.uploadBody, std::nullopt, -1, {}};
    if (nextUploadReply) {
        reply.status = nextUploadReply->first;
        reply.body = nextUploadReply->second;
        nextUploadReply.reset();
        record.notes.push_back("answered with the reply set for the next upload");
    } else if (scenario.failUploads.count(number)) {
        reply.status = scenario.failUploadStatus;
        reply.body = scenario.failUploadBody;
        record.notes.push_back("upload " + std::to_string(number) + " fails as the scenario says");
    }
    return reply;
}

Reply Server::Impl::checkUpdate()
{
    return jsonReply({{"versionMajor", scenario.appVersionMajor},
                      {"versionMinor", scenario.appVersionMinor},
                      {"description", scenario.appDescription}});
}

Reply Server::Impl::application()
{
    Reply reply;
    reply.body = images.appJson;
    reply.logged = "[" + std::to_string(images.appSize) + " byte values]";
    reply.byteCount = static_cast<long long>(images.appSize);
    reply.sha256 = images.appSha256;
    return reply;
}

std::string Server::Impl::maskSecrets(std::string text, const std::vector<std::string> &extra) const
{
    std::vector<std::string> secrets = extra;
    for (const auto &account : scenario.accounts)
        secrets.push_back(account.password);
    secrets.insert(secrets.end(), issuedTokens.begin(), issuedTokens.end());
    // Longest first, so a secret that contains another is replaced whole.
    std::sort(secrets.begin(), secrets.end(),
              [](const std::string &a, const std::string &b) { return a.size() > b.size(); });
    for (const auto &secret : secrets) {
        if (secret.size() >= 3)
            replaceAll(text, secret, "***");
    }
    return text;
}

void Server::Impl::finish(RequestRecord &record, const Reply &reply,
                          const std::vector<std::string> &extraSecrets)
{
    record.status = reply.status;
    record.replyContentType = reply.contentType;
    record.replyBody = maskSecrets(reply.logged ? *reply.logged : reply.body, extraSecrets);
    record.replyByteCount = reply.byteCount;
    record.replySha256 = reply.sha256;

    const bool multipart = lower(record.contentType).rfind("multipart/", 0) == 0;
    if (multipart) {
        record.loggedBody = record.body;
    } else {
        bool changed = false;
        record.loggedBody = maskPasswordMembers(record.body, &changed);
        const std::string masked = maskSecrets(record.loggedBody, extraSecrets);
        record.bodyMasked = changed || masked != record.loggedBody;
        record.loggedBody = masked;
    }
    record.bodyIsText = !multipart && isUtf8(record.loggedBody);

    record.path = maskSecrets(record.path, extraSecrets);
    record.query = maskSecrets(record.query, extraSecrets);
    for (auto &header : record.headers)
        header.second = maskSecrets(header.second, extraSecrets);
    for (auto &note : record.notes)
        note = maskSecrets(note, extraSecrets);
    for (auto &text : record.violations)
        text = maskSecrets(text, extraSecrets);
}

void Server::Impl::write(const RequestRecord &record)
{
    if (!log.is_open())
        return;
    // Written in this order so the log reads naturally.
    nlohmann::ordered_json headers = nlohmann::ordered_json::object();
    for (const auto &[name, value] : record.headers)
        headers[name] = value;
    nlohmann::ordered_json line;
    line["seq"] = record.sequence;
    line["time"] = record.time;
    line["method"] = record.method;
    line["path"] = record.path;
    line["query"] = record.query;
    line["headers"] = headers;
    line["token"] = record.tokenCheck;
    line["contentType"] = record.contentType;
    line["bodySize"] = record.body.size();
    line["bodyBase64"] = base64(record.loggedBody);
    if (record.bodyIsText)
        line["bodyText"] = record.loggedBody;
    line["bodyMasked"] = record.bodyMasked;
    line["status"] = record.status;
    line["replyContentType"] = record.replyContentType;
    line["replyBody"] = record.replyBody;
    if (record.replyByteCount >= 0)
        line["replyBytes"] = {{"count", record.replyByteCount}, {"sha256", record.replySha256}};
    line["notes"] = record.notes;
    line["violations"] = record.violations;
    log << line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
    log.flush();
}

void Server::Impl::handle(const httplib::Request &req, httplib::Response &res)
{
    // The request object is not const where the HTTP layer made it; marking it tells the
    // error handler that this request was answered here.
    const_cast<httplib::Request &>(req).set_header(handledKey, "1");

    RequestRecord record;
    Reply reply;
    std::function<void(const RequestRecord &)> notify;
    int replyDelayMs = 0;
    int trickleMs = 0;
    bool chunked = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        record.sequence = ++sequence;
        record.time = nowText();
        record.method = req.method;
        record.path = req.path;
        const auto question = req.target.find('?');
        record.query =
            question == std::string::npos ? std::string() : req.target.substr(question + 1);
        record.body = req.body;

        std::vector<std::string> contentTypes;
        std::map<std::string, std::string> headers;
        for (const auto &[key, value] : req.headers) {
            if (key == handledKey || key == "REMOTE_ADDR" || key == "REMOTE_PORT"
                || key == "LOCAL_ADDR" || key == "LOCAL_PORT")
                continue;
            std::string name = key == savedContentTypeKey ? "content-type" : lower(key);
            std::string shown = value;
            if (name == "token") {
                shown = issuedTokens.empty() ? "[no token issued yet]"
                    : value == token         ? "[matches issued token]"
                                             : "[differs from issued token]";
            }
            if (key == savedContentTypeKey)
                contentTypes.push_back(value);
            auto &slot = headers[name];
            slot += (slot.empty() ? "" : ", ") + shown;
        }
        record.headers.assign(headers.begin(), headers.end());
        record.tokenCheck = tokenState(req);
        if (req.has_header("token")) {
            const auto user = tokenUsers.find(req.get_header_value("token"));
            record.userId = user == tokenUsers.end() ? 0 : user->second;
        }
        if (!contentTypes.empty())
            record.contentType = contentTypes.front();
        if (contentTypes.size() > 1)
            record.violations.push_back("the Content-Type header is sent "
                                        + std::to_string(contentTypes.size()) + " times");

        reply = route(req, record);

        const auto status = scenario.statusOverrides.find(req.path);
        if (status != scenario.statusOverrides.end()) {
            reply.status = status->second;
            record.notes.push_back("status overridden to " + std::to_string(status->second));
        }
        const auto body = scenario.bodyOverrides.find(req.path);
        if (body != scenario.bodyOverrides.end()) {
            reply.body = body->second;
            reply.logged.reset();
            reply.byteCount = -1;
            reply.sha256.clear();
            reply.contentType = json::accept(body->second) ? jsonType : textType;
            record.notes.push_back("body overridden");
        }

        std::vector<std::string> extraSecrets;
        const json sent = json::parse(record.body, nullptr, false);
        if (sent.is_object()) {
            for (auto it = sent.begin(); it != sent.end(); ++it) {
                if (lower(it.key()) == "password" && it->is_string())
                    extraSecrets.push_back(it->get<std::string>());
            }
        }
        finish(record, reply, extraSecrets);
        write(record);
        for (const auto &text : record.violations)
            violationList.push_back({record.sequence, record.method, record.path, text});
        if (keepInMemory)
            records.push_back(record);
        notify = observer;
        if (req.path == uploadPath)
            replyDelayMs = scenario.uploadReplyDelayMs;
        const auto trickle = scenario.tricklePaths.find(req.path);
        if (trickle != scenario.tricklePaths.end())
            trickleMs = trickle->second;
        chunked = scenario.chunkedPaths.count(req.path) > 0;
        // The HTTP layer compresses the reply after this handler, if the request accepts it.
        if (!scenario.compressReplies)
            const_cast<httplib::Request &>(req).headers.erase("Accept-Encoding");
    }
    // A slow service: the upload is stored, its answer held back (outside the lock, so other
    // requests are served meanwhile).
    if (replyDelayMs > 0)
        pause(replyDelayMs);
    if (notify)
        notify(record);
    res.status = reply.status;
    if (trickleMs > 0 || chunked) {
        auto body = std::make_shared<std::string>(std::move(reply.body));
        const std::size_t piece = trickleMs > 0 ? 1 : std::size_t(64) << 10;
        res.set_chunked_content_provider(
            reply.contentType,
            [this, body, piece, trickleMs](std::size_t offset, httplib::DataSink &sink) {
                if (offset >= body->size()) {
                    sink.done();
                    return true;
                }
                if (trickleMs > 0 && !pause(trickleMs))
                    return false;
                return sink.write(body->data() + offset, std::min(piece, body->size() - offset));
            });
        return;
    }
    res.set_content(reply.body, reply.contentType);
}

bool Server::Impl::pause(int ms)
{
    // In small steps, so that stopping the server never waits for a slow reply.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        if (stopping)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return !stopping;
}

void Server::Impl::logRefused(const httplib::Request &req, const httplib::Response &res)
{
    RequestRecord record;
    std::function<void(const RequestRecord &)> notify;
    {
        std::lock_guard<std::mutex> lock(mutex);
        record.sequence = ++sequence;
        record.time = nowText();
        record.method = req.method;
        record.path = req.path;
        record.tokenCheck = tokenState(req);
        record.violations.push_back(
            "the HTTP layer refused the request with status " + std::to_string(res.status)
            + " before it reached the stand-in (malformed or oversized request)");
        Reply reply;
        reply.status = res.status;
        reply.contentType = textType;
        finish(record, reply, {});
        write(record);
        violationList.push_back(
            {record.sequence, record.method, record.path, record.violations.front()});
        if (keepInMemory)
            records.push_back(record);
        notify = observer;
    }
    if (notify)
        notify(record);
}

Server::Server(Scenario scenario, std::string certificateDirectory, std::string dataDirectory,
               std::string logPath)
    : d(std::make_unique<Impl>(std::move(scenario), std::move(certificateDirectory),
                               std::move(dataDirectory), std::move(logPath)))
{ }

Server::~Server()
{
    stop();
}

bool Server::start(int port)
{
    if (isRunning())
        return true;
    std::lock_guard<std::mutex> lock(d->mutex);
    d->error.clear();
    d->stopping = false;
    const auto fail = [this](const std::string &text) {
        d->error = text;
        d->http.reset();
        return false;
    };
    if (port < 0 || port > 65535)
        return fail("the port must be 0 to 65535");
    if (const std::string problem = validateScenario(d->scenario); !problem.empty())
        return fail(problem);

    d->certificates = ensureCertificates(d->certificateDirectory);
    if (!d->certificates.error.empty())
        return fail(d->certificates.error);
    std::string problem;
    if (!loadImages(d->scenario, Images(), &d->images, &problem))
        return fail(problem);

    std::error_code code;
    std::filesystem::create_directories(d->dataDirectory + "/sessions", code);
    if (code)
        return fail("cannot create the data folder " + d->dataDirectory + ": " + code.message());
    const auto logFolder = std::filesystem::path(d->logFilePath).parent_path();
    if (!logFolder.empty())
        std::filesystem::create_directories(logFolder, code);
    // A fresh log for a fresh server; a restart of the same one carries on with its records.
    d->log.close();
    d->log.clear();
    d->log.open(d->logFilePath,
                std::ios::out | std::ios::binary
                    | (d->logStarted ? std::ios::app : std::ios::trunc));
    d->logStarted = true;
    if (!d->log)
        return fail("cannot write the log " + d->logFilePath);

    struct sigaction current
    {
    };
    if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
        std::signal(SIGPIPE, SIG_IGN);

    d->http = std::make_unique<httplib::SSLServer>(d->certificates.serverCertificate.c_str(),
                                                   d->certificates.serverKey.c_str());
    if (!d->http->is_valid())
        return fail("cannot set up TLS with " + d->certificates.serverCertificate);
    auto &http = *d->http;
    // The HTTP layer's default also sets SO_REUSEPORT, which would let two stand-ins share a
    // port and split the app's requests between them; a taken port must fail instead.
    http.set_socket_options([](int socket) {
        const int on = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    });
    http.set_payload_max_length(maxPayload);
    http.set_keep_alive_timeout(2);
    http.set_read_timeout(10);
    http.set_write_timeout(10);
    // Keeps the form away from the HTTP layer's own multipart and form parsing, so the
    // handler sees the body exactly as it came.
    http.set_pre_routing_handler([](const httplib::Request &req, httplib::Response &) {
        auto &request = const_cast<httplib::Request &>(req);
        for (auto it = request.headers.find("Content-Type"); it != request.headers.end();
             it = request.headers.find("Content-Type")) {
            const std::string value = it->second;
            request.headers.erase(it);
            request.headers.emplace(savedContentTypeKey, value);
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    Impl *impl = d.get();
    const auto handler = [impl](const httplib::Request &req, httplib::Response &res) {
        impl->handle(req, res);
    };
    http.Get(".*", handler);
    http.Post(".*", handler);
    http.Put(".*", handler);
    http.Patch(".*", handler);
    http.Delete(".*", handler);
    http.Options(".*", handler);
    http.set_error_handler(httplib::Server::HandlerWithResponse(
        [impl](const httplib::Request &req, httplib::Response &res) {
            if (!req.has_header(handledKey))
                impl->logRefused(req, res);
            return httplib::Server::HandlerResponse::Unhandled;
        }));
    http.set_exception_handler(
        [](const httplib::Request &, httplib::Response &res, std::exception_ptr) {
            res.status = 500;
            res.set_content("Internal error", textType);
        });

    if (port == 0) {
        d->boundPort = http.bind_to_any_port("127.0.0.1");
        if (d->boundPort <= 0)
            return fail("cannot listen on 127.0.0.1");
    } else {
        if (!http.bind_to_port("127.0.0.1", port))
            return fail("cannot listen on 127.0.0.1:" + std::to_string(port) + " (in use?)");
        d->boundPort = port;
    }
    d->thread = std::thread([impl] { impl->http->listen_after_bind(); });
    // stop() only works once the loop runs; wait for it so start() returns a stoppable server.
    for (int i = 0; i < 5000 && !http.is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!http.is_running()) {
        d->thread.join();
        return fail("the server loop did not start");
    }
    return true;
}

void Server::stop()
{
    std::unique_ptr<httplib::SSLServer> http;
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        if (!d->http)
            return;
        d->stopping = true;
        d->http->stop();
        thread = std::move(d->thread);
    }
    // Joined without the lock: handlers still finishing need it.
    if (thread.joinable())
        thread.join();
    std::lock_guard<std::mutex> lock(d->mutex);
    http = std::move(d->http);
    d->boundPort = 0;
    d->log.close();
}

bool Server::isRunning() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->http && d->http->is_running();
}

std::string Server::errorString() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->error;
}

int Server::port() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->boundPort;
}

std::string Server::baseUrl() const
{
    return "https://127.0.0.1:" + std::to_string(port());
}

std::string Server::caCertificatePath() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->certificates.caCertificate;
}

std::string Server::logPath() const
{
    return d->logFilePath;
}

std::vector<RequestRecord> Server::requests() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->records;
}

std::vector<Violation> Server::violations() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->violationList;
}

std::vector<StoredUpload> Server::storedUploads() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->uploads;
}

std::map<std::string, int> Server::reportedFirmwareVersions() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->reported;
}

std::vector<Device> Server::devices() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->devices;
}

std::string Server::issuedToken() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->token;
}

void Server::clearRecords()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->records.clear();
    d->violationList.clear();
}

void Server::setKeepInMemory(bool keep)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->keepInMemory = keep;
}

void Server::setRequestObserver(std::function<void(const RequestRecord &)> observer)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->observer = std::move(observer);
}

Scenario Server::scenario() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->scenario;
}

bool Server::setScenario(const Scenario &scenario)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    if (const std::string problem = validateScenario(scenario); !problem.empty()) {
        d->error = problem;
        return false;
    }
    Images images;
    std::string problem;
    if (!loadImages(scenario, d->images, &images, &problem)) {
        d->error = problem;
        return false;
    }
    d->images = std::move(images);
    d->scenario = scenario;
    return true;
}

void Server::setDevices(const std::vector<Device> &devices)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->devices = devices;
    for (Device &device : d->devices)
        device.owner = d->owner(device.owner);
}

void Server::setNextUploadReply(int status, const std::string &body)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->nextUploadReply = std::make_pair(status, body);
}

} // namespace standin
