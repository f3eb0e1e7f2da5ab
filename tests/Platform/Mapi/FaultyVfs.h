// An SQLite file system layer over the default one whose writes fail on demand, as a full disk or a
// file-size limit makes them fail. While an object lives it is SQLite's default, so every store
// opened meanwhile writes through it.
#pragma once

namespace MapiTest {

class FaultyVfs {
public:
    FaultyVfs();
    ~FaultyVfs();
    FaultyVfs(const FaultyVfs&) = delete;
    FaultyVfs& operator=(const FaultyVfs&) = delete;

    // After cAllowed more writes succeed, every write fails with SQLITE_FULL until Heal.
    void FailWritesAfter(int cAllowed);
    void Heal();
    int FailedWrites() const;
};

}  // namespace MapiTest
