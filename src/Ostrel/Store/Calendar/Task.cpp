// Task wrapper: the task's own named properties.
#include "Ostrel/Store/Calendar/Appt.h"
#include "Util/Log/Log.h"
#include "Util/Time/TimeUtil.h"

namespace Ostrel::Mapi {

using N = NamedProps;

Task::Task(IMAPIProp* pProp, IMsgStore* pStore) : Appt(pProp, pStore) {
    GetRecurrencePatternRef().SetIsTask(true);
}

Task::Task(const SBinary* pEntryId, IMsgStore* pStore) : Appt(pEntryId, pStore) {
    GetRecurrencePatternRef().SetIsTask(true);
}

HRESULT Task::GetIsRecurring(BOOL* pb) {
    return GetBool(Tag(N::TASK_8126, PT_BOOLEAN), pb);
}
HRESULT Task::SetIsRecurring(BOOL b) {
    return SetBool(Tag(N::TASK_8126, PT_BOOLEAN), b);
}
ULONG Task::GetRecurringStreamTag() const {
    return Tag(N::TASK_8116_2, PT_BINARY);
}
HRESULT Task::GetTaskStatus(LONG* pl) {
    return GetLong(Tag(N::TASK_8101, PT_LONG), pl);
}
HRESULT Task::SetTaskStatus(LONG l) {
    return SetLong(Tag(N::TASK_8101, PT_LONG), l);
}
HRESULT Task::GetPercentComplete(double* pd) {
    LPSPropValue pValue = nullptr;
    const HRESULT hr = GetValue(Tag(N::TASK_8102, PT_DOUBLE), &pValue);
    if (SUCCEEDED(hr))
        *pd = pValue->Value.dbl;
    MAPIFreeBuffer(pValue);
    return hr;
}
HRESULT Task::SetPercentComplete(double d) {
    SPropValue v{};
    v.ulPropTag = Tag(N::TASK_8102, PT_DOUBLE);
    v.Value.dbl = d;
    return SetValue(v);
}
HRESULT Task::GetCompletedDate(FILETIME* pft) {
    return GetTime(Tag(N::TASK_810F, PT_SYSTIME), pft);
}
HRESULT Task::SetCompletedDate(const FILETIME* pft) {
    return SetTime(Tag(N::TASK_810F, PT_SYSTIME), pft);
}
HRESULT Task::GetDueDate(FILETIME* pft) {
    return GetTime(Tag(N::TASK_8105, PT_SYSTIME), pft);
}
HRESULT Task::SetDueDate(const FILETIME* pftUtc) {
    return SetLocalDate(Tag(N::TASK_8105, PT_SYSTIME), Tag(N::COMMON_8517, PT_SYSTIME), pftUtc);
}
HRESULT Task::GetStartDate(FILETIME* pft) {
    return GetTime(Tag(N::TASK_8104, PT_SYSTIME), pft);
}
HRESULT Task::SetStartDate(const FILETIME* pftUtc) {
    return SetLocalDate(Tag(N::TASK_8104, PT_SYSTIME), Tag(N::COMMON_8516, PT_SYSTIME), pftUtc);
}
HRESULT Task::GetTotalWork(LONG* pl) {
    return GetLong(Tag(N::TASK_8111, PT_LONG), pl);
}
HRESULT Task::SetTotalWork(LONG l) {
    return SetLong(Tag(N::TASK_8111, PT_LONG), l);
}
HRESULT Task::GetActualWork(LONG* pl) {
    return GetLong(Tag(N::TASK_8110, PT_LONG), pl);
}
HRESULT Task::SetActualWork(LONG l) {
    return SetLong(Tag(N::TASK_8110, PT_LONG), l);
}
HRESULT Task::GetDeadOccurrence(BOOL* pb) {
    return GetBool(Tag(N::TASK_8109, PT_BOOLEAN), pb);
}
HRESULT Task::SetDeadOccurrence(BOOL b) {
    return SetBool(Tag(N::TASK_8109, PT_BOOLEAN), b);
}
HRESULT Task::GetMileage(std::wstring* pws) {
    return GetText(Tag(N::COMMON_8534, PT_UNICODE), pws);
}
HRESULT Task::SetMileage(const wchar_t* pwsz) {
    return SetText(Tag(N::COMMON_8534, PT_UNICODE), pwsz);
}
HRESULT Task::GetBillingInformation(std::wstring* pws) {
    return GetText(Tag(N::COMMON_8535, PT_UNICODE), pws);
}
HRESULT Task::SetBillingInformation(const wchar_t* pwsz) {
    return SetText(Tag(N::COMMON_8535, PT_UNICODE), pwsz);
}
HRESULT Task::GetResetReminder(BOOL* pb) {
    return GetBool(Tag(N::TASK_8107, PT_BOOLEAN), pb);
}
HRESULT Task::SetResetReminder(BOOL b) {
    return SetBool(Tag(N::TASK_8107, PT_BOOLEAN), b);
}

HRESULT Task::GetCompanies(std::vector<std::wstring>* pvec) {
    LPSPropValue pValue = nullptr;
    const HRESULT hr = GetValue(Tag(N::COMMON_8539, PT_MV_UNICODE), &pValue);
    if (SUCCEEDED(hr)) {
        pvec->clear();
        for (ULONG i = 0; i < pValue->Value.MVszW.cValues; ++i)
            pvec->push_back(pValue->Value.MVszW.lppszW[i] ? pValue->Value.MVszW.lppszW[i] : L"");
    }
    MAPIFreeBuffer(pValue);
    return hr;
}

HRESULT Task::SetCompanies(const std::vector<std::wstring>& vec) {
    std::vector<wchar_t*> vecPointers;
    for (const std::wstring& ws : vec)
        vecPointers.push_back(const_cast<wchar_t*>(ws.c_str()));
    SPropValue v{};
    v.ulPropTag = Tag(N::COMMON_8539, PT_MV_UNICODE);
    v.Value.MVszW.cValues = static_cast<ULONG>(vecPointers.size());
    v.Value.MVszW.lppszW = vecPointers.data();
    return SetValue(v);
}

HRESULT Task::SetLocalDate(ULONG ulTaskTag, ULONG ulCommonTag, const FILETIME* pftUtc) {
    if (!pftUtc)
        return E_INVALIDARG;
    // Outlook's "no date" leaves the task as it is.
    if (Util::FileTimeToUInt64(*pftUtc) == kNoDate)
        return S_OK;
    SYSTEMTIME stUtc, stLocal;
    FILETIME ftLocal;
    if (!Util::FileTimeToSystemTime(pftUtc, &stUtc) ||
        !Util::SystemTimeToTzSpecificLocalTime(nullptr, &stUtc, &stLocal) ||
        !Util::SystemTimeToFileTime(&stLocal, &ftLocal)) {
        OSTLOG_ERROR(L"could not convert the date to local time");
        return E_INVALIDARG;
    }
    HRESULT hr = SetTime(ulTaskTag, &ftLocal);
    if (SUCCEEDED(hr))
        hr = SetTime(ulCommonTag, &ftLocal);
    return hr;
}

}  // namespace Ostrel::Mapi
