// SPDX-License-Identifier: GPL-3.0-or-later
// NTFS on-disk structures: the boot sector, file records with their update sequence,
// attributes, data runs and the cluster bitmap, and the scrubbing of a deleted record.
//
// Everything is parsed from bytes with little-endian readers; every offset, length and
// count read from the volume is checked against the buffer it points into before use.
// All addresses handed to CRawDriveRef are 512-byte sectors (`Lba` below), whatever
// the volume's own sector size is.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/filetime.h"
#include "platform/operation.h"
#include "volume/raw_drive.h"

namespace tw::volume {

using Lba = uint64_t;              // 512-byte sector of the volume
using ClusterIndex = uint64_t;     // logical cluster number
using MftRecordNumber = uint64_t;  // index of a record in the $MFT

// Attribute types the search reads; others are stepped over.
inline constexpr uint32_t kAttrStandardInformation = 0x10;
inline constexpr uint32_t kAttrAttributeList = 0x20;
inline constexpr uint32_t kAttrFileName = 0x30;
inline constexpr uint32_t kAttrData = 0x80;
inline constexpr uint32_t kAttrEnd = 0xFFFFFFFF;

// Record flags (file record header offset 0x16).
inline constexpr uint16_t kRecordInUse = 0x0001;
inline constexpr uint16_t kRecordDirectory = 0x0002;

// $FILE_NAME namespaces (value offset 0x41).
inline constexpr uint8_t kNamespacePosix = 0;
inline constexpr uint8_t kNamespaceWin32 = 1;
inline constexpr uint8_t kNamespaceDos = 2;
inline constexpr uint8_t kNamespaceWin32AndDos = 3;

// The first records of the $MFT belong to the file system itself and are never
// examined by the search.
inline constexpr MftRecordNumber kSystemRecords = 23;
inline constexpr MftRecordNumber kMftRecord = 0;
inline constexpr MftRecordNumber kBitmapRecord = 6;

// The update sequence protects every 512-byte block of a record, whatever the
// volume's sector size.
inline constexpr uint32_t kUsaStride = 512;

// ---- Boot sector ----

// Filled from sector 0 of the volume.
struct NtfsBootInfo {
    uint32_t bytesPerSector = 0;     // 0x0B, 16-bit: 256..4096, a power of two
    uint32_t sectorsPerCluster = 0;  // 0x0D, 8-bit (values above 0x80: 2^-(int8) sectors)
    uint32_t bytesPerCluster = 0;    // bytesPerSector x sectorsPerCluster
    uint64_t totalSectors = 0;       // 0x28, 64-bit, in volume sectors
    uint64_t mftCluster = 0;         // 0x30, 64-bit LCN of the $MFT
    uint32_t recordSize = 0;         // from 0x40 (signed clusters-per-record byte)
    uint32_t sectorsPerRecord = 0;   // recordSize / 512
    Lba mftStartSector = 0;          // mftCluster x bytesPerCluster / 512
    Lba systemEndSector = 0;         // start of record 23 when the $MFT is read from its start
    uint64_t totalClusters = 0;      // totalSectors x bytesPerSector / bytesPerCluster
};

// Parses and checks the 512 bytes of sector 0. False when the OEM id at offset 3 is not
// "NTFS" or a field is out of range (sector size, cluster size, record size between 512
// and 64 KiB, a volume larger than `volumeBytes` (an image cut short), the $MFT's first
// records or its mirror (0x38) outside the volume); *why (when given) is then a Corrupt
// error with the field's offset in the sector and its value as detail. `volumeBytes` 0
// skips the checks against the image's size.
bool ParseNtfsBootSector(std::span<const uint8_t> sector, uint64_t volumeBytes, NtfsBootInfo* out,
                         tw::Error* why = nullptr);
// Reads sector 0 through the drive and parses it against the drive's size; a failed read
// gives the drive's error.
bool ReadNtfsBootInfo(CRawDriveRef& drive, NtfsBootInfo* out, tw::Error* why = nullptr);

// ---- File record header ----

struct FileRecordHeader {
    uint32_t signature = 0;        // 0x00 "FILE"
    uint16_t usaOffset = 0;        // 0x04 update sequence array offset
    uint16_t usaCount = 0;         // 0x06 entries, the first being the sequence number
    uint16_t sequence = 0;         // 0x10
    uint16_t linkCount = 0;        // 0x12
    uint16_t firstAttribute = 0;   // 0x14
    uint16_t flags = 0;            // 0x16 kRecordInUse, kRecordDirectory
    uint32_t bytesInUse = 0;       // 0x18
    uint32_t bytesAllocated = 0;   // 0x1C
    uint64_t baseRecord = 0;       // 0x20, 48-bit record number
    uint16_t baseSequence = 0;     // 0x26
    uint16_t nextAttributeId = 0;  // 0x28
};
inline constexpr uint32_t kFileSignature = 0x454C4946;  // "FILE"
inline constexpr uint32_t kRecordHeaderBytes = 0x2A;    // what scrubbing rewrites

// False when the buffer is shorter than the header.
bool ParseRecordHeader(std::span<const uint8_t> record, FileRecordHeader* out);

// Checks and applies the update sequence of a record in place: the last two bytes of
// every 512-byte block must equal the update sequence number, and are then replaced by
// the saved bytes from the array. The array must have recordSize/512 + 1 entries and
// lie inside the first block. False (record unchanged) on any mismatch.
bool ApplyFixup(std::span<uint8_t> record, uint16_t usaOffset, uint16_t usaCount);

// ---- Attributes ----

struct AttributeHeader {
    uint32_t type = 0;           // 0x00, kAttrEnd ends the list
    uint32_t length = 0;         // 0x04 total length
    uint8_t nonResident = 0;     // 0x08
    uint8_t nameLength = 0;      // 0x09 UTF-16 units
    uint16_t nameOffset = 0;     // 0x0A
    uint32_t valueLength = 0;    // 0x10 resident
    uint16_t valueOffset = 0;    // 0x14 resident
    uint64_t firstVcn = 0;       // 0x10 non-resident
    uint64_t lastVcn = 0;        // 0x18 non-resident
    uint16_t runListOffset = 0;  // 0x20 non-resident
    uint64_t allocatedSize = 0;  // 0x28 non-resident
    uint64_t realSize = 0;       // 0x30 non-resident
    std::u16string name;         // the attribute's name, empty when unnamed
};

// One attribute found in a record: its header and where it lies in the record.
struct AttributeRef {
    AttributeHeader header;
    uint32_t offset = 0;  // of the attribute in the record
    // Resident value, or the run list bytes of a non-resident attribute; always inside
    // the attribute and the record.
    std::span<const uint8_t> value;
};

// Walks the attributes of a (fixed-up) record in order, checking every header against
// the record and bytes in use. Stops at kAttrEnd, a zero length or at most 512
// attributes. False when a header runs outside the record (the walk up to it is kept).
bool ListAttributes(std::span<const uint8_t> record, std::vector<AttributeRef>* out);

struct StandardInformationValue {
    FileTime created = 0;     // 0x00
    FileTime modified = 0;    // 0x08
    uint32_t attributes = 0;  // 0x20 file attribute bits
};
bool ParseStandardInformation(std::span<const uint8_t> value, StandardInformationValue* out);

struct FileNameValue {
    MftRecordNumber parentRecord = 0;  // 0x00, 48-bit
    uint16_t parentSequence = 0;       // 0x06
    uint8_t nameLength = 0;            // 0x40 UTF-16 units
    uint8_t nameSpace = 0;             // 0x41
    std::u16string name;               // 0x42
};
bool ParseFileName(std::span<const uint8_t> value, FileNameValue* out);

struct AttributeListEntry {
    uint32_t type = 0;           // 0x00
    uint16_t length = 0;         // 0x04 entry length
    uint8_t nameLength = 0;      // 0x06
    uint64_t lowestVcn = 0;      // 0x08
    MftRecordNumber record = 0;  // 0x10, 48-bit
    uint16_t sequence = 0;       // 0x16
};
inline constexpr uint32_t kAttributeListEntryMin = 26;
// Parses every entry of an attribute list value; stops at an entry that does not fit.
std::vector<AttributeListEntry> ParseAttributeList(std::span<const uint8_t> value);

// UTF-16LE (as read from the volume) to UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(const std::u16string& s);

// ---- Data runs ----

// One decoded extent.
struct DataRun {
    ClusterIndex lcn = 0;       // first logical cluster (meaningless when sparse)
    uint64_t clusterCount = 0;  // length in clusters
    Lba recordKey = 0;          // sector of the file record that owns the run
    uint32_t index = 0;         // position in its run list
    std::string name;           // the attribute's name (UTF-8), empty when unnamed
    uint64_t realSize = 0;      // real size of the attribute the run belongs to
    bool sparse = false;        // a hole: no clusters on the volume
};

// Decodes a run list (the bytes from the attribute's run-list offset to its end) and
// appends the runs. A run that would start below cluster 0 or end past
// `totalClusters` (0: unchecked), a field running past the bytes, or more than 65536
// runs make the list corrupt: decoding stops and *corrupt is set. Returns the clusters
// that lie on the volume (sparse runs excluded).
uint64_t DecodeDataRuns(std::span<const uint8_t> runList, Lba recordKey, const std::string& name,
                        uint64_t realSize, uint64_t totalClusters, std::vector<DataRun>* runs,
                        bool* corrupt);

// The run summary shown in the details text:
// "Number Of Data Runs: n\nClusters Occupied: total\n---...---\n" + "{a - b} " / "a ".
std::string DataRunSummary(const std::vector<DataRun>& runs);

// Every byte equals the first (an empty buffer is not uniform).
bool IsUniformSector(std::span<const uint8_t> buffer);

// Rewrites a deleted record in place so that no trace of its attributes is left and it
// still passes the fix-up: the header is reset (flags 0, bytes in use 42, allocated =
// recordSize, no attributes, base reference cleared with its sequence advanced), every
// byte from 0x2A on is 0xFF and a new update sequence number is stamped. Only a record
// with the "FILE" signature and neither in-use nor directory flag is changed; returns
// whether it was. `folder`: a deleted folder's record (directory flag set, in-use flag
// cleared) is scrubbed as well, and only such a record.
bool ScrubDeletedRecord(std::span<uint8_t> record, bool folder = false);

// The scrub guard: whether a write to the `sectorCount` sectors from `first` must be
// left out. It must when any of them is sector 0 (the boot sector), lies among the
// system records (from mftStartSector up to systemEndSector) or at or below
// `protectedStart`. Record scrubbing and trace wiping both obey it.
bool ScrubGuardProtects(const NtfsBootInfo& boot, Lba first, uint64_t sectorCount,
                        Lba protectedStart);

// ---- The volume as the search sees it ----

// How a record parse ended.
enum class RecordOutcome {
    NotAFileRecord,  // no buffer, or signature not "FILE"
    RecordRejected,  // bytes in use 0, sequence mismatch, skipped, nothing wanted found,
                     // or an extension record read on its own
    RecordCorrupt,   // update sequence mismatch, damaged attributes/runs, or uniform first sector
    DirectoryAccepted,  // a directory record read for its name
    RecordInUse,
    DeletedEmpty,  // deleted, but no data or no clusters
    DeletedFound,
};

// The options and outputs of one record parse.
struct FileRecordRequest {
    std::span<const uint8_t> record;  // recordSize bytes as read from the volume
    Lba recordSector = 0;             // key given to the record's runs
    bool includeInUse = false;        // accept in-use records (the slack search)
    bool wantDetails = false;         // fill `details`
    bool wantFolder = true;           // look up the parent's name (wantedType 0 only)
    // Leave the uniform-first-sector test to the caller (who batches those reads):
    // the parse then ends DeletedFound with `firstDataSector` set.
    bool deferUniformCheck = false;

    // Outputs.
    std::string fileName;    // UTF-8; a later qualifying name replaces an earlier one
    std::string folderName;  // the parent directory's name, "" when not found
    uint32_t attributeBits = 0;
    std::string attributeText;
    FileTime created = 0, modified = 0;
    // The file's content is its unnamed $DATA stream: size, residence, runs and cluster
    // total come from it alone. Named streams (a browser's "Zone.Identifier", say) are
    // not the file; the runs of the non-resident ones are kept apart in streamRuns
    // (DataRun::name set) so that wiping a file's traces can reach them too.
    uint64_t dataSize = 0;
    bool resident = false;
    std::vector<DataRun> runs;
    std::vector<DataRun> streamRuns;
    uint64_t clusterTotal = 0;  // clusters on the volume (sparse runs excluded)
    std::string details;        // run summary when wantDetails
    uint16_t flags = 0;
    uint16_t sequence = 0;
    MftRecordNumber parentRecord = 0;  // of the last qualifying $FILE_NAME
    uint16_t parentSequence = 0;
    Lba firstDataSector = 0;  // first sector of the first run on the volume; 0 when none

    // Sets every output back to its initial value, keeping the storage of the strings
    // and run lists for the next record (an output added above is cleared here too).
    void ClearOutputs();
};

// An opened NTFS volume: boot information, the $MFT and $Bitmap run lists, the bitmap
// read once into memory, and the runs of the deleted files the search found (kept for
// recovery and trace wiping). The drive must stay open while the object is used.
class NtfsVolume {
  public:
    explicit NtfsVolume(CRawDriveRef& drive) : drive_(drive) {}

    // Reads the boot sector, records 6 ($Bitmap) and 0 ($MFT) and the bitmap. False
    // when the boot sector is damaged, a name does not match, the $MFT is empty or the
    // bitmap cannot be read; Failure() says which (the damaged boot field, say; empty
    // after a success).
    bool Load();
    const std::optional<tw::Error>& Failure() const { return error_; }

    const NtfsBootInfo& Boot() const { return boot_; }
    const std::vector<DataRun>& MftRuns() const { return mftRuns_; }
    const std::vector<DataRun>& BitmapRuns() const { return bitmapRuns_; }
    // Records the $MFT's allocated clusters hold.
    uint64_t RecordCount() const { return recordCount_; }

    // Sector of record n; 0 when n lies beyond the $MFT runs.
    Lba RecordToSector(MftRecordNumber n) const;
    // The inverse: the record that starts at `sector` (a search result's location).
    // False when no record starts there.
    bool SectorToRecord(Lba sector, MftRecordNumber* n) const;
    // Reads record n (recordSize bytes, following the runs when a record spans two).
    bool ReadRecord(MftRecordNumber n, std::vector<uint8_t>* out);
    // Reads `count` consecutive records from record `first` into out (recordSize x
    // count bytes), in as few large reads as the runs allow.
    bool ReadRecords(MftRecordNumber first, uint64_t count, std::vector<uint8_t>* out);
    // Writes record n back where it lies (recordSize bytes); the drive must be open for
    // writing.
    bool WriteRecord(MftRecordNumber n, std::span<const uint8_t> record);
    // Whether cluster c is allocated now. Clusters the bitmap does not cover count as in
    // use.
    bool IsClusterInUse(ClusterIndex c) const;
    // Reads `byteCount` bytes of a non-resident stream given by its runs (sparse runs
    // read as zeros). False on a read failure or a run outside the volume.
    bool ReadRuns(const std::vector<DataRun>& runs, uint64_t byteCount, std::vector<uint8_t>* out);

    // Parses one record. wantedType 0 walks every used attribute type, follows the
    // attribute list and looks up the folder; a non-zero type takes only attributes of
    // that type. skipFixup: the caller already applied the fix-up. acceptDirectory: a
    // directory record gives DirectoryAccepted. expectedSequence 0: no check; else the
    // record's sequence must equal it, or be one higher (record reused once), or be 0
    // when it is 0xFFFF.
    RecordOutcome ParseFileRecord(FileRecordRequest& req, uint32_t wantedType, bool skipFixup,
                                  bool acceptDirectory, uint16_t expectedSequence);

    // The runs of a deleted file the search found, by its record sector and the
    // record's sequence number then: the unnamed stream's first, then those of named
    // streams (DataRun::name not empty). The search keeps none; they are read from the
    // record when first asked for (the drive must be open) and kept in FileRuns().
    // Null when the record no longer holds that deleted file, or it has no runs.
    const std::vector<DataRun>* FileRunsOf(Lba recordSector, uint16_t sequence);
    // The runs read so far, by record sector.
    std::map<Lba, std::vector<DataRun>>& FileRuns() { return fileRuns_; }
    // What a folder lookup needs of a record, cached by record number (the search
    // fills the cache as it meets directories in the $MFT).
    struct DirectoryFacts {
        bool isFile = false;    // "FILE" signature
        bool hasBytes = false;  // bytes in use not 0
        bool fixupOk = false;
        uint16_t flags = 0;
        uint16_t sequence = 0;
        bool hasFileName = false;  // a $FILE_NAME was found (any namespace)
        bool skipped = false;      // named "pagefile.sys"
        std::string name;          // last name in namespace 0, 1 or 3
    };
    // The folder name a parent reference resolves to: the directory's name when the
    // record is a directory with a matching sequence, else "".
    static std::string FolderName(const DirectoryFacts& facts, uint16_t expectedSequence);
    void RememberDirectory(MftRecordNumber n, DirectoryFacts facts) {
        dirCache_[n] = std::move(facts);
    }
    // Reads and repairs record n for its name; cached.
    const DirectoryFacts& DirectoryOf(MftRecordNumber n);
    // The name facts of a record already read and fixed up.
    static DirectoryFacts FactsOf(std::span<const uint8_t> fixedRecord);

    CRawDriveRef& Drive() { return drive_; }

  private:
    struct ParseState;
    RecordOutcome ParseRecordImpl(FileRecordRequest& req, std::span<uint8_t> rec,
                                  uint32_t wantedType, bool skipFixup, bool acceptDirectory,
                                  uint16_t expectedSequence, ParseState& state, int depth);
    bool ReadBytes(uint64_t byteOffset, uint8_t* buffer, uint32_t byteCount);
    // Moves records [first, first + count) between the $MFT and `data`, run by run.
    bool TransferRecords(MftRecordNumber first, uint64_t count, uint8_t* data, bool write);
    // The errno behind the drive's last failure, 0 when it gave none.
    int DriveErrno() const;
    bool LoadMetadataRecord(MftRecordNumber n, const char* name, std::vector<DataRun>* runs,
                            uint64_t* size);
    void IndexMftRuns();

    CRawDriveRef& drive_;
    NtfsBootInfo boot_;
    std::vector<DataRun> mftRuns_;
    std::vector<uint64_t> mftRunStartBytes_;  // byte offset in the $MFT where each run starts
    uint64_t mftBytes_ = 0;
    std::vector<DataRun> bitmapRuns_;
    std::vector<uint8_t> bitmap_;
    uint64_t recordCount_ = 0;
    std::optional<tw::Error> error_;
    std::map<Lba, std::vector<DataRun>> fileRuns_;
    std::unordered_map<MftRecordNumber, DirectoryFacts> dirCache_;
    // Kept from one ParseFileRecord to the next (see there).
    std::vector<uint8_t> parseCopy_;
    std::vector<AttributeRef> attrScratch_;
    std::string nameScratch_;
};

}  // namespace tw::volume
