// SPDX-License-Identifier: GPL-3.0-or-later
#include "wipe/receipt.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>

#include "platform/fileio.h"
#include "platform/format.h"
#include "platform/storage_facts.h"
#include "platform/strings.h"

#ifndef TW_VERSION
#define TW_VERSION "unknown"
#endif

namespace tw::wipe {

namespace {

constexpr int kNotJson = TextId<1765>;
constexpr int kUnknownVersion = TextId<1766>;  // %3: the version found
constexpr int kIncomplete = TextId<1767>;      // %3: the field

std::string IsoUtc(std::chrono::system_clock::time_point t) {
    const std::time_t s = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    gmtime_r(&s, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "";
    return name;
}

// A text field: null when empty, so that "not known" is not mistaken for a value.
nlohmann::json OrNull(const std::string& s) {
    return s.empty() ? nlohmann::json() : nlohmann::json(s);
}

// The fields every receipt of this version holds, with their JSON types; a reader
// refuses a file without them rather than print half a receipt.
struct Field {
    const char* name;
    nlohmann::json::value_t type;
};
constexpr Field kRequired[] = {
    {"command", nlohmann::json::value_t::string},
    {"target", nlohmann::json::value_t::object},
    {"method", nlohmann::json::value_t::object},
    {"bytesOverwritten", nlohmann::json::value_t::number_unsigned},
    {"started", nlohmann::json::value_t::string},
    {"finished", nlohmann::json::value_t::string},
    {"verification", nlohmann::json::value_t::object},
    {"outcome", nlohmann::json::value_t::string},
    {"program", nlohmann::json::value_t::object},
    {"items", nlohmann::json::value_t::array},
};

std::string Text(const nlohmann::json& j, const char* key) {
    const auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

Receipt StartReceipt(std::string command, const std::string& target) {
    Receipt r;
    r.command = std::move(command);
    r.targetPath = target;
    r.started = std::chrono::system_clock::now();
    SetVolumeFacts(r, target);
    return r;
}

void SetVolumeFacts(Receipt& r, const std::string& path) {
    // A target already gone (a wiped file) is described by its folder.
    std::string at = path;
    struct stat st {};
    while (!at.empty() && at != "/" && lstat(at.c_str(), &st) != 0) at = platform::ParentOf(at);
    const Result<StorageFacts> facts = FactsForPath(at.empty() ? "/" : at);
    if (!facts.ok()) return;
    r.volume = facts.value().mountPoint;
    r.fileSystem = facts.value().fsType;
    r.device = facts.value().source;
    r.deviceModel = facts.value().model;
    r.deviceSerial = facts.value().serial;
    r.caveat = CaveatText(facts.value().caveats);
}

void NoteReadBackFailure(Receipt& r, const std::string& detail) {
    r.verified = false;
    if (r.verifyDetail.empty()) r.verifyDetail = detail;
}

void AddFileToReceipt(Receipt& r, const std::string& path, uint64_t bytes, bool erased,
                      const std::optional<Error>& readBack, const std::string& whyNot) {
    r.bytesOverwritten += bytes;
    r.items.push_back({path, bytes, erased,
                       erased     ? std::string()
                       : readBack ? ErrorText(*readBack)
                                  : whyNot});
    if (readBack) NoteReadBackFailure(r, ErrorText(*readBack));
}

void ConcludeReadBack(Receipt& r, bool anythingRead) {
    if (r.verifyRequested && !r.verified && anythingRead) r.verified = true;
}

std::vector<std::string> PassPatterns(int passes, bool randomMode) {
    std::vector<std::string> rows;
    for (int pass = 1; pass <= passes; ++pass) {
        if (pass % 2 == 0 && (randomMode || pass > 2))
            rows.emplace_back("complement of the previous pass");
        else if (randomMode)
            rows.emplace_back("random");
        else if (pass == 1)
            rows.emplace_back("0x00");
        else if (pass == 2)
            rows.emplace_back("0xFF");
        else
            rows.emplace_back("random byte repeated");
    }
    return rows;
}

nlohmann::json ReceiptJson(const Receipt& r) {
    nlohmann::json rows = nlohmann::json::array();
    const std::vector<std::string> patterns =
        r.patterns.empty() ? PassPatterns(r.passes, r.randomMode) : r.patterns;
    for (size_t i = 0; i < patterns.size(); ++i)
        rows.push_back({{"pass", i + 1}, {"pattern", patterns[i]}});
    nlohmann::json items = nlohmann::json::array();
    for (const ReceiptItem& item : r.items) {
        nlohmann::json j = {{"path", item.path}, {"bytes", item.bytes}, {"erased", item.erased}};
        if (!item.reason.empty()) j["reason"] = item.reason;
        items.push_back(std::move(j));
    }
    nlohmann::json verification = {{"requested", r.verifyRequested}};
    verification["result"] = !r.verifyRequested ? "not requested"
                             : !r.verified      ? "not run"
                             : *r.verified      ? "passed"
                                                : "failed";
    if (!r.verifyDetail.empty()) verification["detail"] = r.verifyDetail;
    return {
        {"schemaVersion", kReceiptSchemaVersion},
        {"command", r.command},
        {"target",
         {{"path", r.targetPath},
          {"volume", OrNull(r.volume)},
          {"fileSystem", OrNull(r.fileSystem)},
          {"device", OrNull(r.device)},
          {"deviceModel", OrNull(r.deviceModel)},
          {"deviceSerial", OrNull(r.deviceSerial)},
          {"caveat", OrNull(r.caveat)}}},
        {"method",
         {{"passes", r.passes}, {"mode", r.randomMode ? "random" : "fixed"}, {"rows", rows}}},
        {"bytesOverwritten", r.bytesOverwritten},
        {"started", IsoUtc(r.started)},
        {"finished", IsoUtc(r.finished)},
        {"verification", verification},
        {"outcome", r.outcome},
        {"program", {{"name", "tidewipe"}, {"version", TW_VERSION}, {"host", HostName()}}},
        {"items", items},
    };
}

Result<void> WriteReceipt(const Receipt& r, const std::string& file) {
    if (file.empty()) return Error(ErrorCode::Invalid).Says(kCannotCreate);
    const std::string text =
        ReceiptJson(r).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    // Written beside the final name and renamed over it: a reader never sees half a file.
    const std::string temp = file + ".part";
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return Error::FromErrno(temp).Says(kCannotCreate);
    const bool ok = platform::PwriteAll(fd, text.data(), text.size(), 0) && fsync(fd) == 0;
    const int err = errno;
    close(fd);
    if (!ok) {
        unlink(temp.c_str());
        return Error::FromErrno(err, file).Says(kCannotWrite);
    }
    if (rename(temp.c_str(), file.c_str()) != 0) {
        const int renameErr = errno;
        unlink(temp.c_str());
        return Error::FromErrno(renameErr, file).Says(kCannotCreate);
    }
    return {};
}

Result<nlohmann::json> ReadReceipt(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return Error::FromErrno(file).Says(kCannotOpen);
    std::stringstream text;
    text << in.rdbuf();
    nlohmann::json j = nlohmann::json::parse(text.str(), nullptr, false);
    if (j.is_discarded() || !j.is_object()) return Error(ErrorCode::Corrupt, file).Says(kNotJson);
    const auto version = j.find("schemaVersion");
    if (version == j.end() || !version->is_number_integer())
        return Error(ErrorCode::Corrupt, file).Says(kIncomplete).With("schemaVersion");
    if (version->get<int64_t>() != kReceiptSchemaVersion)
        return Error(ErrorCode::Unsupported, file)
            .Says(kUnknownVersion)
            .With(std::to_string(version->get<int64_t>()));
    for (const Field& f : kRequired) {
        const auto it = j.find(f.name);
        const bool number = f.type == nlohmann::json::value_t::number_unsigned;
        if (it == j.end() || (number ? !it->is_number_unsigned() : it->type() != f.type))
            return Error(ErrorCode::Corrupt, file).Says(kIncomplete).With(f.name);
    }
    return j;
}

std::vector<std::string> ReceiptLines(const nlohmann::json& j) {
    std::vector<std::string> out;
    const nlohmann::json& t = j["target"];
    const nlohmann::json& m = j["method"];
    const nlohmann::json& v = j["verification"];
    const nlohmann::json& p = j["program"];
    out.push_back("Erasure receipt (schema " + std::to_string(j["schemaVersion"].get<int>()) + ")");
    out.push_back("Command:      " + Text(j, "command"));
    out.push_back("Target:       " + Text(t, "path"));
    if (!Text(t, "volume").empty())
        out.push_back("Volume:       " + Text(t, "volume") + " (" + Text(t, "fileSystem") + ", " +
                      Text(t, "device") + ")");
    if (!Text(t, "deviceModel").empty() || !Text(t, "deviceSerial").empty())
        out.push_back("Device:       " + Text(t, "deviceModel") + " serial " +
                      Text(t, "deviceSerial"));
    if (!Text(t, "caveat").empty()) out.push_back("Caveat:       " + Text(t, "caveat"));
    std::string method = std::to_string(m.value("passes", 0)) + " pass(es), " +
                         (Text(m, "mode").empty() ? "fixed" : Text(m, "mode"));
    out.push_back("Method:       " + method);
    if (const auto rows = m.find("rows"); rows != m.end() && rows->is_array())
        for (const auto& row : *rows)
            if (row.is_object())
                out.push_back("  pass " + std::to_string(row.value("pass", 0)) + ": " +
                              Text(row, "pattern"));
    const uint64_t bytes = j["bytesOverwritten"].get<uint64_t>();
    out.push_back("Overwritten:  " + std::to_string(bytes) + " bytes (" +
                  FormatSize(bytes, "%2.2f") + ")");
    out.push_back("Started:      " + Text(j, "started"));
    out.push_back("Finished:     " + Text(j, "finished"));
    std::string verification = Text(v, "result");
    if (!Text(v, "detail").empty()) verification += ": " + Text(v, "detail");
    out.push_back("Verification: " + verification);
    out.push_back("Outcome:      " + Text(j, "outcome"));
    out.push_back("Program:      " + Text(p, "name") + " " + Text(p, "version") + " on " +
                  Text(p, "host"));
    const nlohmann::json& items = j["items"];
    if (!items.empty()) out.push_back("Items:");
    for (const auto& item : items) {
        if (!item.is_object()) continue;
        std::string line = "  " + Text(item, "path") + ": ";
        if (item.value("erased", false))
            line += "erased, " + std::to_string(item.value("bytes", uint64_t{0})) + " bytes";
        else
            line += "not erased" +
                    (Text(item, "reason").empty() ? "" : " (" + Text(item, "reason") + ")");
        out.push_back(std::move(line));
    }
    return out;
}

std::string ReceiptFolder(const std::string& logFolder) {
    // Only a log folder given in full has a receipts folder: an unresolved (empty) one
    // would put it at the root, a relative one wherever the program happens to run.
    if (logFolder.empty() || logFolder.front() != '/') return {};
    std::string base = logFolder;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base + "/receipts";
}

std::string NewReceiptPath(const std::string& logFolder, const std::string& command) {
    const std::string folder = ReceiptFolder(logFolder);
    if (folder.empty()) return {};
    mkdir(folder.c_str(), 0700);
    std::string stamp = IsoUtc(std::chrono::system_clock::now());
    for (char& c : stamp)
        if (c == ':') c = '-';
    std::string path = folder + "/" + command + "-" + stamp + ".json";
    // Two runs within one second get their own files.
    for (int n = 2; access(path.c_str(), F_OK) == 0 && n < 1000; ++n)
        path = folder + "/" + command + "-" + stamp + "-" + std::to_string(n) + ".json";
    return path;
}

std::string KeepReceipt(Receipt& r, const std::string& logFolder) {
    r.finished = std::chrono::system_clock::now();
    const std::string file = NewReceiptPath(logFolder, r.command);
    return WriteReceipt(r, file).ok() ? std::string() : TextWith(TextId<1768>, file);
}

}  // namespace tw::wipe
