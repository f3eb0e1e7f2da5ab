// A read/write memory mapping of a whole file, as CreateFileMapping + MapViewOfFile give it.
#pragma once

#include <cstddef>
#include <filesystem>

namespace Platform {

class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Maps the file open on `fd` (the descriptor is duplicated; the caller keeps its own).
    // A writable mapping smaller than `cbMin` grows the file to `cbMin` first, as a mapping
    // object larger than its file does on Windows. An empty file cannot be mapped (EINVAL).
    bool Map(int fd, bool bWritable, size_t cbMin = 0);
    // Opens `path` (creating it when `bCreate`) and maps it.
    bool Open(const std::filesystem::path& path, bool bWritable, bool bCreate, size_t cbMin = 0);
    // Grows the file to `cb` bytes (zero-filled) and maps it again; the address may change.
    bool Grow(size_t cb);
    // Writes dirty pages to the file and waits for them, like FlushViewOfFile + FlushFileBuffers.
    bool Flush();
    void Close();

    bool IsOpen() const { return m_pData != nullptr; }
    void* Data() const { return m_pData; }
    size_t Size() const { return m_cb; }
    bool IsWritable() const { return m_bWritable; }

private:
    bool MapCurrentSize();

    int m_fd = -1;
    void* m_pData = nullptr;
    size_t m_cb = 0;
    bool m_bWritable = false;
};

}  // namespace Platform
