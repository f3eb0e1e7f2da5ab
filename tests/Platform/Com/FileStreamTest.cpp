#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "Platform/Com/Com.h"
#include "Support/Child.h"
#include "Support/TempHome.h"

using Platform::ComPtr;
namespace fs = std::filesystem;

namespace {

LARGE_INTEGER Li(LONGLONG ll) {
    LARGE_INTEGER li;
    li.QuadPart = ll;
    return li;
}

std::string FileContent(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class FileStreamTest : public ::testing::Test {
protected:
    TestSupport::TempHome m_home;
    fs::path Dir() const { return m_home.Path(); }
};

}  // namespace

TEST_F(FileStreamTest, WritesReadsSeeksAndZeroFills) {
    fs::path path = Dir() / "data.bin";
    ComPtr<IStream> pStream;
    ASSERT_EQ(S_OK, Platform::CreateFileStream(path, STGM_READWRITE | STGM_CREATE, false, pStream.AddressOf()));
    ASSERT_EQ(S_OK, pStream->Write("head", 4, nullptr));
    ASSERT_EQ(S_OK, pStream->Seek(Li(2), STREAM_SEEK_END, nullptr));
    ULONG cbWritten = 0;
    ASSERT_EQ(S_OK, pStream->Write("tail", 4, &cbWritten));
    EXPECT_EQ(4u, cbWritten);
    EXPECT_EQ(std::string("head\0\0tail", 10), FileContent(path));

    ULARGE_INTEGER pos{};
    ASSERT_EQ(S_OK, pStream->Seek(Li(-4), STREAM_SEEK_END, &pos));
    EXPECT_EQ(6u, pos.QuadPart);
    char buffer[16];
    ULONG cbRead = 0;
    ASSERT_EQ(S_OK, pStream->Read(buffer, sizeof buffer, &cbRead));
    EXPECT_EQ("tail", std::string(buffer, cbRead));
    ASSERT_EQ(S_OK, pStream->Read(buffer, sizeof buffer, &cbRead));
    EXPECT_EQ(0u, cbRead);
    EXPECT_EQ(STG_E_INVALIDFUNCTION, pStream->Seek(Li(-11), STREAM_SEEK_END, &pos));

    ULARGE_INTEGER size;
    size.QuadPart = 2;
    ASSERT_EQ(S_OK, pStream->SetSize(size));
    EXPECT_EQ("he", FileContent(path));
    EXPECT_EQ(S_OK, pStream->Commit(STGC_DEFAULT));
    EXPECT_EQ(STG_E_INVALIDFUNCTION, pStream->LockRegion(size, size, LOCK_WRITE));

    // A new file is private to the user.
    struct stat st {};
    ASSERT_EQ(0, ::stat(path.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
}

TEST_F(FileStreamTest, OpenErrorsAndAccessModes) {
    ComPtr<IStream> pStream;
    EXPECT_EQ(STG_E_FILENOTFOUND, Platform::CreateFileStream(Dir() / "missing", STGM_READ, false, pStream.AddressOf()));
    EXPECT_EQ(STG_E_PATHNOTFOUND, Platform::CreateFileStream(Dir() / "no" / "dir" / "f", STGM_READWRITE | STGM_CREATE,
                                                             false, pStream.AddressOf()));
    EXPECT_FALSE(pStream);
    EXPECT_EQ(STG_E_ACCESSDENIED, Platform::CreateFileStream(Dir(), STGM_READ, false, pStream.AddressOf()));

    fs::path path = Dir() / "existing.txt";
    std::ofstream(path) << "content";
    ASSERT_EQ(S_OK, Platform::CreateFileStream(path, STGM_READ, false, pStream.AddressOf()));
    ULONG cbWritten = 5;
    EXPECT_EQ(STG_E_ACCESSDENIED, pStream->Write("x", 1, &cbWritten));
    EXPECT_EQ(0u, cbWritten);
    char buffer[16];
    ULONG cbRead = 0;
    ASSERT_EQ(S_OK, pStream->Read(buffer, sizeof buffer, &cbRead));
    EXPECT_EQ("content", std::string(buffer, cbRead));

    ASSERT_EQ(S_OK, Platform::CreateFileStream(path, STGM_WRITE, false, pStream.AddressOf()));
    EXPECT_EQ(STG_E_ACCESSDENIED, pStream->Read(buffer, 1, &cbRead));
    // Opening without STGM_CREATE keeps the content.
    EXPECT_EQ("content", FileContent(path));

    // A FIFO is refused at once in every mode, not waited on for its other end.
    const fs::path fifo = Dir() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (DWORD grfMode : {STGM_READ, STGM_WRITE, STGM_READWRITE | STGM_CREATE}) {
        EXPECT_EQ(TestSupport::RunInChild([&] {
                      ComPtr<IStream> pFifo;
                      return Platform::CreateFileStream(fifo, grfMode, false, pFifo.AddressOf()) ==
                                 STG_E_ACCESSDENIED &&
                             !pFifo;
                  }),
                  TestSupport::ChildOutcome::Succeeded)
            << grfMode;
    }
}

TEST_F(FileStreamTest, CreatingNeverWritesThroughALinkAtThePath) {
    fs::path target = Dir() / "target.txt";
    std::ofstream(target) << "keep";
    fs::path link = Dir() / "planted";
    fs::create_symlink(target, link);
    for (DWORD grfMode : {STGM_READWRITE | STGM_CREATE, STGM_WRITE | STGM_CREATE, STGM_READ | STGM_CREATE}) {
        ComPtr<IStream> pStream;
        EXPECT_TRUE(FAILED(Platform::CreateFileStream(link, grfMode, false, pStream.AddressOf()))) << grfMode;
        EXPECT_FALSE(pStream);
    }
    EXPECT_EQ("keep", FileContent(target));
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(link)));
}

TEST_F(FileStreamTest, StatReportsNameSizeAndMode) {
    fs::path path = Dir() / "stat.bin";
    ComPtr<IStream> pStream;
    ASSERT_EQ(S_OK, Platform::CreateFileStream(path, STGM_READWRITE | STGM_CREATE, false, pStream.AddressOf()));
    ASSERT_EQ(S_OK, pStream->Write("12345", 5, nullptr));
    STATSTG stat{};
    ASSERT_EQ(S_OK, pStream->Stat(&stat, STATFLAG_DEFAULT));
    ASSERT_NE(nullptr, stat.pwcsName);
    EXPECT_EQ(path.wstring(), std::wstring(stat.pwcsName));
    CoTaskMemFree(stat.pwcsName);
    EXPECT_EQ(5u, stat.cbSize.QuadPart);
    EXPECT_EQ(static_cast<DWORD>(STGM_READWRITE | STGM_CREATE), stat.grfMode);
    EXPECT_NE(0u, stat.mtime.dwHighDateTime);
    ASSERT_EQ(S_OK, pStream->Stat(&stat, STATFLAG_NONAME));
    EXPECT_EQ(nullptr, stat.pwcsName);
}

TEST_F(FileStreamTest, DeleteOnReleaseWaitsForTheLastClone) {
    fs::path path = Dir() / "temp.bin";
    ComPtr<IStream> pStream;
    ASSERT_EQ(S_OK, Platform::CreateFileStream(path, STGM_READWRITE | STGM_CREATE, true, pStream.AddressOf()));
    ASSERT_EQ(S_OK, pStream->Write("abc", 3, nullptr));
    ComPtr<IStream> pClone;
    ASSERT_EQ(S_OK, pStream->Clone(pClone.AddressOf()));
    ASSERT_EQ(S_OK, pClone->Seek(Li(0), STREAM_SEEK_SET, nullptr));
    pStream.Reset();
    EXPECT_TRUE(fs::exists(path));
    char buffer[4];
    ULONG cbRead = 0;
    ASSERT_EQ(S_OK, pClone->Read(buffer, sizeof buffer, &cbRead));
    EXPECT_EQ("abc", std::string(buffer, cbRead));
    pClone.Reset();
    EXPECT_FALSE(fs::exists(path));

    // The STGM flag asks for the same, and a stream without either leaves its file alone.
    ASSERT_EQ(S_OK, Platform::CreateFileStream(path, STGM_READWRITE | STGM_CREATE | STGM_DELETEONRELEASE, false,
                                               pStream.AddressOf()));
    pStream.Reset();
    EXPECT_FALSE(fs::exists(path));
    ASSERT_EQ(S_OK, Platform::CreateFileStream(path, STGM_READWRITE | STGM_CREATE, false, pStream.AddressOf()));
    pStream.Reset();
    EXPECT_TRUE(fs::exists(path));
}

TEST_F(FileStreamTest, UniqueFilesAreNewPrivateAndDistinct) {
    std::set<fs::path> setPaths;
    for (int i = 0; i < 20; ++i) {
        ComPtr<IStream> pStream;
        fs::path path;
        ASSERT_EQ(S_OK, Platform::CreateUniqueFileStream(Dir(), "osn", false, pStream.AddressOf(), &path));
        EXPECT_EQ(Dir(), path.parent_path());
        EXPECT_EQ(0u, path.filename().string().rfind("osn", 0));
        EXPECT_EQ(".tmp", path.extension().string());
        struct stat st {};
        ASSERT_EQ(0, ::stat(path.c_str(), &st));
        EXPECT_EQ(0600u, st.st_mode & 0777);
        EXPECT_TRUE(setPaths.insert(path).second);
    }

    ComPtr<IStream> pStream;
    EXPECT_EQ(STG_E_PATHNOTFOUND, Platform::CreateUniqueFileStream(Dir() / "absent", "osn", true, pStream.AddressOf()));
    EXPECT_EQ(STG_E_INVALIDPARAMETER, Platform::CreateUniqueFileStream(Dir(), "../x", true, pStream.AddressOf()));
}

// A spool file has no name while it is in use, so that a process killed while spooling leaves
// nothing behind; the stream and its clones still read back what was written.
TEST_F(FileStreamTest, SpoolFilesLeaveNothingBehindEvenWhenKilled) {
    const fs::path dir = Dir() / "spool";
    fs::create_directory(dir);
    ComPtr<IStream> pStream;
    ASSERT_EQ(S_OK, Platform::CreateUniqueFileStream(dir, "osn", true, pStream.AddressOf()));
    EXPECT_TRUE(fs::is_empty(dir));
    ASSERT_EQ(S_OK, pStream->Write("spooled", 7, nullptr));
    ComPtr<IStream> pClone;
    ASSERT_EQ(S_OK, pStream->Clone(pClone.AddressOf()));
    pStream.Reset();
    ASSERT_EQ(S_OK, pClone->Seek(Li(0), STREAM_SEEK_SET, nullptr));
    char buffer[8] = {};
    ULONG cbRead = 0;
    ASSERT_EQ(S_OK, pClone->Read(buffer, sizeof buffer, &cbRead));
    EXPECT_EQ("spooled", std::string(buffer, cbRead));

    const pid_t child = ::fork();
    if (child == 0) {
        ComPtr<IStream> pSpool;
        Platform::CreateUniqueFileStream(dir, "osn", true, pSpool.AddressOf());
        std::string block(1 << 20, 'x');
        pSpool->Write(block.data(), static_cast<ULONG>(block.size()), nullptr);
        ::kill(::getpid(), SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_TRUE(fs::is_empty(dir));
}
