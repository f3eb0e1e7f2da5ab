#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "Platform/Com/Com.h"

using Platform::ComPtr;

namespace {

std::atomic<int> g_nAlive{0};

class Counted final : public Platform::ComObject<IUnknown> {
public:
    Counted() { ++g_nAlive; }
    ~Counted() override { --g_nAlive; }
    HRESULT QueryInterface(REFIID riid, void** ppv) override { return QueryInterfaceAmong<IUnknown>(riid, ppv); }
};

// The reference count, read by adding and dropping one.
ULONG Refs(IUnknown* p) {
    p->AddRef();
    return p->Release();
}

}  // namespace

TEST(ComPtr, OwnershipOperations) {
    {
        ComPtr<IUnknown> p1;
        p1.Attach(new Counted);  // takes over the creator's reference
        EXPECT_EQ(1u, Refs(p1.Get()));

        ComPtr<IUnknown> p2 = p1;  // copy shares
        EXPECT_EQ(2u, Refs(p1.Get()));
        ComPtr<IUnknown> p3 = std::move(p2);  // move transfers
        EXPECT_FALSE(p2);
        EXPECT_EQ(2u, Refs(p1.Get()));

        ComPtr<IUnknown> p4(p1.Get());  // from a raw pointer: adds a reference
        EXPECT_EQ(3u, Refs(p1.Get()));
        p4 = p4;  // self-assignment keeps the count
        EXPECT_EQ(3u, Refs(p1.Get()));

        IUnknown* pRaw = p4.Detach();  // gives up without releasing
        EXPECT_EQ(3u, Refs(p1.Get()));
        pRaw->Release();

        IUnknown* pCopy = nullptr;
        ASSERT_EQ(S_OK, p1.CopyTo(&pCopy));
        EXPECT_EQ(3u, Refs(p1.Get()));
        pCopy->Release();

        // AddressOf releases what was held, for use as an out parameter.
        IUnknown** pp = p3.AddressOf();
        EXPECT_EQ(nullptr, *pp);
        EXPECT_EQ(1u, Refs(p1.Get()));
        EXPECT_EQ(1, g_nAlive.load());

        p1 = nullptr;
        EXPECT_EQ(0, g_nAlive.load());
    }
    EXPECT_EQ(0, g_nAlive.load());
}

TEST(ComPtr, AsQueriesAndReportsMissingInterfaces) {
    ComPtr<IUnknown> pUnknown;
    pUnknown.Attach(new Counted);
    ComPtr<IStream> pStream;
    EXPECT_EQ(E_NOINTERFACE, pUnknown.As(&pStream));
    EXPECT_FALSE(pStream);
    ComPtr<IUnknown> pAgain;
    EXPECT_EQ(S_OK, pUnknown.As(&pAgain));
    EXPECT_EQ(pUnknown, pAgain);
    ComPtr<IUnknown> pEmpty;
    EXPECT_EQ(E_POINTER, pEmpty.As(&pAgain));
    EXPECT_FALSE(pAgain);
}

TEST(ComPtr, ConcurrentReferencesDestroyOnce) {
    {
        ComPtr<IUnknown> pShared;
        pShared.Attach(new Counted);
        std::vector<std::thread> vecThreads;
        for (int t = 0; t < 8; ++t) {
            vecThreads.emplace_back([pShared] {
                for (int i = 0; i < 10000; ++i) {
                    ComPtr<IUnknown> pLocal = pShared;
                    ComPtr<IUnknown> pMoved = std::move(pLocal);
                }
            });
        }
        for (std::thread& thread : vecThreads)
            thread.join();
        EXPECT_EQ(1u, Refs(pShared.Get()));
    }
    EXPECT_EQ(0, g_nAlive.load());
}
