// SPDX-License-Identifier: GPL-3.0-or-later
// The analysis page's engine: one volume session behind plain records, so that the page
// (which runs it on a worker through the panel's OperationRunner) sees no engine types.
// Every call that takes Progress runs on the worker; the others are quick reads made on
// the window's thread while no run goes on.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tw {
class OpContext;
}

namespace tw::volume::ui {

// A run's operation (its bars, status, stop and pause: the page's OperationRunner owns
// it) and where the run's log lines go.
struct Progress {
    const OpContext* op = nullptr;
    std::function<void(const std::string& line)> line;  // a line for the page's log area
};

// One listed item: a deleted file, or a live file with slack.
struct FoundRow {
    bool slack = false;
    std::string name, ext, folder;
    uint64_t size = 0;
    int recoverability = 0;   // deleted files: percent
    uint64_t slackBytes = 0;  // slacks
    uint64_t location = 0;    // deleted files: the search's location; slacks: list index
    std::string path;         // slacks: the file
    std::string details;      // the info tip
};

// The extension of a name: the text after its last ".", "" when none.
std::string ExtensionOf(const std::string& name);
// Only printable ASCII, everything else shown as "." (line breaks kept).
std::string FilteredAscii(const std::vector<uint8_t>& bytes);

class AnalysisEngine {
  public:
    AnalysisEngine();
    ~AnalysisEngine();
    AnalysisEngine(const AnalysisEngine&) = delete;
    AnalysisEngine& operator=(const AnalysisEngine&) = delete;

    struct End {
        bool ok = false;
        bool stopped = false;
        std::string message;  // the line shown when the run ended
        std::string device;   // the image or device it read (or wrote), for a refusal
    };

    // What file system the source holds: "NTFS", "FAT32", or "" (then *error says why).
    static std::string Detect(const std::string& source, std::string* error);

    // The search of deleted files; replaces the list.
    End Search(const std::string& source, const Progress& p,
               const std::function<void(const FoundRow&)>& onFound);
    // The slack enumeration of a mounted folder; replaces the list.
    End ScanSlacks(const std::string& mountPoint, const Progress& p,
                   const std::function<void(const FoundRow&)>& onFound);
    bool Ntfs() const;
    bool SlackMode() const { return slackMode_; }

    // Recovers the listed deleted files at `locations` into `folder`.
    End Recover(const std::vector<uint64_t>& locations, const std::string& folder,
                const Progress& p);
    // Wipes the traces of the listed deleted files at `locations` (raw writes, through
    // the platform's raw-write gate). With `verify` every overwritten cluster is read
    // back and the volume searched again (none of the wiped files may still be listed);
    // with `receiptLogFolder` set a receipt of the run goes into its receipts folder.
    struct WipeOptions {
        int passes = 1;
        bool verify = false;
        std::string receiptLogFolder;
    };
    End Wipe(const std::vector<uint64_t>& locations, const WipeOptions& o, const Progress& p);

    // The viewer: the clusters of an item (deleted file: its clusters; slack: its last
    // cluster), and one cluster's bytes.
    struct ClusterRef {
        uint64_t number = 0;
        bool inUse = false;
    };
    std::vector<ClusterRef> Clusters(const FoundRow& row, std::string* error);
    bool ReadCluster(const FoundRow& row, uint64_t cluster, std::vector<uint8_t>* out,
                     std::string* error);
    // The item's data as far as its clusters hold it, at most `limit` bytes.
    bool ReadData(const FoundRow& row, uint64_t limit, std::vector<uint8_t>* out,
                  std::string* error);

  private:
    struct Impl;
    std::unique_ptr<Impl> d_;
    bool slackMode_ = false;
};

}  // namespace tw::volume::ui
