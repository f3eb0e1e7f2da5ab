// Logging: one call per event, filtered by a level mask and a category mask.
//
// Level masks in use:
//   0    always logged while logging is on; written with source file and line (errors, warnings)
//   1    key events                    (on by default)
//   4    normal detail                 (on by default)
//   16   detailed tracing
//   64   verbose tracing
//   128, 256, 512  debugging detail (dumps, per-row traces)
// Category masks in use:
//   8, 16, 32, 1024, 4096   subsystem categories (32: id-mapper traces)
//   8192   information
//   16384  warnings  (always logged while logging is on, with file, function and line)
//   32768  errors    (always logged while logging is on, with file, function and line)
// A line is written when logging is on, the thread has not switched it off, and either it is an
// error or a warning, or its level is 0 or in the level mask and its category is 0 or in the
// category mask. All categories are on by default.
//
// Environment, read once at start-up (and again by ReloadSettingsFromEnvironment):
//   OSTREL_LOG            "0", "off" or "false" switches logging off
//   OSTREL_LOG_LEVEL      level mask (decimal or 0x hex), or "all"
//   OSTREL_LOG_CATEGORY   category mask, or "all"
//   OSTREL_LOG_DETAIL     detail switches: "msginfo", "http" (comma separated), "all", or a number
//   OSTREL_LOG_FILE       log file path (default OSTREL_HOME/logs/ostrel.log)
//   OSTREL_LOG_MAX_SIZE   size in bytes at which the file rotates (default 10 MiB)
//   OSTREL_LOG_GENERATIONS  rotated files kept: ostrel.log.1 (newest) ... (default 4)
//
// Formats follow the Windows conventions described in Util/LogFormat.h (wide %s is a wide string).
// Logging never throws and never changes the caller's control flow. Thread-safe.
#pragma once

#include <cstdarg>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Base/WinTypes.h"

namespace Ostrel::Util {

constexpr DWORD kLogCategoryInfo = 8192;
constexpr DWORD kLogCategoryWarning = 16384;
constexpr DWORD kLogCategoryError = 32768;

// Detail switches answered by GetLogDetailCmntMsgInfo / GetLogDetailCmntHTTP.
constexpr DWORD kLogDetailMsgInfo = 0x1;  // message details (subjects, senders) in traces
constexpr DWORD kLogDetailHTTP = 0x2;     // HTTP headers and bodies in traces

// TraceVarArgs flag: also write the source location for a line that is neither error nor warning.
constexpr DWORD kTraceWithLocation = 0x1;

// One line as it was logged; what LogCapture hands to tests.
struct LogRecord {
    DWORD dwLevel = 0;
    DWORD dwCategory = 0;
    bool bError = false;
    std::string sFile;        // base name of the source file
    std::wstring wsFunction;  // qualified function name
    int nLine = 0;
    std::wstring wsThreadName;
    std::wstring wsMessage;  // the formatted text alone
    std::wstring wsLine;     // the whole line as written to the file
};

class LogCapture;

class OSNLogging {
public:
    bool IsLoggingEnabled() const;
    void SetLoggingEnabled(bool bEnabled);
    DWORD GetLevelMask() const;
    void SetLevelMask(DWORD dwMask);
    DWORD GetCategoryMask() const;
    void SetCategoryMask(DWORD dwMask);
    DWORD GetLogDetail() const;
    void SetLogDetail(DWORD dwDetail);

    BOOL GetLogDetailCmntMsgInfo() const;
    BOOL GetLogDetailCmntHTTP() const;
    // Whether lines of this level are written (level 0: whether logging is on at all).
    BOOL IsLoggingCmntLevel(DWORD dwLevel) const;
    // Whether a line of this level and category from this thread would go anywhere.
    bool WouldLog(DWORD dwLevel, DWORD dwCategory, bool bError = false) const;

    void DisableLoggingForThisThread();
    void EnableLoggingForThisThread();
    bool IsLoggingForThisThread() const;

    // Names the calling thread in every line it logs (and for debuggers, cut to 15 bytes).
    void SetThreadName(const wchar_t* pwszName);
    void SetThreadName(const char* pszName);
    std::wstring GetThreadName() const;

    // An empty path restores the default (OSTREL_LOG_FILE, else OSTREL_HOME/logs/ostrel.log).
    void SetLogFilePath(const std::filesystem::path& path);
    // The file lines go to; resolved from the settings when not yet open.
    std::filesystem::path GetLogFilePath() const;
    void SetMaxFileSize(ULONGLONG ullBytes);
    void SetMaxGenerations(unsigned uGenerations);
    // Closes the file; the next line resolves the path again (e.g. after OSTREL_HOME changed).
    void CloseLogFile();

    void ReloadSettingsFromEnvironment();

    // Formats and dispatches one line; the work behind TraceVarArgs.
    void Write(DWORD dwLevel, DWORD dwCategory, bool bError, const char* pszFile, const char* pszFunction, int nLine,
               DWORD dwFlags, std::wstring wsMessage);

private:
    friend class LogCapture;
    static void AddCapture(LogCapture* pCapture);
    static void RemoveCapture(LogCapture* pCapture);
};

extern OSNLogging g_logger;

// One log line: built with where it comes from, then called with a format and its arguments,
// e.g. TraceVarArgs(TRUE, FALSE, 4, 8192, __FILE__, "Ostrel::Rpc::Connection::Send", __LINE__, 0)(L"%s", p).
// The function name may be __PRETTY_FUNCTION__; it is reduced to its qualified name.
class TraceVarArgs {
public:
    TraceVarArgs(BOOL bEnabled, BOOL bError, DWORD dwLevel, DWORD dwCategory, const char* pszFile,
                 const char* pszFunction, int nLine, DWORD dwFlags = 0)
        : m_bEnabled(bEnabled),
          m_bError(bError),
          m_dwLevel(dwLevel),
          m_dwCategory(dwCategory),
          m_pszFile(pszFile),
          m_pszFunction(pszFunction),
          m_nLine(nLine),
          m_dwFlags(dwFlags) {}

    void operator()(const wchar_t* pwszFormat, ...) const;
    void operator()(const char* pszFormat, ...) const;
    void VTrace(const wchar_t* pwszFormat, va_list args) const;
    void VTrace(const char* pszFormat, va_list args) const;

private:
    bool Active() const;

    BOOL m_bEnabled;
    BOOL m_bError;
    DWORD m_dwLevel;
    DWORD m_dwCategory;
    const char* m_pszFile;
    const char* m_pszFunction;
    int m_nLine;
    DWORD m_dwFlags;
};

// Logs entry to and exit from a scope, with the time spent inside. Whether the pair is logged is
// decided on entry, so a scope never shows only half of it.
class CLogBlock {
public:
    CLogBlock(DWORD dwLevel, DWORD dwCategory, const wchar_t* pwszFunction, const wchar_t* pwszContext = nullptr);
    CLogBlock(DWORD dwLevel, DWORD dwCategory, const char* pszFunction, const wchar_t* pwszContext = nullptr);
    ~CLogBlock();
    CLogBlock(const CLogBlock&) = delete;
    CLogBlock& operator=(const CLogBlock&) = delete;

private:
    void Enter(const wchar_t* pwszContext);

    DWORD m_dwLevel;
    DWORD m_dwCategory;
    bool m_bLogged = false;
    ULONGLONG m_ullStartTicks = 0;
    std::string m_sFunction;  // UTF-8
    std::wstring m_wsContext;
};

// Collects logged lines while it exists, for tests. Everything: every line from threads that have
// not switched logging off, whatever the switches and masks say (and IsLoggingCmntLevel answers
// yes while it exists). AsConfigured: only the lines the switches and masks let through.
class LogCapture {
public:
    enum class Mode { Everything, AsConfigured };

    explicit LogCapture(Mode mode = Mode::Everything);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogRecord> Records() const;
    std::vector<std::wstring> Messages() const;
    // Whether / how many captured messages contain the text.
    bool Contains(std::wstring_view wsText) const;
    size_t Count(std::wstring_view wsText) const;
    void Clear();

    Mode GetMode() const { return m_mode; }
    void Add(const LogRecord& record);

private:
    Mode m_mode;
    mutable std::mutex m_mutex;
    std::vector<LogRecord> m_vecRecords;
};

// Reduces a __PRETTY_FUNCTION__ text to the qualified name ("void A::B::f(int) const" -> "A::B::f").
std::string QualifiedFunctionName(std::string_view sPretty);

}  // namespace Ostrel::Util

// Convenience macros. The arguments are only evaluated when the line would be logged.
#define OSTLOG(level, category, fmt, ...)                                                                           \
    do {                                                                                                            \
        if (::Ostrel::Util::g_logger.WouldLog((level), (category)))                                                 \
            ::Ostrel::Util::TraceVarArgs(TRUE, FALSE, (level), (category), __FILE__, __PRETTY_FUNCTION__, __LINE__, \
                                         0)(fmt __VA_OPT__(, ) __VA_ARGS__);                                        \
    } while (0)

#define OSTLOG_ERROR(fmt, ...)                                                                              \
    do {                                                                                                    \
        if (::Ostrel::Util::g_logger.WouldLog(0, ::Ostrel::Util::kLogCategoryError, true))                  \
            ::Ostrel::Util::TraceVarArgs(TRUE, TRUE, 0, ::Ostrel::Util::kLogCategoryError, __FILE__,        \
                                         __PRETTY_FUNCTION__, __LINE__, 0)(fmt __VA_OPT__(, ) __VA_ARGS__); \
    } while (0)

#define OSTLOG_WARN(fmt, ...)                                                                               \
    do {                                                                                                    \
        if (::Ostrel::Util::g_logger.WouldLog(0, ::Ostrel::Util::kLogCategoryWarning))                      \
            ::Ostrel::Util::TraceVarArgs(TRUE, FALSE, 0, ::Ostrel::Util::kLogCategoryWarning, __FILE__,     \
                                         __PRETTY_FUNCTION__, __LINE__, 0)(fmt __VA_OPT__(, ) __VA_ARGS__); \
    } while (0)

#define OSTLOG_INFO(level, fmt, ...) OSTLOG((level), ::Ostrel::Util::kLogCategoryInfo, fmt __VA_OPT__(, ) __VA_ARGS__)

// A CLogBlock for the enclosing function, with an optional context text.
#define OSTLOG_BLOCK_NAME2(line) ostLogBlock##line
#define OSTLOG_BLOCK_NAME(line) OSTLOG_BLOCK_NAME2(line)
#define OSTLOG_BLOCK(level, category, ...)                                     \
    ::Ostrel::Util::CLogBlock OSTLOG_BLOCK_NAME(__LINE__)((level), (category), \
                                                          __PRETTY_FUNCTION__ __VA_OPT__(, ) __VA_ARGS__)
