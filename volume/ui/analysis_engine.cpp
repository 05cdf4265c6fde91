// SPDX-License-Identifier: GPL-3.0-or-later
#include "volume/ui/analysis_engine.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/error.h"
#include "platform/operation.h"
#include "volume/session.h"
#include "volume/trace_receipt.h"
#include "wipe/slack_scan.h"

namespace tw::volume::ui {
namespace {

std::string DeletedDetails(const RecoverableFile& f) {
    std::string t =
        "RIGHT CLICK TO VIEW THIS FILE\n\nRecoverable file details\n" + std::string(37, '-') + "\n";
    t += "File name: " + f.name + "\n";
    t += "File length: " + wipe::DetailSizeText(f.size) + "\n";
    t += "Created Time: " + wipe::DetailTimeText(f.created) + "\n";
    t += "Modified Time: " + wipe::DetailTimeText(f.modified) + "\n";
    t += "Attributes: " + f.attributes + "\n";
    t += std::string("Compressed: ") +
         (f.attributes.size() > 1 && f.attributes[1] == 'c' ? "Yes" : "No") + "\n";
    if (f.fs == FileSystemKind::Ntfs) {
        t += "MFT Record at sector: " + std::to_string(f.location);
        if (!f.details.empty()) t += "\n" + f.details;
    } else {
        t += "File starts at cluster: " + std::to_string(f.location) + "\n";
        t += "Directory Record Starts at Cluster: " + std::to_string(f.directoryCluster);
    }
    while (!t.empty() && t.back() == '\n') t.pop_back();
    return t;
}

FoundRow RowOf(const RecoverableFile& f) {
    FoundRow r;
    r.name = f.name;
    r.ext = ExtensionOf(f.name);
    r.folder = f.folder;
    r.size = f.size;
    r.recoverability = f.recoverability;
    r.location = f.location;
    r.details = DeletedDetails(f);
    return r;
}

}  // namespace

std::string ExtensionOf(const std::string& name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) return {};
    return name.substr(dot + 1);
}

std::string FilteredAscii(const std::vector<uint8_t>& bytes) {
    std::string s;
    s.reserve(bytes.size());
    for (uint8_t b : bytes) s += (b == '\n' || (b >= 0x20 && b < 0x7f)) ? char(b) : '.';
    return s;
}

struct AnalysisEngine::Impl {
    std::unique_ptr<CVolumeSession> session;
    std::string source;
    std::vector<wipe::SlackItem> slacks;
    std::string slackSource;  // the raw source of the slack view, "" when unknown
};

AnalysisEngine::AnalysisEngine() : d_(std::make_unique<Impl>()) {}
AnalysisEngine::~AnalysisEngine() = default;

bool AnalysisEngine::Ntfs() const {
    return d_->session && d_->session->Fs() == FileSystemKind::Ntfs;
}

std::string AnalysisEngine::Detect(const std::string& source, std::string* error) {
    CVolumeSession s;
    SessionStatus st = s.Resolve(source);
    if (st.IsOk()) st = s.DetectFileSystem();
    if (!st.IsOk()) {
        if (error) *error = st.lines.empty() ? std::string() : st.lines.front();
        return {};
    }
    return s.Fs() == FileSystemKind::Ntfs ? "NTFS" : "FAT32";
}

AnalysisEngine::End AnalysisEngine::Search(const std::string& source, const Progress& p,
                                           const std::function<void(const FoundRow&)>& onFound) {
    const OpContext& op = *p.op;
    slackMode_ = false;
    d_->slacks.clear();
    d_->session = std::make_unique<CVolumeSession>();
    d_->source = source;
    End end;
    end.device = source;
    SessionStatus st = d_->session->Resolve(source);
    if (!st.IsOk()) {
        end.message = st.lines.empty() ? std::string() : st.lines.front();
        return end;
    }
    end.device = d_->session->Source().raw;
    SessionSearchOptions so;
    so.details = true;
    so.onFound = [&](const RecoverableFile& f) {
        if (onFound) onFound(RowOf(f));
    };
    const SearchReport rep = d_->session->Search(op, so);
    end.message = rep.message;
    if (rep.error) end.message += (end.message.empty() ? "" : ": ") + ErrorText(*rep.error);
    end.stopped = rep.end == SearchEnd::Aborted;
    end.ok = rep.end == SearchEnd::Completed || end.stopped;
    if (end.ok) {
        const SessionStatus opened = d_->session->OpenForAccess(RawAccess::ReadOnly);
        if (!opened.IsOk() && !opened.lines.empty()) end.message = opened.lines.front();
        end.ok = opened.IsOk();
    }
    return end;
}

AnalysisEngine::End AnalysisEngine::ScanSlacks(
    const std::string& mountPoint, const Progress& p,
    const std::function<void(const FoundRow&)>& onFound) {
    const OpContext& op = *p.op;
    slackMode_ = true;
    d_->session.reset();
    d_->slacks.clear();
    wipe::CSlackScanner scanner;
    size_t index = 0;
    scanner.onFound = [&](const wipe::SlackItem& s) {
        FoundRow r;
        r.slack = true;
        r.name = s.name;
        r.ext = ExtensionOf(s.name);
        r.folder = s.folder;
        r.size = s.sizeBytes;
        r.slackBytes = s.slackBytes;
        r.location = index++;
        r.path = s.path;
        r.details = wipe::SlackDetailsText(s, AttributeText(s.attributeBits));
        if (onFound) onFound(r);
    };
    const wipe::SlackScanReport rep = scanner.Scan(op, mountPoint, mountPoint);
    d_->slacks = scanner.found();
    End end;
    end.message = rep.message;
    end.stopped = rep.end == wipe::SlackScanEnd::Aborted;
    end.ok = rep.end != wipe::SlackScanEnd::Failed;
    return end;
}

namespace {
std::vector<const RecoverableFile*> Pick(const CVolumeSession& s,
                                         const std::vector<uint64_t>& locations) {
    std::vector<const RecoverableFile*> items;
    for (uint64_t l : locations)
        if (const RecoverableFile* f = s.FindFound(l)) items.push_back(f);
    return items;
}
}  // namespace

AnalysisEngine::End AnalysisEngine::Recover(const std::vector<uint64_t>& locations,
                                            const std::string& folderPath, const Progress& p) {
    End end;
    if (!d_->session || slackMode_) return end;
    const OpContext& op = *p.op;
    CVolumeSession& s = *d_->session;
    RecoveryFolder folder;
    const FolderCheck check = folder.Open(folderPath, s.Source().raw);
    if (check != FolderCheck::Ok) {
        end.message = FolderCheckText(check);
        if (check == FolderCheck::NotAccessible) end.message += " (" + folder.ProblemText() + ")";
        return end;
    }
    const std::vector<const RecoverableFile*> items = Pick(s, locations);
    const RecoveryRunResult r =
        s.Recover(op, items, folder, false, [&](const RecoverableFile& f, const RecoverResult& rr) {
            if (!p.line) return;
            if (rr.outcome == Outcome::Ok)
                p.line("Recovered " + TraceItemText(f) + " to " + folder.PathOf(rr.fileName));
            else
                p.line("Could not recover " + TraceItemText(f) +
                       (rr.error.empty() ? std::string() : ": " + rr.error));
        });
    end.stopped = r.stopped;
    end.ok = r.failed == 0;
    end.message = "Recovered " + std::to_string(r.recovered) + " of " +
                  std::to_string(items.size()) + (items.size() == 1 ? " file" : " files") + " to " +
                  folder.Path();
    return end;
}

AnalysisEngine::End AnalysisEngine::Wipe(const std::vector<uint64_t>& locations,
                                         const WipeOptions& o, const Progress& p) {
    End end;
    if (!d_->session || slackMode_) return end;
    const OpContext& op = *p.op;
    CVolumeSession& s = *d_->session;
    end.device = s.Source().raw;
    const SessionStatus opened = s.OpenForAccess(RawAccess::Write);
    if (!opened.IsOk()) {
        end.message = opened.lines.empty() ? std::string() : opened.lines.front();
        s.OpenForAccess(RawAccess::ReadOnly);
        return end;
    }
    const std::vector<const RecoverableFile*> items = Pick(s, locations);
    wipe::Receipt receipt = VolumeReceipt("wipe-traces", s.Source().raw, s);
    receipt.passes = o.passes;
    receipt.verifyRequested = o.verify;
    s.verifyLastPass = o.verify;
    std::vector<RecoverableFile> wiped;  // what a fresh search must not list
    const TraceRunResult r =
        s.WipeTraces(op, items, o.passes, [&](const RecoverableFile& f, const TraceWipeResult& tr) {
            AddTraceToReceipt(f, tr, receipt);
            if (tr.outcome == Outcome::Ok) wiped.push_back(f);
            if (p.line)
                p.line((tr.outcome == Outcome::Ok ? "Wiped " : "Could not wipe ") +
                       TraceItemText(f) +
                       (tr.readBack ? " (" + ErrorText(*tr.readBack) + ")" : std::string()));
        });
    s.verifyLastPass = false;
    s.OpenForAccess(RawAccess::ReadOnly);
    end.stopped = r.stopped;
    end.ok = r.failed == 0;
    end.message = "Wiped " + std::to_string(r.wiped) + " of " + std::to_string(items.size()) +
                  (items.size() == 1 ? " file" : " files");
    if (o.verify && !r.stopped && !wiped.empty()) {
        if (std::string found = CheckNoneFoundAgain(op, s, wiped, receipt); !found.empty()) {
            end.ok = false;
            end.message += ": " + found;
        } else {
            // Every cluster read back, nothing found again.
            wipe::ConcludeReadBack(receipt, r.failed == 0);
        }
    }
    if (!o.receiptLogFolder.empty() && !items.empty()) {
        receipt.outcome = r.stopped ? "stopped" : r.failed > 0 ? "failed" : "completed";
        if (const std::string problem = wipe::KeepReceipt(receipt, o.receiptLogFolder);
            !problem.empty()) {
            end.ok = false;
            end.message += ". " + problem;
        }
    }
    return end;
}

std::vector<AnalysisEngine::ClusterRef> AnalysisEngine::Clusters(const FoundRow& row,
                                                                 std::string* error) {
    std::vector<ClusterRef> out;
    if (row.slack) {
        if (row.location < d_->slacks.size()) {
            const wipe::SlackItem& s = d_->slacks[row.location];
            if (s.lastClusterKnown)
                out.push_back({s.lastCluster, true});
            else if (error)
                *error = wipe::SlackViewDeniedText();
        }
        return out;
    }
    if (!d_->session) return out;
    const RecoverableFile* f = d_->session->FindFound(row.location);
    if (!f) return out;
    if (f->resident) {
        if (error) *error = "The data of this file is kept inside its file record.";
        return out;
    }
    const OpContext& op = IdleOperation();
    bool stopped = false;
    for (const ItemCluster& c : d_->session->ItemClusters(op, *f, &stopped))
        out.push_back({c.cluster, c.inUse});
    return out;
}

bool AnalysisEngine::ReadCluster(const FoundRow& row, uint64_t cluster, std::vector<uint8_t>* out,
                                 std::string* error) {
    if (row.slack) {
        if (row.location >= d_->slacks.size()) return false;
        auto src = wipe::SlackViewSource(d_->slacks[row.location].path);
        if (!src) {
            if (error) *error = wipe::SlackViewDeniedText();
            return false;
        }
        CRawDriveRef drive;
        if (!drive.Open(*src)) {
            if (error) *error = wipe::SlackViewDeniedText();
            return false;
        }
        auto bytes = wipe::ReadFileSlack(
            d_->slacks[row.location].path,
            [&](uint64_t sector, void* buf, uint32_t n) { return drive.Read(sector, buf, n); });
        if (!bytes) {
            if (error) *error = ErrorText(bytes.error());
            return false;
        }
        *out = bytes->cluster;
        (void)cluster;
        return true;
    }
    if (!d_->session) return false;
    if (!d_->session->ReadCluster(cluster, out)) {
        if (error) *error = "The cluster " + std::to_string(cluster) + " cannot be read.";
        return false;
    }
    return true;
}

bool AnalysisEngine::ReadData(const FoundRow& row, uint64_t limit, std::vector<uint8_t>* out,
                              std::string* error) {
    out->clear();
    if (row.slack) {
        std::vector<uint8_t> bytes;
        for (const ClusterRef& c : Clusters(row, error))
            if (!ReadCluster(row, c.number, &bytes, error)) return false;
        out->swap(bytes);
        return !out->empty();
    }
    if (!d_->session) return false;
    const RecoverableFile* f = d_->session->FindFound(row.location);
    if (!f) return false;
    // The recovery itself reads the item (resident data, runs or the FAT32 chain, each
    // as a recovery would write it) into a private folder that is removed right away.
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/tidewipe-view-XXXXXX";
    if (!::mkdtemp(dir.data())) {
        if (error) *error = "Cannot make a temporary folder: " + std::string(std::strerror(errno));
        return false;
    }
    bool ok = false;
    {
        RecoveryFolder folder;
        if (folder.Open(dir, d_->session->Source().raw) == FolderCheck::Ok) {
            const OpContext& op = IdleOperation();
            std::string name;
            d_->session->Recover(op, {f}, folder, false,
                                 [&](const RecoverableFile&, const RecoverResult& r) {
                                     if (r.outcome == Outcome::Ok)
                                         name = r.fileName;
                                     else if (error)
                                         *error = r.error;
                                 });
            if (!name.empty()) {
                const int fd = ::openat(folder.Fd(), name.c_str(), O_RDONLY | O_NOFOLLOW);
                if (fd >= 0) {
                    out->resize(static_cast<size_t>(std::min<uint64_t>(f->size, limit)));
                    size_t done = 0;
                    while (done < out->size()) {
                        const ssize_t n = ::read(fd, out->data() + done, out->size() - done);
                        if (n <= 0) break;
                        done += static_cast<size_t>(n);
                    }
                    out->resize(done);
                    ::close(fd);
                    ok = done > 0;
                }
                ::unlinkat(folder.Fd(), name.c_str(), 0);
            }
        }
    }
    ::rmdir(dir.c_str());
    return ok;
}

}  // namespace tw::volume::ui
