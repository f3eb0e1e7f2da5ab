// A fixture for tests that work on store messages: a new store file in a temporary home, with its
// inbox (the receive folder of IPM.Note) open for writing.
#pragma once

#include <gtest/gtest.h>

#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/MapiInterfaces.h"
#include "Support/TempHome.h"

namespace TestSupport {

class InboxStore : public ::testing::Test {
protected:
    void SetUp() override;

    // A new, unsaved message in the inbox.
    Platform::ComPtr<IMessage> NewMessage();

    TempHome m_home;
    Platform::ComPtr<IMsgStore> m_store;
    Platform::ComPtr<IMAPIFolder> m_inbox;
};

}  // namespace TestSupport
