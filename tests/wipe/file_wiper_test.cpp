// SPDX-License-Identifier: GPL-3.0-or-later
// The pass table, the random source and the three file wipers, checked against the
// writes that actually reach the kernel: this program replaces pwrite with a recorder
// that keeps every write's offset, size and bytes before passing it on.
#include "wipe/file_wiper.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/passes.h"
#include "tests/common/recording_sink.h"
#include "tests/common/scratch_volume.h"

namespace fs = std::filesystem;

// ---------------------------------------------------------------- write recorder

namespace {

struct WriteRecord {
    uint64_t offset = 0;
    uint64_t size = 0;
    int uniform = -1;           // the byte every byte equals, or -1
    std::vector<uint8_t> head;  // the first bytes (up to 64 KiB)
};

std::mutex g_mu;
std::vector<WriteRecord> g_writes;
std::atomic<bool> g_recording{false};
std::atomic<bool> g_swallow{false};  // record without writing (huge sparse files)
// Bytes the "disk" still takes before writes fail with ENOSPC; -1: no limit.
std::atomic<int64_t> g_writeBudget{-1};
// A write that is lost on its way to the disk while reported done: the first one at
// this offset whose first byte is g_dropByte; -1: none.
std::atomic<int64_t> g_dropAt{-1};
std::atomic<int> g_dropByte{-1};

ssize_t RecordAndWrite(int fd, const void* buf, size_t n, off_t off) {
    if (g_dropAt.load() == off && n > 0 && static_cast<const uint8_t*>(buf)[0] == g_dropByte) {
        g_dropAt = -1;
        return static_cast<ssize_t>(n);
    }
    if (g_writeBudget.load() >= 0) {
        if (static_cast<int64_t>(n) > g_writeBudget.load()) {
            errno = ENOSPC;
            return -1;
        }
        g_writeBudget -= static_cast<int64_t>(n);
    }
    if (g_recording.load()) {
        WriteRecord r;
        r.offset = static_cast<uint64_t>(off);
        r.size = n;
        const auto* p = static_cast<const uint8_t*>(buf);
        if (n > 0) {
            r.uniform = p[0];
            // Swallowed writes are huge and come from one pass buffer: their head tells.
            const size_t check = g_swallow.load() ? std::min<size_t>(n, 64 * 1024) : n;
            for (size_t i = 1; i < check; ++i)
                if (p[i] != p[0]) {
                    r.uniform = -1;
                    break;
                }
        }
        r.head.assign(p, p + std::min<size_t>(n, 64 * 1024));
        std::lock_guard<std::mutex> lock(g_mu);
        g_writes.push_back(std::move(r));
        if (g_swallow.load()) return static_cast<ssize_t>(n);
    }
    return syscall(SYS_pwrite64, fd, buf, n, off);
}

}  // namespace

extern "C" ssize_t pwrite(int fd, const void* buf, size_t n, off_t off) {
    return RecordAndWrite(fd, buf, n, off);
}
extern "C" ssize_t pwrite64(int fd, const void* buf, size_t n, off64_t off) {
    return RecordAndWrite(fd, buf, n, off);
}

// The queued writes' submissions, one of which can be made to fail: the g_failSubmit-th
// from when it is set; 0: none.
std::atomic<int> g_failSubmit{0};
#ifdef TW_HAVE_URING
extern "C" int io_uring_submit(struct io_uring* ring) {
    static const auto real =
        reinterpret_cast<int (*)(struct io_uring*)>(dlsym(RTLD_NEXT, "io_uring_submit"));
    if (g_failSubmit.load() > 0 && --g_failSubmit == 0) return -EBUSY;
    return real(ring);
}
#endif

namespace {

using tw::test::RecordingSink;
using tw::wipe::CProgressFileWiper;
using tw::wipe::CRecycleFileWiper;
using tw::wipe::CSecureFileWiper;

// One pass as the disk saw it: the writes from offset 0 up to the next write at 0.
struct Pass {
    std::vector<WriteRecord> writes;
    uint64_t Bytes() const {
        uint64_t b = 0;
        for (const auto& w : writes) b += w.size;
        return b;
    }
    // The byte value of the whole pass, or -1 when it is not one value throughout.
    int Uniform() const {
        if (writes.empty()) return -1;
        int v = writes[0].uniform;
        for (const auto& w : writes)
            if (w.uniform != v) return -1;
        return v;
    }
};

class Recorder {
  public:
    // Queued (io_uring) writes do not pass through pwrite: recorded runs write one
    // request at a time. The queued path is checked on the disk's content instead.
    Recorder() {
        std::lock_guard<std::mutex> lock(g_mu);
        g_writes.clear();
        g_recording = true;
        setenv("TIDEWIPE_NO_IO_URING", "1", 1);
    }
    ~Recorder() {
        g_recording = false;
        g_swallow = false;
        g_writeBudget = -1;
        g_dropAt = -1;
        unsetenv("TIDEWIPE_NO_IO_URING");
    }
    std::vector<Pass> Passes() const {
        std::lock_guard<std::mutex> lock(g_mu);
        std::vector<Pass> passes;
        for (const auto& w : g_writes) {
            if (w.offset == 0 || passes.empty()) passes.emplace_back();
            passes.back().writes.push_back(w);
        }
        return passes;
    }
};

// The generator the wipers are specified to use, written out independently.
struct ReferenceLcg {
    uint32_t state;
    explicit ReferenceLcg(uint32_t seed) : state(seed) {}
    uint32_t Next() {
        state = static_cast<uint32_t>(static_cast<uint64_t>(state) * 214013u + 2531011u);
        return (state >> 16) & 0x7FFF;
    }
    uint8_t Byte() { return static_cast<uint8_t>(Next() & 0xFF); }
};

// Expected byte of each pass 1..passes in fixed-pattern mode for a generator seeded
// with `seed`: 00, FF, R1, ~R1, R2, ~R2, ... `drawnBefore` outputs are taken by
// something else (renaming) before the passes start.
std::vector<int> FixedRow(int passes, uint32_t seed, int drawnBefore = 0) {
    ReferenceLcg ref(seed);
    for (int i = 0; i < drawnBefore; ++i) ref.Next();
    std::vector<int> row = {0x00, 0xFF};
    while (static_cast<int>(row.size()) < passes)
        row.push_back(row.size() % 2 == 0 ? ref.Byte() : static_cast<uint8_t>(~row.back()));
    row.resize(passes);
    return row;
}

uint32_t ClusterOf(const std::string& path) {
    struct statvfs sv {};
    if (statvfs(path.c_str(), &sv) != 0) return 0;
    return static_cast<uint32_t>(sv.f_frsize ? sv.f_frsize : sv.f_bsize);
}

size_t EntriesIn(const std::string& dir) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir), {}));
}

enum Kind { Plain, Progress, Recycle };

// The three wipers, each given the same count; Wipe runs the one of `kind` on `path`
// (the Trash wiper renaming unless told not to).
struct Wipers {
    CSecureFileWiper plain;
    CProgressFileWiper progress;
    CRecycleFileWiper recycle;
    CSecureFileWiper* const each[3] = {&plain, &progress, &recycle};  // by Kind
    explicit Wipers(int count, bool verify = false) {
        for (CSecureFileWiper* w : each) {
            w->SetPassCount(count);
            w->verifyLastPass = verify;
        }
    }
    tw::Result<void> Wipe(Kind kind, const std::string& path, uint32_t cluster, bool random = false,
                          bool rename = true) {
        const tw::OpContext& op = tw::IdleOperation();
        return kind == Plain      ? plain.WipeFile(path, false, random)
               : kind == Progress ? progress.WipeFile(op, path, random, cluster)
                                  : recycle.WipeFile(op, path, random, cluster, rename);
    }
};

class WiperTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.Ok());
        cluster_ = ClusterOf(dir_.Path());
        ASSERT_GT(cluster_, 0u);
        op_.UseStopFlag(abort_);
    }
    std::string MakeFile(const std::string& name, size_t size, mode_t mode = 0644) {
        const std::string path = dir_.Path() + "/" + name;
        std::string data(size, '\0');
        for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>('A' + i % 23);
        EXPECT_TRUE(tw::test::WriteFileBytes(path, data));
        chmod(path.c_str(), mode);
        return path;
    }
    tw::test::TempDir dir_{"wipe-unit"};
    uint32_t cluster_ = 0;
    // For the wipers that report progress and stop on the abort flag.
    RecordingSink sink_;
    tw::test::TestOperation op_{&sink_};
    std::atomic<int> abort_{0};
};

}  // namespace

// ---------------------------------------------------------------- random source

// Each thread has a generator of its own, and nothing is drawn (or written) for a pass
// number below 1 or an empty buffer.
TEST(WipeRandom, EachThreadHasItsOwnAndNoPassOrNoBufferDrawsNothing) {
    tw::wipe::SeedWipeRandom(1);
    std::thread other([] {
        tw::wipe::SeedWipeRandom(99);
        for (int i = 0; i < 10; ++i) tw::wipe::WipeRand();
    });
    other.join();
    std::vector<uint8_t> buf(64, 0xED);
    tw::wipe::FillPassBuffer(buf.data(), buf.size(), 0, true);
    tw::wipe::FillPassBuffer(buf.data(), 0, 3, true);
    EXPECT_EQ(buf[5], 0xED);
    EXPECT_EQ(tw::wipe::WipeRand(), ReferenceLcg(1).Next());
}

// ---------------------------------------------------------------- plain wipe

// Each wiper's passes against the independent generator, for every count: the plain
// wiper writes count + 1 passes, the progress and Trash wipers count; the Trash wiper
// renames first (n names of four random letters each). An empty file is renamed and
// deleted without a write.
TEST_F(WiperTest, EachWiperWritesItsPassesOfTheTable) {
    for (int n = 1; n <= 14; ++n) {
        for (Kind kind : {Plain, Progress, Recycle}) {
            SCOPED_TRACE(testing::Message() << "count " << n << " wiper " << kind);
            const uint32_t seed = (kind == Plain ? 1000 : 500) + n;
            const int count = kind == Plain ? n + 1 : n;
            const std::string path =
                MakeFile("f.dat", kind == Plain ? 3 * cluster_ + 100 : 2 * cluster_ + 1);
            Wipers w(n);
            tw::wipe::SeedWipeRandom(seed);
            Recorder rec;
            ASSERT_TRUE(w.Wipe(kind, path, cluster_));
            const auto passes = rec.Passes();
            const auto row = FixedRow(count, seed, kind == Recycle ? 4 * n : 0);
            ASSERT_EQ(passes.size(), static_cast<size_t>(count));
            for (int p = 0; p < count; ++p) {
                EXPECT_EQ(passes[p].Uniform(), row[p]) << "pass " << p + 1;
                if (kind != Recycle) {
                    EXPECT_EQ(passes[p].Bytes(), (kind == Plain ? 4u : 3u) * cluster_)
                        << "pass " << p + 1;
                }
            }
            EXPECT_EQ(EntriesIn(dir_.Path()), 0u);
        }
    }
    const std::string path = MakeFile("empty.log", 0);
    CSecureFileWiper w;
    w.SetPassCount(3);
    Recorder rec;
    EXPECT_TRUE(w.WipeFile(path, false, false));
    EXPECT_TRUE(rec.Passes().empty());
    EXPECT_EQ(EntriesIn(dir_.Path()), 0u);
}

// Random mode, for the plain wiper (count 4: five passes) and the progress wiper (four):
// a block from the generator over every cluster of the file, then its complement, then
// a new block, and so on.
TEST_F(WiperTest, RandomModeAlternatesBlocksAndComplements) {
    for (Kind kind : {Plain, Progress}) {
        SCOPED_TRACE(kind);
        const std::string path = MakeFile("r.dat", 3 * cluster_);
        Wipers w(4);
        tw::wipe::SeedWipeRandom(77);
        ReferenceLcg ref(77);
        Recorder rec;
        ASSERT_TRUE(w.Wipe(kind, path, cluster_, true));
        const auto passes = rec.Passes();
        ASSERT_EQ(passes.size(), kind == Plain ? 5u : 4u);
        std::vector<uint8_t> block(cluster_);
        for (size_t p = 0; p < passes.size(); ++p) {
            SCOPED_TRACE(p + 1);
            if (p % 2 == 0)
                for (auto& b : block) b = ref.Byte();
            else
                for (auto& b : block) b = static_cast<uint8_t>(~b);
            ASSERT_EQ(passes[p].Bytes(), 3u * cluster_);
            const auto& head = passes[p].writes[0].head;
            ASSERT_GE(head.size(), cluster_);
            for (size_t at = 0; at + cluster_ <= head.size(); at += cluster_)
                ASSERT_EQ(0, std::memcmp(head.data() + at, block.data(), cluster_)) << at;
        }
    }
}

// Every wiper refuses what it must not wipe with an Error whose code says why, and
// leaves it untouched: a caller (the CLI, the panel) tells the cases apart by the code.
TEST_F(WiperTest, RefusalsComeBackWithTheirCodeAndLeaveTheFileAlone) {
    using tw::ErrorCode;
    CSecureFileWiper plain;
    CProgressFileWiper progress;
    CRecycleFileWiper recycle;
    auto expectRefused = [&](const std::string& path, ErrorCode code, bool byRecycleToo) {
        const std::string before = tw::test::ReadFileBytes(path);
        Recorder rec;
        const tw::Result<void> results[] = {
            plain.WipeFile(path, true, false),
            progress.WipeFile(tw::IdleOperation(), path, false, 0),
            byRecycleToo ? recycle.WipeFile(tw::IdleOperation(), path, false, 0, true)
                         : tw::Result<void>(tw::Error(code, path)),
        };
        for (const auto& r : results) {
            ASSERT_FALSE(r.ok()) << path;
            EXPECT_EQ(r.error().code, code) << path << ": " << tw::ErrorText(r.error());
            EXPECT_EQ(r.error().subject, path);
        }
        EXPECT_EQ(plain.LastError().code, code) << path;
        EXPECT_TRUE(rec.Passes().empty()) << path;
        EXPECT_EQ(tw::test::ReadFileBytes(path), before) << path;
    };

    // Locked: another open file description of the file holds a flock on it.
    const std::string locked = MakeFile("locked.txt", 100);
    const int holder = open(locked.c_str(), O_RDONLY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    expectRefused(locked, ErrorCode::Locked, true);
    close(holder);

    // Read-only (no write permission): the Trash wiper gives it back and wipes it.
    const std::string readOnly = MakeFile("ro.txt", 5000, 0444);
    expectRefused(readOnly, ErrorCode::ReadOnly, false);
    {
        recycle.SetPassCount(2);
        const size_t entries = EntriesIn(dir_.Path());
        Recorder rec;
        EXPECT_TRUE(recycle.WipeFile(tw::IdleOperation(), readOnly, false, cluster_, true));
        const auto passes = rec.Passes();
        ASSERT_EQ(passes.size(), 2u);
        EXPECT_EQ(passes[0].Uniform(), 0x00);
        EXPECT_EQ(passes[1].Uniform(), 0xFF);
        EXPECT_EQ(passes[0].Bytes(), 2u * cluster_);
        EXPECT_EQ(EntriesIn(dir_.Path()), entries - 1);  // renamed, then gone
    }

    // Not a regular file: a symbolic link (never followed) and a folder.
    const std::string link = dir_.Path() + "/link.txt";
    ASSERT_EQ(symlink(locked.c_str(), link.c_str()), 0);
    expectRefused(link, ErrorCode::NotRegularFile, true);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_FALSE(plain.WipeFile(dir_.Path(), true, false));
    EXPECT_EQ(plain.LastError().code, ErrorCode::NotRegularFile);
    expectRefused(dir_.Path() + "/missing", ErrorCode::NotFound, true);  // gone

    // A file another file is bind-mounted over: the overwrite would reach the other
    // file's data, and the delete would fail on the mount point.
    const std::string under = MakeFile("under.txt", 100);
    const std::string over = MakeFile("over.txt", 200);
    if (mount(over.c_str(), under.c_str(), nullptr, MS_BIND, nullptr) == 0) {
        expectRefused(under, ErrorCode::OnAnotherMount, true);
        EXPECT_EQ(umount2(under.c_str(), MNT_DETACH), 0);
    } else {
        std::cout << "[ NOTE     ] bind mounts need root: the mount point case is not checked\n";
    }

    // Immutable: here if the temporary folder's file system keeps the flag, else on a
    // scratch ext4 volume.
    std::string immutable = MakeFile("fixed.txt", 100);
    std::unique_ptr<tw::test::ScratchVolume> vol;
    if (!tw::test::SetImmutable(immutable, true)) {
        if (const std::string why = tw::test::ScratchUnavailable(tw::test::FsKind::Ext4);
            !why.empty())
            GTEST_SKIP() << "the immutable case needs a file system with inode flags: " << why;
        vol = std::make_unique<tw::test::ScratchVolume>(tw::test::FsKind::Ext4, 8);
        ASSERT_TRUE(vol->Ok()) << vol->Error();
        immutable = vol->Root() + "fixed.txt";
        ASSERT_TRUE(tw::test::WriteFileBytes(immutable, std::string(100, 'x')));
        ASSERT_TRUE(tw::test::SetImmutable(immutable, true));
    }
    expectRefused(immutable, ErrorCode::Immutable, true);
    EXPECT_TRUE(tw::test::SetImmutable(immutable, false));
}

TEST_F(WiperTest, FilesOfFourGibibytesAndMoreAreOverwrittenWhereTheyHoldData) {
    const std::string path = dir_.Path() + "/huge.img";
    const uint64_t length = (4ull << 30) + 1;  // one byte past 4 GiB, sparse in between
    {
        int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(syscall(SYS_pwrite64, fd, "head", 4, 0), 4);
        ASSERT_EQ(syscall(SYS_pwrite64, fd, "t", 1, static_cast<off_t>(length - 1)), 1);
        close(fd);
    }
    CSecureFileWiper w;
    w.SetPassCount(1);
    Recorder rec;
    g_swallow = true;  // record the writes, keep the file sparse
    ASSERT_TRUE(w.WipeFile(path, false, false)) << tw::ErrorText(w.LastError());
    const auto passes = rec.Passes();
    ASSERT_EQ(passes.size(), 2u);
    for (const auto& p : passes) {
        // The first cluster and the one past 4 GiB; the hole between takes no write.
        EXPECT_EQ(p.Bytes(), 2ull * cluster_);
        EXPECT_EQ(p.writes.back().offset, 4ull << 30);
        EXPECT_EQ(p.writes.back().offset + p.writes.back().size, (4ull << 30) + cluster_);
    }
    EXPECT_EQ(EntriesIn(dir_.Path()), 0u);
}

TEST_F(WiperTest, TmpfsRefusesDirectWritesAndIsWrittenBufferedInstead) {
    if (ClusterOf("/dev/shm") == 0) GTEST_SKIP() << "no /dev/shm here";
    setenv("TW_SCRATCH_BASE", "/dev/shm", 1);
    tw::test::TempDir dir("wipe-unit");
    unsetenv("TW_SCRATCH_BASE");
    ASSERT_TRUE(dir.Ok());
    const std::string path = dir.Path() + "/t.bin";
    ASSERT_TRUE(tw::test::WriteFileBytes(path, std::string(10000, 'x')));
    CSecureFileWiper w;
    w.SetPassCount(2);
    Recorder rec;
    ASSERT_TRUE(w.WipeFile(path, false, false));
    const auto passes = rec.Passes();
    ASSERT_EQ(passes.size(), 3u);
    EXPECT_EQ(passes[2].Bytes(), 3u * ClusterOf(dir.Path()));
    EXPECT_EQ(EntriesIn(dir.Path()), 0u);
}

// ---------------------------------------------------------------- progress and recycle

TEST_F(WiperTest, ProgressReportsCountsBytesAndStopsOnAbort) {
    const size_t size = 12u << 20;  // three 4 MiB writes per pass
    const std::string path = MakeFile("movie.mkv", size);
    uint64_t counter = 0;
    CProgressFileWiper w;
    w.SetPassCount(2);
    w.bytesWritten = &counter;
    w.showStatus = w.showStatus2 = true;
    w.SetStatusText("Deep cleaning file /home/someone/very/long/path/movie.mkv");
    {
        Recorder rec;
        ASSERT_TRUE(w.WipeFile(op_, path, false, 4096));
        EXPECT_FALSE(w.WasAborted());
        EXPECT_EQ(rec.Passes().size(), 2u);
    }
    EXPECT_EQ(counter, 2u * size);
    EXPECT_EQ(sink_.high[tw::ProgressSink::Current], 2 * static_cast<int64_t>(size / 4096));
    EXPECT_EQ(sink_.pos[tw::ProgressSink::Current], 0);  // reset after the last pass
    EXPECT_EQ(sink_.statuses.back(), "Deep cleaning file /home/someone/... (12 Mb of 12 Mb)");

    // Abort after the first write: the pass stops, the file is still renamed and deleted.
    const std::string second = MakeFile("second.bin", size);
    counter = 0;
    sink_.onPos = [&](tw::ProgressSink::Bar b, int64_t p) {
        if (b == tw::ProgressSink::Current && p > 0) abort_ = 1;
    };
    Recorder rec;
    EXPECT_TRUE(w.WipeFile(op_, second, false, 4096));
    EXPECT_TRUE(w.WasAborted());
    EXPECT_EQ(rec.Passes().size(), 1u);
    EXPECT_EQ(rec.Passes()[0].writes.size(), 1u);
    EXPECT_EQ(counter, 4u << 20);
    EXPECT_EQ(EntriesIn(dir_.Path()), 0u);
}

TEST_F(WiperTest, RecycleWithoutRenameLeavesAnEmptyFileInPlace) {
    const std::string path = MakeFile("keep.name", 3000);
    CRecycleFileWiper w;
    w.SetPassCount(3);
    w.progressTick = true;
    {
        Recorder rec;
        EXPECT_TRUE(w.WipeFile(op_, path, false, 512, false));
        EXPECT_EQ(rec.Passes().size(), 3u);
    }
    EXPECT_TRUE(fs::exists(path));
    EXPECT_EQ(fs::file_size(path), 0u);
    // 3 passes x 6 chunks of 512 bytes = 18 chunks: at least two steps of eight.
    EXPECT_GE(sink_.pos[tw::ProgressSink::Current], 1);

    // An empty file without renaming: nothing written, still there.
    Recorder rec;
    EXPECT_TRUE(w.WipeFile(op_, path, false, 512, false));
    EXPECT_TRUE(rec.Passes().empty());
    EXPECT_TRUE(fs::exists(path));
    // With renaming it goes.
    EXPECT_TRUE(w.WipeFile(op_, path, false, 512, true));
    EXPECT_EQ(EntriesIn(dir_.Path()), 0u);

    // Aborted: passes stop, the length stays.
    const std::string other = MakeFile("abort.me", 3000);
    abort_ = 1;
    EXPECT_TRUE(w.WipeFile(op_, other, false, 512, false));
    EXPECT_TRUE(w.WasAborted());
    EXPECT_EQ(fs::file_size(other), 3072u);
}

TEST_F(WiperTest, UnusableBufferOrShortPassKeepsTheFileAndReportsFailure) {
    const std::string path = MakeFile("keep.bin", 100);
    const std::string before = tw::test::ReadFileBytes(path);
    CProgressFileWiper w;
    EXPECT_FALSE(w.WipeFile(tw::IdleOperation(), path, false, 1u << 30));
    EXPECT_EQ(tw::test::ReadFileBytes(path).substr(0, 100), before);
    EXPECT_TRUE(fs::exists(path));

    // The disk takes the first pass and one byte less than the second (a full volume,
    // an I/O error): no wiper may call that a wipe, and the file stays to be wiped again.
    const uint64_t length = 3ull * cluster_;
    for (int variant = 0; variant < 3; ++variant) {
        const std::string file = MakeFile("short" + std::to_string(variant), length);
        Recorder rec;
        g_writeBudget = static_cast<int64_t>(2 * length - 1);
        const Kind kind = static_cast<Kind>(variant);
        Wipers w(kind == Plain ? 2 : 3);  // three passes each
        EXPECT_FALSE(w.Wipe(kind, file, cluster_, false, false).ok()) << variant;
        const std::string why = tw::ErrorText(w.each[kind]->LastError());
        EXPECT_NE(why.find("pass 2 "), std::string::npos) << variant << ": " << why;
        ASSERT_TRUE(fs::exists(file)) << variant;
        EXPECT_EQ(fs::file_size(file), length) << variant;
    }
}

// The shared pass loop with several unbuffered writes in flight: what each pass leaves
// on the disk is read back before the next pass starts.
class SnapshotWiper : public CSecureFileWiper {
  public:
    std::vector<std::string> Run(const std::string& path, uint32_t bufferSize, int passes) {
        struct Hooks : ChunkHooks {
            std::string path;
            std::vector<std::string> snapshots;
            void BeforePass(int pass, int, uint64_t) override {
                if (pass > 1) snapshots.push_back(tw::test::ReadFileBytes(path));
            }
        } hooks;
        hooks.path = path;
        int fd = open(path.c_str(), O_WRONLY | O_DIRECT);
        EXPECT_GE(fd, 0) << "O_DIRECT refused here";
        if (fd < 0) return {};
        EXPECT_TRUE(RunPasses(fd, bufferSize, true, passes, hooks, nullptr));
        close(fd);
        return hooks.snapshots;
    }
};

// A write of the last pass that never reaches the disk: the read-back finds the
// previous pass there, fails the wipe at that offset and keeps the file; without the
// read-back the same loss goes unseen, as before. For each of the three wipers, with
// the reads one at a time and queued ahead of the compare (the lost write then lies
// among reads still in flight). A file that ends before the range read back fails at
// its end, both ways.
TEST_F(WiperTest, ReadBackCatchesALostWriteOfTheLastPass) {
    const uint64_t lost = 4u << 20;  // the second write of a pass (4 MiB pieces)
    for (const char* oneAtATime : {"1", "writes"}) {
        for (Kind kind : {Plain, Progress, Recycle}) {
            for (bool verify : {true, false}) {
                SCOPED_TRACE(testing::Message() << "wiper " << kind << " verify " << verify
                                                << " no io_uring for " << oneAtATime);
                const std::string path = MakeFile("lost.dat", 10u << 20);
                Recorder rec;
                setenv("TIDEWIPE_NO_IO_URING", oneAtATime, 1);
                g_dropByte = 0xFF;  // count 1, fixed patterns: 0x00 then 0xFF is the last
                g_dropAt = static_cast<int64_t>(lost);
                Wipers w(kind == Plain ? 1 : 2, verify);  // two passes each
                const tw::Result<void> r = w.Wipe(kind, path, 0);
                if (kind == Plain) {
                    EXPECT_EQ(w.plain.LastVerified(), verify && r.ok());
                }
                EXPECT_EQ(g_dropAt.load(), -1) << "the lost write never came";
                if (verify) {
                    ASSERT_FALSE(r.ok());
                    EXPECT_EQ(r.error().code, tw::ErrorCode::Mismatch);
                    EXPECT_EQ(r.error().offset, static_cast<int64_t>(lost));
                    EXPECT_EQ(EntriesIn(dir_.Path()), 1u) << "the file is kept to wipe again";
                } else {
                    EXPECT_TRUE(r.ok());
                    EXPECT_EQ(EntriesIn(dir_.Path()), 0u);
                }
                for (const auto& e : fs::directory_iterator(dir_.Path())) fs::remove(e.path());
            }
        }
        SCOPED_TRACE(testing::Message() << "short file, no io_uring for " << oneAtATime);
        setenv("TIDEWIPE_NO_IO_URING", oneAtATime, 1);
        // It ends in the fifth 2 MiB read, whose buffer held the first one before: the
        // same bytes, so only the short count tells the read-back where the file ends.
        const uint64_t size = (9u << 20) + 512;
        std::string data(size, '\0');
        for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i);
        const std::string path = dir_.Path() + "/short.dat";
        ASSERT_TRUE(tw::test::WriteFileBytes(path, data));
        const int fd = open(path.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        const auto why = tw::wipe::ReadBackMatches(
            fd, 0, 10u << 20, reinterpret_cast<const uint8_t*>(data.data()), 256, 0);
        close(fd);
        unsetenv("TIDEWIPE_NO_IO_URING");
        fs::remove(path);
        ASSERT_TRUE(why);
        EXPECT_EQ(why->code, tw::ErrorCode::Mismatch);
        EXPECT_EQ(why->offset, static_cast<int64_t>(size));
    }
}

// A submission that fails partway (the third: the first pass's third write) leaves the
// queue: the rest goes one request at a time, and nothing of the failed one is sent later.
TEST_F(WiperTest, QueuedUnbufferedWritesLeaveEachPassOnDisk) {
    for (const int failSubmit : {0, 3}) {
        SCOPED_TRACE(testing::Message() << "submission failing: " << failSubmit);
        g_failSubmit = failSubmit;
        const size_t size = (13u << 20) + cluster_;  // four writes per pass, the last one short
        const std::string path = MakeFile("queued.bin", size);
        SnapshotWiper w;
        tw::wipe::SeedWipeRandom(9);
        ReferenceLcg ref(9);
        const auto snaps = w.Run(path, cluster_, 4);
        ASSERT_EQ(snaps.size(), 3u);
        std::string a(cluster_, '\0'), b(cluster_, '\0');
        for (auto& c : a) c = static_cast<char>(ref.Byte());
        for (auto& c : b) c = static_cast<char>(ref.Byte());
        std::string notA = a;
        for (auto& c : notA) c = static_cast<char>(~c);
        const std::vector<std::string> expect = {a, notA, b};
        for (size_t p = 0; p < 3; ++p) {
            ASSERT_EQ(snaps[p].size(), size) << "pass " << p + 1;
            for (size_t at = 0; at < size; at += cluster_)
                ASSERT_EQ(0, snaps[p].compare(at, cluster_, expect[p]))
                    << "pass " << p + 1 << " at " << at;
        }
        EXPECT_EQ(fs::file_size(path), 0u);  // cut to nothing after the last pass
        EXPECT_EQ(w.LastBytesWritten(), 4u * size);
        fs::remove(path);
    }
}

// ---------------------------------------------------------------- renaming

// A new name keeps the dots, the length and the folder, its letters drawn from the
// generator; a rename never replaces another file, and the caller learns where the file
// really is. A folder tree is removed without following its links.
TEST_F(WiperTest, ScrambleNeverReplacesAnotherFileAndTreeRemovalNeverFollowsALink) {
    const std::string path = MakeFile("an.report.txt", 10);
    // Predict the first and second random names and put a file under the second.
    ReferenceLcg ref(42);
    std::string first = "an.report.txt", second = first;
    for (std::string* name : {&first, &second})
        for (char& c : *name)
            if (c != '.') c = static_cast<char>('a' + ref.Next() % 26);
    ASSERT_NE(first, second);
    const std::string secondPath = dir_.Path() + "/" + second;
    ASSERT_TRUE(tw::test::WriteFileBytes(secondPath, "precious"));

    tw::wipe::SeedWipeRandom(42);
    std::string renamed = path;
    EXPECT_FALSE(tw::wipe::ScrambleName(renamed, 2));  // the second rename is refused
    EXPECT_EQ(tw::test::ReadFileBytes(secondPath), "precious");
    EXPECT_EQ(renamed, dir_.Path() + "/" + first);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(tw::test::ReadFileBytes(renamed).size(), 10u);
    // A count below 1 renames nothing.
    std::string same = renamed;
    EXPECT_FALSE(tw::wipe::ScrambleName(same, 0));
    EXPECT_EQ(same, renamed);

    // Removing a folder tree (the Trash's folders) removes links, never what they point at.
    const std::string outside = MakeFile("outside.txt", 20);
    const std::string tree = dir_.Path() + "/tree";
    fs::create_directories(tree + "/a/b");
    ASSERT_TRUE(tw::test::WriteFileBytes(tree + "/a/b/ro.txt", "x"));
    chmod((tree + "/a/b/ro.txt").c_str(), 0444);
    chmod((tree + "/a/b").c_str(), 0555);
    ASSERT_EQ(symlink(outside.c_str(), (tree + "/a/link").c_str()), 0);
    ASSERT_EQ(symlink(dir_.Path().c_str(), (tree + "/dirlink").c_str()), 0);
    EXPECT_TRUE(tw::wipe::DeleteFolderTree(tree));
    EXPECT_FALSE(fs::exists(tree));
    EXPECT_EQ(tw::test::ReadFileBytes(outside).size(), 20u);
    EXPECT_FALSE(tw::wipe::DeleteFolderTree(outside));  // not a folder
}
