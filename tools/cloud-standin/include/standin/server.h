// The HTTPS stand-in for the maker's cloud service, run on its own thread, in-process (the
// app's tests) or behind the `cloud-standin` command.
//
// Every request is checked against what the app must send (token header, content type, the
// exact JSON text of Qt's indented form with sorted keys, the multipart form and its session
// file, the query) and answered as the scenario says. Each request becomes one record, kept
// in memory (requests()) and appended as one JSON object per line to the log file
// (DATA/requests.jsonl unless another path is given; started afresh by the first start()):
//
//   {"seq": 1,                          arrival order, from 1
//    "time": "2024-05-01T12:00:00.123Z",  UTC
//    "method": "POST", "path": "/signin", "query": "deviceID=5&date=1700000000000",
//    "headers": {"accept-encoding": "...", "token": "[matches issued token]", ...},
//                                       lower-case names; repeated names joined by ", ";
//                                       the token's value is never written, only
//                                       "[matches issued token]", "[differs from issued
//                                       token]" or "[no token issued yet]"
//    "token": "absent" | "match" | "mismatch" | "unissued",
//    "contentType": "application/json", "" when none
//    "bodySize": 98,                    bytes received
//    "bodyBase64": "...",               the body; for anything but a multipart form with
//                                       every password member and every known password or
//                                       token replaced by "***"
//    "bodyText": "...",                 only for bodies that are UTF-8 text (JSON, plain),
//                                       masked the same way
//    "bodyMasked": false,               whether masking changed the body
//    "status": 200, "replyContentType": "application/json",
//    "replyBody": "...",                the reply text, the issued token shown as "***", byte
//                                       arrays (firmware, application) shortened to
//                                       "[<n> byte values]"
//    "replyBytes": {"count": n, "sha256": "<hex>"},  only for those byte-array replies:
//                                       length and SHA-256 of the decoded bytes
//    "notes": ["..."],                  what the stand-in did worth knowing (device added,
//                                       upload stored as a numbered name, ...)
//    "violations": ["..."]}             each failed check, a clear sentence; [] when none
//
// Requests the HTTP layer refuses before they reach the stand-in (a malformed request line,
// an oversized body) are logged with what is known and a violation.
#pragma once

#include "standin/scenario.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace standin {

struct RequestRecord
{
    int sequence = 0;
    std::string time;
    std::string method;
    std::string path; // percent-decoded
    std::string query; // as received, without "?"
    std::vector<std::pair<std::string, std::string>> headers; // as logged
    std::string tokenCheck; // "absent", "match", "mismatch" or "unissued"
    int userId = 0; // the user whose token (any issued one) the request carries; 0: none
    std::string contentType;
    std::string body; // the raw bytes as received (unmasked; never written to the log)
    std::string loggedBody; // the body as the log holds it (masked unless multipart)
    bool bodyIsText = false;
    bool bodyMasked = false;
    int status = 0;
    std::string replyContentType;
    std::string replyBody; // as logged
    long long replyByteCount = -1; // byte-array replies only, else -1
    std::string replySha256; // byte-array replies only
    std::vector<std::string> notes;
    std::vector<std::string> violations;
};

struct Violation
{
    int sequence = 0;
    std::string method;
    std::string path;
    std::string text;
};

struct StoredUpload
{
    std::string date; // the "date" query value as received
    std::string deviceId; // the "deviceID" query value as received
    std::string file; // where the bytes were stored
    std::string bytes; // the session file's bytes (empty when not kept in memory)
    int userId = 0; // the user whose token the upload carried; 0: none or unknown
};

class Server
{
public:
    // logPath empty: DATA/requests.jsonl.
    Server(Scenario scenario, std::string certificateDirectory, std::string dataDirectory,
           std::string logPath = {});
    ~Server(); // stops
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Makes or reuses the certificates, loads the firmware and application images, opens the
    // log and listens on 127.0.0.1 (port 0: a free port). False with errorString() set when
    // any step fails. Ignores SIGPIPE for the process if nothing handles it yet, since a
    // client closing its connection mid-reply must not end the process.
    bool start(int port = 0);
    void stop();
    bool isRunning() const;
    std::string errorString() const;

    int port() const;
    std::string baseUrl() const; // "https://127.0.0.1:<port>"
    std::string caCertificatePath() const;
    std::string logPath() const;

    std::vector<RequestRecord> requests() const;
    std::vector<Violation> violations() const;
    std::vector<StoredUpload> storedUploads() const;
    std::map<std::string, int> reportedFirmwareVersions() const; // device name -> version
    std::vector<Device> devices() const; // the account's devices now
    std::string issuedToken() const; // the token issued last, empty before any
    // Forgets the records and violations (not the uploads, devices or token).
    void clearRecords();
    // Keep records and upload bytes in memory (default); a long-running command turns it off.
    void setKeepInMemory(bool keep);
    // Called on the server's thread after each record is complete, outside the server's lock.
    void setRequestObserver(std::function<void(const RequestRecord &)> observer);

    Scenario scenario() const;
    // Replaces the scenario; reloads the images when their source changed. The device list,
    // the issued token and the upload count stay. False (scenario unchanged) when the new
    // one is unusable.
    bool setScenario(const Scenario &scenario);
    void setDevices(const std::vector<Device> &devices);
    // The reply to the next upload only, before the scenario's upload rules.
    void setNextUploadReply(int status, const std::string &body);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace standin
