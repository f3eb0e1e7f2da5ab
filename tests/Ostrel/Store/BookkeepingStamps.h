// One set of bookkeeping values the item wrapper tests write on an object and expect back.
#pragma once

#include <gtest/gtest.h>

#include "Ostrel/Store/MailItem.h"

namespace StoreTest {

inline const FILETIME kModified = {0x12345678, 0x01D9ABCD};

inline void Stamp(Ostrel::Mapi::OstrelMailItemBase& item, LONG lId) {
    EXPECT_EQ(item.StampOstrelId(lId), S_OK);
    EXPECT_EQ(item.ReplicationId(L"rep-\u00e9-1"), S_OK);
    EXPECT_EQ(item.LastServerReplicationId(L"srv-2"), S_OK);
    EXPECT_EQ(item.OstrelLastModified(kModified), S_OK);
    EXPECT_EQ(item.DocVersion(7), S_OK);
    EXPECT_EQ(item.DocName(L"page.html"), S_OK);
    EXPECT_EQ(item.IgnoreLocalChanges(1, 0), S_OK);
}

inline void ExpectStamped(Ostrel::Mapi::OstrelMailItemBase& item, LONG lId) {
    EXPECT_EQ(item.OstrelId(), lId);
    EXPECT_EQ(item.ReplicationId(), L"rep-\u00e9-1");
    EXPECT_EQ(item.LastServerReplicationId(), L"srv-2");
    FILETIME ft = item.OstrelLastModified();
    EXPECT_EQ(ft.dwLowDateTime, kModified.dwLowDateTime);
    EXPECT_EQ(ft.dwHighDateTime, kModified.dwHighDateTime);
    EXPECT_EQ(item.DocVersion(), 7u);
    EXPECT_EQ(item.DocName(), L"page.html");
    EXPECT_TRUE(item.IgnoreLocalChanges());
}

}  // namespace StoreTest
