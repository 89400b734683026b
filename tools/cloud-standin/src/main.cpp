// cloud-standin: the HTTPS stand-in for the maker's cloud service, for developers running
// Orvane and for the end-to-end tests. See --help.
#include "standin/certificates.h"
#include "standin/server.h"

#include <algorithm>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <pthread.h>
#include <string>
#include <vector>

namespace {

const char *const usage = R"(Usage: cloud-standin --certs DIR --data DIR [options]
       cloud-standin --certs DIR --init-only

An HTTPS stand-in for the Kestrane cloud service on 127.0.0.1. It checks every request the
way the app must send it, logs each one (JSON lines) and answers as the options say. When it
is ready it prints "cloud-standin listening on https://127.0.0.1:<port>" and the CA path.
SIGINT or SIGTERM stop it. Exit codes: 0 stopped cleanly, 1 could not start, 2 bad arguments.

Folders and files:
  --certs DIR            CA (ca.pem, ca.key) and server certificate for 127.0.0.1 and
                         localhost; made when missing or unusable, reused otherwise
  --init-only            only make or check the certificates, print the CA path, exit
  --data DIR             where uploads are kept (DIR/sessions/<date>, a repeated date gets
                         <date>.1, <date>.2, ...) and the log by default
  --log FILE             the request log (default DIR/requests.jsonl; started afresh)
  --port N               port on 127.0.0.1 (default 0: a free one)
  --port-file FILE       write the port there once listening (removed on exit)
  --quiet                do not print one line per request on standard error

Sign-in (POST /signin):
  --account USER:PASS    accepted credentials, repeatable; the first replaces the default
                         demo:demo1234; all such accounts are the same user (--user-id)
  --user USER:PASS:ID    an account that is a user of its own, with id ID and devices of its
                         own; repeatable, and like --account replaces the default
  --user-id N            the user's id in "userDto" (default 1001)
  --token-length N       length of the issued token, 0 to 1024 (default 36, UUID-like)
  --refusal-code N       "code" of a refused sign-in (default 401; 0 is allowed)

Firmware (POST /api/device/checkFirmware):
  --fw-version N         firmware version offered (default 12)
  --fw-image FILE        the image to send (at most 16 MiB)
  --fw-blocks F,C        or generate F blocks of 256 and C blocks of 64 bytes behind the
                         4-byte header (default 4,16)

Application update (GET /api/orvane/checkUpdate, GET /orvane):
  --app-version MAJOR.MINOR  version offered (default 7.5)
  --no-update            offer 7.4, the running version
  --app-description TEXT description of the offered version
  --app-file FILE        the application to send (at most 64 MiB; default the update
                         sample built with the stand-in, which answers "Orvane 7.5")
  --app-size BYTES       or generate a shell script of that size, which Orvane must refuse

Devices (PUT /api/device/pairDevice, POST /api/device/updateFirmwareVersion):
  --device NAME:ID       a device the account has from the start, repeatable; unknown
                         devices are added with new ids from 101
  --paired-to-other      refuse every pairing: the device belongs to another account
  --paired-code N        "code" of that refusal (default 409)

Session upload (POST /api/medical/vitals/save):
  --upload-body TEXT     reply body of every upload (default "true")
  --fail-upload N        the N-th upload (from 1) fails, repeatable
  --fail-upload-status CODE  status of a failing upload (default 500)
  --fail-upload-body TEXT    body of a failing upload (default "false")
  --upload-delay-ms MS   store each upload at once but answer it only after MS

Reply shapes:
  --chunked PATH         send the reply body for PATH in chunks, without a length
  --trickle PATH=MS      send the reply body for PATH one byte every MS, without a length
  --no-compression       never gzip a reply, so every length is announced

Overrides, applied last to any path:
  --status PATH=CODE     reply status for PATH, repeatable
  --body PATH=TEXT       raw reply body for PATH, repeatable (JSON gets application/json)

  -h, --help             this text
)";

struct Options
{
    standin::Scenario scenario;
    std::string certificates;
    std::string data;
    std::string log;
    std::string portFile;
    int port = 0;
    bool initOnly = false;
    bool quiet = false;
    bool help = false;
};

template<typename T>
std::optional<T> number(const std::string &text)
{
    T value {};
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size())
        return std::nullopt;
    return value;
}

// Parses the arguments into options; returns the error text of the first bad one.
std::string parse(int argc, char **argv, Options &o)
{
    bool accountGiven = false, fwImage = false, fwBlocks = false, appFile = false, appSize = false;
    bool appVersion = false, noUpdate = false;
    const std::vector<std::string> switches = {"--init-only",       "--quiet", "--no-update",
                                               "--paired-to-other", "--help",  "-h",
                                               "--no-compression"};
    const std::vector<std::string> valued = {"--certs",
                                             "--data",
                                             "--log",
                                             "--port",
                                             "--port-file",
                                             "--account",
                                             "--user",
                                             "--user-id",
                                             "--token-length",
                                             "--refusal-code",
                                             "--fw-version",
                                             "--fw-image",
                                             "--fw-blocks",
                                             "--app-version",
                                             "--app-description",
                                             "--app-file",
                                             "--app-size",
                                             "--paired-code",
                                             "--device",
                                             "--upload-body",
                                             "--fail-upload",
                                             "--fail-upload-status",
                                             "--fail-upload-body",
                                             "--upload-delay-ms",
                                             "--chunked",
                                             "--trickle",
                                             "--status",
                                             "--body"};
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::optional<std::string> value;
        const auto equals = name.find('=');
        if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
        }
        const bool isSwitch = std::find(switches.begin(), switches.end(), name) != switches.end();
        if (!isSwitch && std::find(valued.begin(), valued.end(), name) == valued.end())
            return name.rfind("-", 0) == 0 ? "unknown option " + name
                                           : "unexpected argument \"" + name + "\"";
        if (isSwitch) {
            if (value)
                return name + " takes no value";
        } else if (!value) {
            if (i + 1 >= argc)
                return name + " needs a value";
            value = argv[++i];
        }
        const std::string &v = value ? *value : std::string();
        const auto integer = [&](int low, int high, int &out) -> std::string {
            const auto n = number<int>(v);
            if (!n || *n < low || *n > high)
                return name + " needs a whole number from " + std::to_string(low) + " to "
                    + std::to_string(high) + ", not \"" + v + "\"";
            out = *n;
            return {};
        };
        std::string error;
        auto &s = o.scenario;
        if (name == "--help" || name == "-h") {
            o.help = true;
        } else if (name == "--init-only") {
            o.initOnly = true;
        } else if (name == "--quiet") {
            o.quiet = true;
        } else if (name == "--certs") {
            o.certificates = v;
        } else if (name == "--data") {
            o.data = v;
        } else if (name == "--log") {
            o.log = v;
        } else if (name == "--port") {
            error = integer(0, 65535, o.port);
        } else if (name == "--port-file") {
            o.portFile = v;
        } else if (name == "--account") {
            const auto colon = v.find(':');
            if (colon == std::string::npos || colon == 0)
                return "--account needs USER:PASS, not \"" + v + "\"";
            if (!accountGiven)
                s.accounts.clear();
            accountGiven = true;
            s.accounts.push_back({v.substr(0, colon), v.substr(colon + 1)});
        } else if (name == "--user") {
            const auto first = v.find(':'), last = v.rfind(':');
            const auto id = last == std::string::npos || last == first
                ? std::nullopt
                : number<int>(v.substr(last + 1));
            if (first == 0 || !id || *id == 0)
                return "--user needs USER:PASS:ID with an id other than 0, not \"" + v + "\"";
            if (!accountGiven)
                s.accounts.clear();
            accountGiven = true;
            s.accounts.push_back({v.substr(0, first), v.substr(first + 1, last - first - 1), *id});
        } else if (name == "--user-id") {
            error = integer(INT32_MIN, INT32_MAX, s.userId);
        } else if (name == "--token-length") {
            error = integer(0, 1024, s.tokenLength);
        } else if (name == "--refusal-code") {
            error = integer(INT32_MIN, INT32_MAX, s.refusalCode);
        } else if (name == "--fw-version") {
            error = integer(INT32_MIN, INT32_MAX, s.firmwareVersion);
        } else if (name == "--fw-image") {
            fwImage = true;
            s.firmwareImageFile = v;
        } else if (name == "--fw-blocks") {
            fwBlocks = true;
            const auto comma = v.find(',');
            const auto f = number<int>(v.substr(0, comma));
            const auto c =
                comma == std::string::npos ? std::nullopt : number<int>(v.substr(comma + 1));
            if (!f || !c || *f < 0 || *c < 0)
                return "--fw-blocks needs F,C (two whole numbers), not \"" + v + "\"";
            s.firmwareFBlocks = *f;
            s.firmwareCBlocks = *c;
        } else if (name == "--app-version") {
            appVersion = true;
            const auto dot = v.find('.');
            const auto major = number<int>(v.substr(0, dot));
            const auto minor =
                dot == std::string::npos ? std::nullopt : number<int>(v.substr(dot + 1));
            if (!major || !minor)
                return "--app-version needs MAJOR.MINOR, not \"" + v + "\"";
            s.appVersionMajor = *major;
            s.appVersionMinor = *minor;
        } else if (name == "--no-update") {
            noUpdate = true;
            s.appVersionMajor = 7;
            s.appVersionMinor = 4;
        } else if (name == "--app-description") {
            s.appDescription = v;
        } else if (name == "--app-file") {
            appFile = true;
            s.appFile = v;
        } else if (name == "--app-size") {
            appSize = true;
            const auto n = number<std::size_t>(v);
            if (!n)
                return "--app-size needs a number of bytes, not \"" + v + "\"";
            s.appSize = *n;
            s.appFile.clear();
        } else if (name == "--paired-to-other") {
            s.pairedToOther = true;
        } else if (name == "--no-compression") {
            s.compressReplies = false;
        } else if (name == "--paired-code") {
            error = integer(INT32_MIN, INT32_MAX, s.pairedToOtherCode);
        } else if (name == "--device") {
            const auto colon = v.rfind(':');
            const auto id =
                colon == std::string::npos ? std::nullopt : number<int>(v.substr(colon + 1));
            if (!id || colon == 0)
                return "--device needs NAME:ID, not \"" + v + "\"";
            s.devices.push_back({v.substr(0, colon), *id, {}});
        } else if (name == "--upload-body") {
            s.uploadBody = v;
        } else if (name == "--fail-upload") {
            int n = 0;
            error = integer(1, INT32_MAX, n);
            s.failUploads.insert(n);
        } else if (name == "--fail-upload-status") {
            error = integer(100, 599, s.failUploadStatus);
        } else if (name == "--fail-upload-body") {
            s.failUploadBody = v;
        } else if (name == "--upload-delay-ms") {
            error = integer(0, 600000, s.uploadReplyDelayMs);
        } else if (name == "--chunked") {
            if (v.empty() || v[0] != '/')
                return "--chunked needs a path beginning with \"/\", not \"" + v + "\"";
            s.chunkedPaths.insert(v);
        } else if (name == "--trickle") {
            const auto at = v.rfind('=');
            const auto ms = at == std::string::npos ? std::nullopt : number<int>(v.substr(at + 1));
            if (!ms || at == 0 || v[0] != '/' || *ms < 1 || *ms > 60000)
                return "--trickle needs PATH=MS with a path beginning with \"/\" and 1 to 60000 "
                       "ms, not \""
                    + v + "\"";
            s.tricklePaths[v.substr(0, at)] = *ms;
        } else if (name == "--status") {
            const auto at = v.rfind('=');
            const auto code =
                at == std::string::npos ? std::nullopt : number<int>(v.substr(at + 1));
            if (!code || at == 0 || v[0] != '/' || *code < 100 || *code > 599)
                return "--status needs PATH=CODE with a path beginning with \"/\" and a code from "
                       "100 to 599, not \""
                    + v + "\"";
            s.statusOverrides[v.substr(0, at)] = *code;
        } else if (name == "--body") {
            const auto at = v.find('=');
            if (at == std::string::npos || at == 0 || v[0] != '/')
                return "--body needs PATH=TEXT with a path beginning with \"/\", not \"" + v + "\"";
            s.bodyOverrides[v.substr(0, at)] = v.substr(at + 1);
        }
        if (!error.empty())
            return error;
    }
    if (o.help)
        return {};
    if (fwImage && fwBlocks)
        return "--fw-image and --fw-blocks exclude each other";
    if (appFile && appSize)
        return "--app-file and --app-size exclude each other";
    if (appVersion && noUpdate)
        return "--app-version and --no-update exclude each other";
    if (o.certificates.empty())
        return "--certs DIR is required";
    if (!o.initOnly && o.data.empty())
        return "--data DIR is required";
    if (!o.initOnly) {
        if (const std::string problem = standin::validateScenario(o.scenario); !problem.empty())
            return problem;
    }
    return {};
}

bool writePortFile(const std::string &path, int port)
{
    const std::string temporary = path + ".tmp";
    {
        std::ofstream file(temporary, std::ios::trunc);
        file << port << '\n';
        if (!file.flush())
            return false;
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (const std::string error = parse(argc, argv, options); !error.empty()) {
        std::cerr << "cloud-standin: " << error << "\nTry 'cloud-standin --help'." << std::endl;
        return 2;
    }
    if (options.help) {
        std::cout << usage;
        return 0;
    }
    if (options.initOnly) {
        const auto files = standin::ensureCertificates(options.certificates);
        if (!files.error.empty()) {
            std::cerr << "cloud-standin: " << files.error << std::endl;
            return 1;
        }
        std::cout << files.caCertificate << std::endl;
        return 0;
    }

    // The server's threads inherit this mask, so only sigwait() below sees the signals.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    if (!options.portFile.empty())
        std::remove(options.portFile.c_str());
    standin::Server server(options.scenario, options.certificates, options.data, options.log);
    server.setKeepInMemory(false);
    if (!options.quiet) {
        server.setRequestObserver([](const standin::RequestRecord &r) {
            std::string line = "#" + std::to_string(r.sequence) + " " + r.method + " " + r.path
                + (r.query.empty() ? "" : "?" + r.query) + " -> " + std::to_string(r.status) + "\n";
            for (const auto &note : r.notes)
                line += "    note: " + note + "\n";
            for (const auto &violation : r.violations)
                line += "    VIOLATION: " + violation + "\n";
            std::fwrite(line.data(), 1, line.size(), stderr);
        });
    }
    if (!server.start(options.port)) {
        std::cerr << "cloud-standin: " << server.errorString() << std::endl;
        return 1;
    }
    if (!options.portFile.empty() && !writePortFile(options.portFile, server.port())) {
        std::cerr << "cloud-standin: cannot write the port file " << options.portFile << std::endl;
        server.stop();
        return 1;
    }
    std::cout << "cloud-standin listening on " << server.baseUrl() << "\n"
              << "cloud-standin CA certificate: " << server.caCertificatePath() << std::endl;

    int received = 0;
    while (sigwait(&stopSignals, &received) != 0) { }
    server.stop();
    if (!options.portFile.empty())
        std::remove(options.portFile.c_str());
    std::cerr << "cloud-standin: stopped (" << (received == SIGINT ? "SIGINT" : "SIGTERM") << ")"
              << std::endl;
    return 0;
}
