// What the cloud stand-in answers: accounts, firmware, application update, devices, upload
// replies and per-path overrides. Plain data; the server copies it.
#pragma once

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace standin {

// Credentials accepted by POST /signin. An account without a user id of its own signs in the
// scenario's user (userId), so that a nick name and an e-mail address can both be listed for
// one person; accounts with ids of their own are separate users, each with its own devices.
struct Account
{
    std::string user;
    std::string password;
    int userId = 0; // 0: the scenario's userId
};

// A device on a user's account, as listed by PUT /api/device/pairDevice to that user.
struct Device
{
    std::string name;
    int id = 0;
    std::string uniqueNumber;
    int owner = 0; // the user id; 0: the scenario's userId
};

// The update sample built with the stand-in: orvane-update-sample, answering "Orvane 7.5".
std::string updateSampleFile();

struct Scenario
{
    std::vector<Account> accounts {{"demo", "demo1234"}};
    int userId = 1001;
    // Length of the issued session token: 36 gives a UUID-like text, any other length plain
    // lower-case hexadecimal digits (to test the client's refusal of odd tokens).
    int tokenLength = 36;
    // "code" of a refused sign-in; 0 is allowed on purpose.
    int refusalCode = 401;

    // Firmware offered by POST /api/device/checkFirmware: read from firmwareImageFile when it
    // is set, otherwise generated from firmwareFBlocks blocks of 256 bytes and
    // firmwareCBlocks blocks of 64 bytes behind the 4-byte header.
    int firmwareVersion = 12;
    std::string firmwareImageFile;
    int firmwareFBlocks = 4;
    int firmwareCBlocks = 16;

    // Application offered by GET /api/orvane/checkUpdate and GET /orvane: read from appFile,
    // by default the update sample built with the stand-in (a program of this computer that
    // answers "--version" with "Orvane 7.5"); with appFile empty, a generated shell script of
    // appSize bytes (which the app must refuse to install).
    int appVersionMajor = 7;
    int appVersionMinor = 5;
    std::string appDescription = "Orvane 7.5 from the cloud stand-in";
    std::string appFile = updateSampleFile();
    std::size_t appSize = 4096;

    // Pairing: the devices the account has from the start, or a refusal because the device
    // belongs to another account.
    std::vector<Device> devices;
    bool pairedToOther = false;
    int pairedToOtherCode = 409;

    // Session upload: the body of every reply, and the uploads (counted from 1) that fail.
    std::string uploadBody = "true";
    std::set<int> failUploads;
    int failUploadStatus = 500;
    std::string failUploadBody = "false";
    // Every upload is stored at once but answered only after this pause (a slow service).
    int uploadReplyDelayMs = 0;

    // How reply bodies travel, per path: without a Content-Length in chunks (chunkedPaths),
    // or one byte every so many milliseconds (tricklePaths), which also sends no length.
    std::set<std::string> chunkedPaths;
    std::map<std::string, int> tricklePaths;
    // Replies are gzip-compressed when the client accepts it (as Qt does); false sends them
    // as they are, with their length announced.
    bool compressReplies = true;

    // Per-path overrides of the reply, applied last: the status code and the raw body.
    std::map<std::string, int> statusOverrides;
    std::map<std::string, std::string> bodyOverrides;
};

// Checks the values of a scenario (ranges, sizes, readable files are checked at start).
// Returns an empty string when they are usable, otherwise what is wrong.
std::string validateScenario(const Scenario &scenario);

} // namespace standin
