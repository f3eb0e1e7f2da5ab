#include "Util/Log/Log.h"

#include <pthread.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "Platform/Base/Paths.h"
#include "Platform/Base/Text.h"
#include "Platform/Base/Utf.h"
#include "Platform/Xml/Dom.h"
#include "Util/Log/LogFile.h"
#include "Util/Log/LogFormat.h"
#include "Util/Log/LogLine.h"
#include "Util/Time/Clock.h"

namespace Ostrel::Util {

OSNLogging g_logger;

namespace {

// The XML layer repairs text that XML cannot hold (a request would otherwise be refused whole on
// every retry); the log tells that it did.
const bool g_bXmlRepairsLogged = [] {
    Platform::Xml::SetTextRepairObserver([](size_t cReplaced) {
        OSTLOG_WARN(L"%d character(s) that XML cannot hold were replaced in the text of a document",
                    static_cast<int>(cReplaced));
    });
    return true;
}();

}  // namespace

namespace {

constexpr DWORD kDefaultLevelMask = 1 | 4;
constexpr DWORD kAllBits = 0xFFFFFFFF;
constexpr ULONGLONG kDefaultMaxFileSize = 10ull << 20;
constexpr unsigned kDefaultGenerations = 4;

struct LogState {
    std::atomic<bool> bEnabled{true};
    std::atomic<DWORD> dwLevelMask{kDefaultLevelMask};
    std::atomic<DWORD> dwCategoryMask{kAllBits};
    std::atomic<DWORD> dwDetail{0};
    std::atomic<int> nEverythingCaptures{0};
    std::atomic<int> nCaptures{0};

    std::mutex fileMutex;  // guards the members below it up to captureMutex
    RotatingLogFile file;
    std::filesystem::path pathExplicit;  // SetLogFilePath
    std::filesystem::path pathFromEnv;   // OSTREL_LOG_FILE
    ULONGLONG ullMaxSize = kDefaultMaxFileSize;
    unsigned uGenerations = kDefaultGenerations;
    bool bDefaultPath = false;   // the file follows OSTREL_HOME
    std::string sHomeAtResolve;  // OSTREL_HOME when the default path was resolved
    // Lines the file refused since it last took one; changed under fileMutex, read before it too.
    std::atomic<DWORD> ulLostLines{0};

    std::mutex captureMutex;
    std::vector<LogCapture*> vecCaptures;
};

void LoadEnvironment(LogState& state);

// Created on first use and never destroyed, so lines logged during static construction or
// teardown of other objects are safe.
LogState& State() {
    static LogState* s_pState = [] {
        LogState* pState = new LogState;
        LoadEnvironment(*pState);
        return pState;
    }();
    return *s_pState;
}

thread_local bool t_bThreadDisabled = false;
thread_local bool t_bInLogger = false;  // stops a sink that logs from recursing
thread_local std::wstring t_wsThreadName;
thread_local std::string t_sThreadName;  // the same in UTF-8, as lines carry it

DWORD ParseMask(const char* pszValue, DWORD dwFallback) {
    if (!pszValue || !*pszValue)
        return dwFallback;
    if (Platform::EqualsNoCaseAscii(pszValue, "all"))
        return kAllBits;
    char* pEnd = nullptr;
    unsigned long ulValue = std::strtoul(pszValue, &pEnd, 0);
    return (pEnd && *pEnd == 0) ? static_cast<DWORD>(ulValue) : dwFallback;
}

DWORD ParseDetail(const char* pszValue) {
    if (!pszValue || !*pszValue)
        return 0;
    if (*pszValue >= '0' && *pszValue <= '9')
        return ParseMask(pszValue, 0);
    DWORD dwDetail = 0;
    std::string sValue(pszValue);
    size_t pos = 0;
    while (pos <= sValue.size()) {
        size_t end = sValue.find(',', pos);
        std::string sItem = sValue.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (Platform::EqualsNoCaseAscii(sItem, "msginfo"))
            dwDetail |= kLogDetailMsgInfo;
        else if (Platform::EqualsNoCaseAscii(sItem, "http"))
            dwDetail |= kLogDetailHTTP;
        else if (Platform::EqualsNoCaseAscii(sItem, "all"))
            dwDetail = kAllBits;
        if (end == std::string::npos)
            break;
        pos = end + 1;
    }
    return dwDetail;
}

void LoadEnvironment(LogState& state) {
    const char* pszLog = std::getenv("OSTREL_LOG");
    bool bOff = pszLog && (std::strcmp(pszLog, "0") == 0 || Platform::EqualsNoCaseAscii(pszLog, "off") ||
                           Platform::EqualsNoCaseAscii(pszLog, "false"));
    state.bEnabled = !bOff;
    state.dwLevelMask = ParseMask(std::getenv("OSTREL_LOG_LEVEL"), kDefaultLevelMask);
    state.dwCategoryMask = ParseMask(std::getenv("OSTREL_LOG_CATEGORY"), kAllBits);
    state.dwDetail = ParseDetail(std::getenv("OSTREL_LOG_DETAIL"));

    std::lock_guard<std::mutex> guard(state.fileMutex);
    const char* pszFile = std::getenv("OSTREL_LOG_FILE");
    state.pathFromEnv = (pszFile && *pszFile) ? std::filesystem::path(pszFile) : std::filesystem::path();
    const char* pszSize = std::getenv("OSTREL_LOG_MAX_SIZE");
    state.ullMaxSize = (pszSize && *pszSize) ? std::strtoull(pszSize, nullptr, 0) : kDefaultMaxFileSize;
    if (state.ullMaxSize == 0)
        state.ullMaxSize = kDefaultMaxFileSize;
    const char* pszGenerations = std::getenv("OSTREL_LOG_GENERATIONS");
    state.uGenerations =
        (pszGenerations && *pszGenerations)
            ? static_cast<unsigned>(std::min<unsigned long>(std::strtoul(pszGenerations, nullptr, 10), 100))
            : kDefaultGenerations;
    state.file.Close();
    state.file.Configure(std::filesystem::path(), state.ullMaxSize, state.uGenerations);
}

// Compared for every line: no copy.
const char* HomeSetting() {
    const char* pszHome = std::getenv("OSTREL_HOME");
    return pszHome ? pszHome : "";
}

// Under fileMutex: points the file at the path the settings give, resolving the default lazily.
// A default path is resolved again when OSTREL_HOME has changed since (tests switch homes).
void ResolveFile(LogState& state) {
    if (state.file.IsConfigured()) {
        if (!state.bDefaultPath || state.sHomeAtResolve == HomeSetting())
            return;
        state.file.Close();
    }
    std::filesystem::path path = state.pathExplicit;
    if (path.empty())
        path = state.pathFromEnv;
    state.bDefaultPath = path.empty();
    if (state.bDefaultPath) {
        state.sHomeAtResolve = HomeSetting();
        path = Platform::OstrelHome() / "logs" / "ostrel.log";
    }
    state.file.Configure(path, state.ullMaxSize, state.uGenerations);
}

bool PassesSwitches(const LogState& state, DWORD dwLevel, DWORD dwCategory, bool bError) {
    if (!state.bEnabled.load(std::memory_order_relaxed))
        return false;
    if (bError || (dwCategory & (kLogCategoryError | kLogCategoryWarning)))
        return true;
    if (dwLevel != 0 && !(dwLevel & state.dwLevelMask.load(std::memory_order_relaxed)))
        return false;
    return dwCategory == 0 || (dwCategory & state.dwCategoryMask.load(std::memory_order_relaxed));
}

std::string_view BaseName(const char* pszFile) {
    if (!pszFile)
        return std::string_view();
    const char* pSlash = std::strrchr(pszFile, '/');
    return pSlash ? pSlash + 1 : pszFile;
}

// A full disk or a file size limit drops lines; once the file takes lines again it says how many
// are missing, so the gap is not mistaken for a quiet time. Called under fileMutex with the note's
// head (time stamp) made before it: the clock may take a lock of its own.
void NoteLostLines(LogState& state, std::string sNote, ULONGLONG ullTick) {
    sNote += std::to_string(state.ulLostLines.load());
    sNote += " earlier log line(s) could not be written\n";
    if (state.file.Append(sNote, ullTick))
        state.ulLostLines = 0;
}

}  // namespace

std::string QualifiedFunctionName(std::string_view sPretty) {
    size_t posWith = sPretty.find(" [with ");
    if (posWith != std::string_view::npos)
        sPretty = sPretty.substr(0, posWith);
    size_t posClose = sPretty.rfind(')');
    if (posClose == std::string_view::npos)
        return std::string(sPretty);
    // The parameter list: walk back from its closing parenthesis to the matching opening one.
    int nDepth = 0;
    size_t posOpen = posClose + 1;
    for (size_t i = posClose + 1; i-- > 0;) {
        if (sPretty[i] == ')')
            ++nDepth;
        else if (sPretty[i] == '(' && --nDepth == 0) {
            posOpen = i;
            break;
        }
    }
    if (posOpen > posClose)
        return std::string(sPretty);
    std::string_view sName = sPretty.substr(0, posOpen);
    // The name starts after the last space outside brackets (the return type ends there).
    int nNesting = 0;
    size_t posStart = 0;
    for (size_t i = sName.size(); i-- > 0;) {
        char ch = sName[i];
        if (ch == ')' || ch == '>' || ch == ']')
            ++nNesting;
        else if (ch == '(' || ch == '<' || ch == '[')
            --nNesting;
        else if (ch == ' ' && nNesting == 0) {
            posStart = i + 1;
            break;
        }
    }
    std::string sResult(sName.substr(posStart));
    // "operator<" and friends keep their symbol; only a leading '*' or '&' of a return type goes.
    while (!sResult.empty() && (sResult[0] == '*' || sResult[0] == '&'))
        sResult.erase(0, 1);
    return sResult;
}

bool OSNLogging::IsLoggingEnabled() const {
    return State().bEnabled;
}
void OSNLogging::SetLoggingEnabled(bool bEnabled) {
    State().bEnabled = bEnabled;
}
DWORD OSNLogging::GetLevelMask() const {
    return State().dwLevelMask;
}
void OSNLogging::SetLevelMask(DWORD dwMask) {
    State().dwLevelMask = dwMask;
}
DWORD OSNLogging::GetCategoryMask() const {
    return State().dwCategoryMask;
}
void OSNLogging::SetCategoryMask(DWORD dwMask) {
    State().dwCategoryMask = dwMask;
}
DWORD OSNLogging::GetLogDetail() const {
    return State().dwDetail;
}
void OSNLogging::SetLogDetail(DWORD dwDetail) {
    State().dwDetail = dwDetail;
}

BOOL OSNLogging::GetLogDetailCmntMsgInfo() const {
    return (State().dwDetail & kLogDetailMsgInfo) ? TRUE : FALSE;
}
BOOL OSNLogging::GetLogDetailCmntHTTP() const {
    return (State().dwDetail & kLogDetailHTTP) ? TRUE : FALSE;
}

BOOL OSNLogging::IsLoggingCmntLevel(DWORD dwLevel) const {
    const LogState& state = State();
    if (state.nEverythingCaptures.load(std::memory_order_relaxed) > 0)
        return TRUE;
    if (!state.bEnabled)
        return FALSE;
    return (dwLevel == 0 || (dwLevel & state.dwLevelMask)) ? TRUE : FALSE;
}

bool OSNLogging::WouldLog(DWORD dwLevel, DWORD dwCategory, bool bError) const {
    if (t_bThreadDisabled || t_bInLogger)
        return false;
    const LogState& state = State();
    if (state.nEverythingCaptures.load(std::memory_order_relaxed) > 0)
        return true;
    return PassesSwitches(state, dwLevel, dwCategory, bError);
}

void OSNLogging::DisableLoggingForThisThread() {
    t_bThreadDisabled = true;
}
void OSNLogging::EnableLoggingForThisThread() {
    t_bThreadDisabled = false;
}
bool OSNLogging::IsLoggingForThisThread() const {
    return !t_bThreadDisabled;
}

void OSNLogging::SetThreadName(const wchar_t* pwszName) {
    try {
        t_wsThreadName = pwszName ? pwszName : L"";
        t_sThreadName = Platform::ToUtf8(t_wsThreadName);
        const std::string& sName = t_sThreadName;
        // The kernel keeps 15 bytes; cut on a character boundary.
        size_t cb = std::min<size_t>(sName.size(), 15);
        while (cb > 0 && cb < sName.size() && (static_cast<unsigned char>(sName[cb]) & 0xC0) == 0x80)
            --cb;
        pthread_setname_np(pthread_self(), sName.substr(0, cb).c_str());
    } catch (...) {
    }
}

void OSNLogging::SetThreadName(const char* pszName) {
    try {
        SetThreadName(Platform::FromUtf8(pszName ? pszName : "").c_str());
    } catch (...) {
    }
}

std::wstring OSNLogging::GetThreadName() const {
    return t_wsThreadName;
}

void OSNLogging::SetLogFilePath(const std::filesystem::path& path) {
    LogState& state = State();
    std::lock_guard<std::mutex> guard(state.fileMutex);
    state.pathExplicit = path;
    state.ulLostLines = 0;
    state.file.Close();
    state.file.Configure(std::filesystem::path(), state.ullMaxSize, state.uGenerations);
}

std::filesystem::path OSNLogging::GetLogFilePath() const {
    LogState& state = State();
    std::lock_guard<std::mutex> guard(state.fileMutex);
    ResolveFile(state);
    return state.file.GetPath();
}

void OSNLogging::SetMaxFileSize(ULONGLONG ullBytes) {
    LogState& state = State();
    std::lock_guard<std::mutex> guard(state.fileMutex);
    state.ullMaxSize = ullBytes ? ullBytes : kDefaultMaxFileSize;
    if (state.file.IsConfigured())
        state.file.Configure(state.file.GetPath(), state.ullMaxSize, state.uGenerations);
}

void OSNLogging::SetMaxGenerations(unsigned uGenerations) {
    LogState& state = State();
    std::lock_guard<std::mutex> guard(state.fileMutex);
    state.uGenerations = std::min(uGenerations, 100u);
    if (state.file.IsConfigured())
        state.file.Configure(state.file.GetPath(), state.ullMaxSize, state.uGenerations);
}

void OSNLogging::CloseLogFile() {
    LogState& state = State();
    std::lock_guard<std::mutex> guard(state.fileMutex);
    state.ulLostLines = 0;
    state.file.Close();
    state.file.Configure(std::filesystem::path(), state.ullMaxSize, state.uGenerations);
}

void OSNLogging::ReloadSettingsFromEnvironment() {
    LoadEnvironment(State());
}

void OSNLogging::Write(DWORD dwLevel, DWORD dwCategory, bool bError, const char* pszFile, const char* pszFunction,
                       int nLine, DWORD dwFlags, std::wstring wsMessage) {
    if (t_bThreadDisabled || t_bInLogger)
        return;
    t_bInLogger = true;
    try {
        LogState& state = State();
        bool bPasses = PassesSwitches(state, dwLevel, dwCategory, bError);
        bool bCapturing = state.nCaptures.load(std::memory_order_relaxed) > 0;
        if (bPasses || bCapturing) {
            while (!wsMessage.empty() && (wsMessage.back() == L'\n' || wsMessage.back() == L'\r'))
                wsMessage.pop_back();
            const bool bErrorLine = bError || (dwCategory & kLogCategoryError);
            const std::string sFunction = QualifiedFunctionName(pszFunction ? pszFunction : "");
            const std::string_view sFile = BaseName(pszFile);

            std::string sLine;
            sLine.reserve(80 + t_sThreadName.size() + sFunction.size() + wsMessage.size() + sFile.size());
            AppendLineHead(sLine, dwLevel, dwCategory, bError, t_sThreadName);
            if (!sFunction.empty()) {
                sLine += sFunction;
                sLine += ": ";
            }
            sLine += Platform::ToUtf8(wsMessage);
            bool bLocation =
                bErrorLine || (dwCategory & kLogCategoryWarning) || dwLevel == 0 || (dwFlags & kTraceWithLocation);
            if (bLocation && !sFile.empty())
                AppendLineLocation(sLine, sFile, nLine);

            if (bPasses) {
                sLine += '\n';
                // Whatever reads the clock does so before fileMutex is taken: an installed clock may
                // lock, and must never be locked inside the log's own lock.
                std::string sNoteHead;
                if (state.ulLostLines > 0)
                    AppendLineHead(sNoteHead, 0, kLogCategoryWarning, false, t_sThreadName);
                const ULONGLONG ullTick = CurrentClock().GetTickCount64();
                std::lock_guard<std::mutex> guard(state.fileMutex);
                ResolveFile(state);
                if (state.ulLostLines > 0 && !sNoteHead.empty())
                    NoteLostLines(state, std::move(sNoteHead), ullTick);
                if (!state.file.Append(sLine, ullTick))
                    ++state.ulLostLines;
                sLine.pop_back();
            }
            if (bCapturing) {
                LogRecord record;
                record.dwLevel = dwLevel;
                record.dwCategory = dwCategory;
                record.bError = bErrorLine;
                record.sFile = sFile;
                record.wsFunction = Platform::FromUtf8(sFunction);
                record.nLine = nLine;
                record.wsThreadName = t_wsThreadName;
                record.wsMessage = std::move(wsMessage);
                record.wsLine = Platform::FromUtf8(sLine);
                std::lock_guard<std::mutex> guard(state.captureMutex);
                for (LogCapture* pCapture : state.vecCaptures) {
                    if (bPasses || pCapture->GetMode() == LogCapture::Mode::Everything)
                        pCapture->Add(record);
                }
            }
        }
    } catch (...) {
        // A line that cannot be built or written is dropped.
    }
    t_bInLogger = false;
}

void OSNLogging::AddCapture(LogCapture* pCapture) {
    LogState& state = State();
    std::lock_guard<std::mutex> guard(state.captureMutex);
    state.vecCaptures.push_back(pCapture);
    ++state.nCaptures;
    if (pCapture->GetMode() == LogCapture::Mode::Everything)
        ++state.nEverythingCaptures;
}

void OSNLogging::RemoveCapture(LogCapture* pCapture) {
    LogState& state = State();
    std::lock_guard<std::mutex> guard(state.captureMutex);
    auto it = std::find(state.vecCaptures.begin(), state.vecCaptures.end(), pCapture);
    if (it == state.vecCaptures.end())
        return;
    state.vecCaptures.erase(it);
    --state.nCaptures;
    if (pCapture->GetMode() == LogCapture::Mode::Everything)
        --state.nEverythingCaptures;
}

bool TraceVarArgs::Active() const {
    return m_bEnabled && g_logger.WouldLog(m_dwLevel, m_dwCategory, m_bError != FALSE);
}

void TraceVarArgs::VTrace(const wchar_t* pwszFormat, va_list args) const {
    if (!Active())
        return;
    try {
        g_logger.Write(m_dwLevel, m_dwCategory, m_bError != FALSE, m_pszFile, m_pszFunction, m_nLine, m_dwFlags,
                       VFormatW(pwszFormat, args));
    } catch (...) {
    }
}

void TraceVarArgs::VTrace(const char* pszFormat, va_list args) const {
    if (!Active())
        return;
    try {
        g_logger.Write(m_dwLevel, m_dwCategory, m_bError != FALSE, m_pszFile, m_pszFunction, m_nLine, m_dwFlags,
                       VFormatW(pszFormat, args));
    } catch (...) {
    }
}

void TraceVarArgs::operator()(const wchar_t* pwszFormat, ...) const {
    va_list args;
    va_start(args, pwszFormat);
    VTrace(pwszFormat, args);
    va_end(args);
}

void TraceVarArgs::operator()(const char* pszFormat, ...) const {
    va_list args;
    va_start(args, pszFormat);
    VTrace(pszFormat, args);
    va_end(args);
}

CLogBlock::CLogBlock(DWORD dwLevel, DWORD dwCategory, const wchar_t* pwszFunction, const wchar_t* pwszContext)
    : m_dwLevel(dwLevel), m_dwCategory(dwCategory) {
    if (!g_logger.WouldLog(dwLevel, dwCategory))
        return;
    try {
        m_sFunction = Platform::ToUtf8(pwszFunction ? pwszFunction : L"");
        Enter(pwszContext);
    } catch (...) {
        m_bLogged = false;
    }
}

CLogBlock::CLogBlock(DWORD dwLevel, DWORD dwCategory, const char* pszFunction, const wchar_t* pwszContext)
    : m_dwLevel(dwLevel), m_dwCategory(dwCategory) {
    if (!g_logger.WouldLog(dwLevel, dwCategory))
        return;
    try {
        m_sFunction = pszFunction ? pszFunction : "";
        Enter(pwszContext);
    } catch (...) {
        m_bLogged = false;
    }
}

void CLogBlock::Enter(const wchar_t* pwszContext) {
    if (pwszContext && *pwszContext)
        m_wsContext = pwszContext;
    m_ullStartTicks = CurrentClock().GetTickCount64();
    m_bLogged = true;
    std::wstring wsMessage = m_wsContext.empty() ? L"Enter" : L"Enter (" + m_wsContext + L")";
    g_logger.Write(m_dwLevel, m_dwCategory, false, nullptr, m_sFunction.c_str(), 0, 0, std::move(wsMessage));
}

CLogBlock::~CLogBlock() {
    if (!m_bLogged)
        return;
    try {
        ULONGLONG ullElapsed = CurrentClock().GetTickCount64() - m_ullStartTicks;
        std::wstring wsMessage = m_wsContext.empty() ? L"Exit" : L"Exit (" + m_wsContext + L")";
        wsMessage += L" after " + std::to_wstring(ullElapsed) + L" ms";
        g_logger.Write(m_dwLevel, m_dwCategory, false, nullptr, m_sFunction.c_str(), 0, 0, std::move(wsMessage));
    } catch (...) {
    }
}

LogCapture::LogCapture(Mode mode) : m_mode(mode) {
    OSNLogging::AddCapture(this);
}

LogCapture::~LogCapture() {
    OSNLogging::RemoveCapture(this);
}

void LogCapture::Add(const LogRecord& record) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_vecRecords.push_back(record);
}

std::vector<LogRecord> LogCapture::Records() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_vecRecords;
}

std::vector<std::wstring> LogCapture::Messages() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    std::vector<std::wstring> vec;
    vec.reserve(m_vecRecords.size());
    for (const LogRecord& record : m_vecRecords)
        vec.push_back(record.wsMessage);
    return vec;
}

bool LogCapture::Contains(std::wstring_view wsText) const {
    return Count(wsText) > 0;
}

size_t LogCapture::Count(std::wstring_view wsText) const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return static_cast<size_t>(std::count_if(m_vecRecords.begin(), m_vecRecords.end(), [&](const LogRecord& record) {
        return record.wsMessage.find(wsText) != std::wstring::npos;
    }));
}

void LogCapture::Clear() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_vecRecords.clear();
}

}  // namespace Ostrel::Util
