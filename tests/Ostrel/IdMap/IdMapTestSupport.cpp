#include "IdMapTestSupport.h"

#include <cstring>
#include <fstream>
#include <map>
#include <set>

#include "Ostrel/IdMap/FileMapper.h"
#include "Ostrel/IdMap/IdMapperFile.h"
#include "Ostrel/IdMap/IdmVerified.h"
#include "Platform/Base/Utf.h"

namespace IdMapTest {

ComPtr<IMsgStore> OpenStore(const std::filesystem::path& path, bool bCreate) {
    ComPtr<IMsgStore> pStore;
    EXPECT_EQ(Platform::OpenOsdStore(path, bCreate, L"Test Store", true, pStore.AddressOf()), S_OK);
    return pStore;
}

ComPtr<IMAPIFolder> Inbox(IMsgStore* pStore) {
    ULONG cb = 0;
    LPENTRYID pEid = nullptr;
    ComPtr<IMAPIFolder> pFolder;
    if (FAILED(pStore->GetReceiveFolder((LPTSTR)L"", MAPI_UNICODE, &cb, &pEid, nullptr)))
        return pFolder;
    ULONG ulType = 0;
    pStore->OpenEntry(cb, pEid, &IID_IMAPIFolder, MAPI_MODIFY, &ulType,
                      reinterpret_cast<IUnknown**>(pFolder.AddressOf()));
    MAPIFreeBuffer(pEid);
    return pFolder;
}

std::string NewMessage(IMsgStore* pStore, IMAPIFolder* pFolder, LONG lStamp) {
    ComPtr<IMessage> pMsg;
    if (FAILED(pFolder->CreateMessage(nullptr, 0, pMsg.AddressOf())))
        return {};
    if (lStamp != 0) {
        SPropValue value{};
        value.ulPropTag = GetIdMapperTags(pStore).ulOstIdTag;
        value.Value.l = lStamp;
        HrSetOneProp(pMsg.Get(), &value);
    }
    if (FAILED(pMsg->SaveChanges(KEEP_OPEN_READWRITE)))
        return {};
    LPSPropValue pEid = nullptr;
    if (FAILED(HrGetOneProp(pMsg.Get(), PR_ENTRYID, &pEid)))
        return {};
    std::string eid(reinterpret_cast<char*>(pEid->Value.bin.lpb), pEid->Value.bin.cb);
    MAPIFreeBuffer(pEid);
    return eid;
}

ULONG PstIdOf(const std::string& eid) {
    ULONG ul = 0;
    if (eid.size() == kPstEntryIdSize)
        std::memcpy(&ul, eid.data() + 20, 4);
    return ul;
}

namespace {

ComPtr<IMAPIProp> OpenNode(IMsgStore* pStore, ULONG ulPstId, ULONG ulFlags) {
    RecordKey key{};
    ComPtr<IMAPIProp> pObj;
    if (!ReadStoreRecordKey(pStore, &key))
        return pObj;
    std::string eid = MakePstEntryId(key, ulPstId);
    ULONG ulType = 0;
    pStore->OpenEntry(ULONG(eid.size()), reinterpret_cast<LPENTRYID>(eid.data()), &IID_IMAPIProp, ulFlags, &ulType,
                      reinterpret_cast<IUnknown**>(pObj.AddressOf()));
    return pObj;
}

}  // namespace

LONG StampOf(IMsgStore* pStore, ULONG ulPstId) {
    ComPtr<IMAPIProp> pObj = OpenNode(pStore, ulPstId, 0);
    if (!pObj)
        return -1;
    LPSPropValue pProp = nullptr;
    if (FAILED(HrGetOneProp(pObj.Get(), GetIdMapperTags(pStore).ulOstIdTag, &pProp)))
        return 0;
    const LONG l = pProp->Value.l;
    MAPIFreeBuffer(pProp);
    return l;
}

HRESULT SetStamp(IMsgStore* pStore, ULONG ulPstId, LONG lStamp) {
    ComPtr<IMAPIProp> pObj = OpenNode(pStore, ulPstId, MAPI_MODIFY);
    if (!pObj)
        return MAPI_E_NOT_FOUND;
    return WriteStamp(pObj.Get(), GetIdMapperTags(pStore).ulOstIdTag, lStamp);
}

HRESULT DeleteMessage(IMsgStore*, IMAPIFolder* pFolder, const std::string& eid) {
    SBinary bin{ULONG(eid.size()), reinterpret_cast<LPBYTE>(const_cast<char*>(eid.data()))};
    ENTRYLIST list{1, &bin};
    return pFolder->DeleteMessages(&list, 0, nullptr, 0);
}

std::vector<BYTE> ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::filesystem::path& path, const std::vector<BYTE>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::vector<std::string> FindInconsistencies(IMsgStore* pStore, IdMapper& mapper, const std::filesystem::path& idmPath,
                                             bool bAllowTentative) {
    std::vector<std::string> problems;
    auto* pImpl = dynamic_cast<FileMapper*>(mapper.GetImpl());
    if (!pImpl)
        return {"no file mapper"};
    const std::vector<BYTE> bytes = ReadFile(idmPath);
    const IdmLayoutCheck layout = CheckIdmLayout(bytes.data(), bytes.size());
    if (layout.layout != IdmLayout::Ok)
        return {"layout: " + Platform::ToUtf8(layout.wsProblem)};
    std::map<ULONG, ULONG> forward;
    std::set<ULONG> objects;
    const bool bChecks = layout.header.ulFlags == kIdmFlagRecordChecks;
    ULONG cTentative = 0;
    for (ULONG slot = 0; slot < layout.ulSlotsInFile; ++slot) {
        const IdmRecord r = ReadIdmRecord(bytes.data(), slot);
        const IdmRecordState state = ClassifyIdmRecord(r, bChecks);
        const std::string where = "slot " + std::to_string(slot) + " (" + std::to_string(LONG(r.ulOstId)) + "->" +
                                  std::to_string(r.ulPstId) + "): ";
        if (state == IdmRecordState::Bad || (state == IdmRecordState::Torn && !bAllowTentative))
            problems.push_back(where + "damaged or torn");
        if (state != IdmRecordState::Valid)
            continue;
        if (r.bTentative != 0) {
            ++cTentative;
            if (!bAllowTentative)
                problems.push_back(where + "still tentative");
        }
        if (r.bTentative & kTentativeDel)
            continue;
        if (!forward.emplace(r.ulOstId, r.ulPstId).second)
            problems.push_back(where + "OstID mapped twice");
        if (!objects.insert(r.ulPstId).second)
            problems.push_back(where + "PstID mapped twice");
        const LONG lStamp = StampOf(pStore, r.ulPstId);
        if (lStamp != LONG(r.ulOstId))
            problems.push_back(where + "object stamp is " + std::to_string(lStamp));
        if (pImpl->LookupPstId(LONG(r.ulOstId)) != r.ulPstId)
            problems.push_back(where + "lookup disagrees");
    }
    if (!bAllowTentative && layout.header.ulTentativeCount != 0)
        problems.push_back("header tentative count " + std::to_string(layout.header.ulTentativeCount));
    if (mapper.Size() != forward.size())
        problems.push_back("size " + std::to_string(mapper.Size()) + " for " + std::to_string(forward.size()) +
                           " records");
    return problems;
}

void ExpectConsistent(IMsgStore* pStore, IdMapper& mapper, const std::filesystem::path& idmPath) {
    for (const std::string& problem : FindInconsistencies(pStore, mapper, idmPath))
        ADD_FAILURE() << problem;
}

std::map<ULONG, ULONG> SolidRecords(const std::vector<BYTE>& bytes) {
    std::map<ULONG, ULONG> solid;
    const IdmLayoutCheck layout = CheckIdmLayout(bytes.data(), bytes.size());
    if (layout.layout == IdmLayout::Damaged)
        return solid;
    for (ULONG slot = 0; slot < layout.ulSlotsInFile; ++slot) {
        const IdmRecord r = ReadIdmRecord(bytes.data(), slot);
        if (r.bTentative == 0 &&
            ClassifyIdmRecord(r, layout.header.ulFlags == kIdmFlagRecordChecks) == IdmRecordState::Valid)
            solid[r.ulOstId] = r.ulPstId;
    }
    return solid;
}

void MapperFixture::SetUp() {
    m_path = m_home.Path() / "test.osd";
    m_store = OpenStore(m_path, true);
    ASSERT_TRUE(m_store);
    m_inbox = Inbox(m_store.Get());
    ASSERT_TRUE(m_inbox);
    SetIdmVerified(1);
}

void MapperFixture::TearDown() {
    m_inbox = nullptr;
    m_store = nullptr;
}

std::unique_ptr<IdMapper> MapperFixture::NewMapper() {
    return std::make_unique<IdMapper>(nullptr, m_store.Get(), IdMapperTypeItem);
}

}  // namespace IdMapTest
