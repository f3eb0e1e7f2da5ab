// `ostrel zip FILE`: lists the entries of a message archive as the server sends it (name, kind,
// size; tab-separated or JSON) and, with --extract DIR, writes each entry into DIR. The archive is
// read front to back through the library's reader, so a pipe works too ("-" is standard input).
// A damaged archive lists what could be read and fails with one line.
#include "ArchiveReader.h"
#include "Args.h"
#include "FdStream.h"
#include "LocalFiles.h"
#include "Output.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace OstrelCli {

namespace {

const char* KindName(ArchiveEntry::Kind kind) {
    switch (kind) {
        case ArchiveEntry::Kind::Meta:
            return "meta";
        case ArchiveEntry::Kind::Message:
            return "message";
        case ArchiveEntry::Kind::Error:
            return "error";
    }
    return "?";
}

// The entry's name as a plain file name inside the target directory, or nothing when it cannot
// be one (empty, ".", "..", control characters): entry names come from outside.
std::optional<std::string> SafeFileName(const std::string& name) {
    const size_t slash = name.find_last_of("/\\");
    const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    if (base.empty() || base == "." || base == "..")
        return std::nullopt;
    for (char c : base) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return std::nullopt;
    }
    return base;
}

}  // namespace

int RunZip(const std::vector<std::string>& args, Context& context) {
    ParsedArgs parsed;
    int exitCode = kExitOk;
    if (!ParseArgs("zip", args, {{"--extract", true}, {"--json"}}, 1, 1, context, parsed, exitCode))
        return exitCode;
    const std::string& file = parsed.operands[0];
    const bool bJson = parsed.Has("--json");
    const std::optional<std::string> extractDir = parsed.Value("--extract");

    Platform::ComPtr<FdStream> source = FdStream::Open(file);
    if (!source)
        return Failure("zip", "cannot open " + file + ": " + std::strerror(errno), context);
    if (extractDir) {
        std::error_code ec;
        std::filesystem::create_directories(*extractDir, ec);
        if (ec)
            return Failure("zip", "cannot create " + *extractDir + ": " + ec.message(), context);
    }

    if (bJson)
        std::fprintf(context.out, "{\"entries\":[");
    size_t count = 0;
    std::string error;
    try {
        ArchiveReader reader(source.Get());
        ArchiveEntry entry;
        while (reader.Next(entry)) {
            if (bJson) {
                std::fprintf(context.out, "%s\n  {\"name\":%s,\"kind\":\"%s\",\"size\":%llu", count ? "," : "",
                             JsonString(entry.sName).c_str(), KindName(entry.kind),
                             static_cast<unsigned long long>(entry.ullSize));
                if (entry.kind == ArchiveEntry::Kind::Error)
                    std::fprintf(context.out, ",\"text\":%s", JsonString(entry.sData).c_str());
                std::fprintf(context.out, "}");
            } else {
                std::fprintf(context.out, "%s\t%s\t%llu", TsvField(entry.sName).c_str(), KindName(entry.kind),
                             static_cast<unsigned long long>(entry.ullSize));
                if (entry.kind == ArchiveEntry::Kind::Error)
                    std::fprintf(context.out, "\t%s", TsvField(entry.sData).c_str());
                std::fprintf(context.out, "\n");
            }
            ++count;
            if (!extractDir)
                continue;
            const std::optional<std::string> name = SafeFileName(entry.sName);
            if (!name) {
                error = "entry name '" + TsvField(entry.sName) + "' cannot be a file name";
                break;
            }
            std::string content;
            if (entry.pStream && !ReadWholeStream(entry.pStream.Get(), content)) {
                error = "cannot read entry " + entry.sName;
                break;
            }
            const std::string& data = entry.pStream ? content : entry.sData;
            if (std::string why; !WriteFileAtomically(std::filesystem::path(*extractDir) / *name, data, false, why)) {
                error = why;
                break;
            }
        }
    } catch (const ArchiveError& e) {
        error = source->BytesRead() == 0 ? std::string("empty input, not an archive")
                                         : std::string("damaged archive: ") + e.what();
    }
    if (bJson)
        std::fprintf(context.out, "\n],\"count\":%zu,\"complete\":%s}\n", count, error.empty() ? "true" : "false");
    if (!error.empty())
        return Failure("zip", file + ": " + error, context);
    return kExitOk;
}

}  // namespace OstrelCli
