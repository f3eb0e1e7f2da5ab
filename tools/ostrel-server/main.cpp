// ostrel-server: the local Ostrel server simulator as a program, for the demo and manual tests.
#include "ostrel-server/Server.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace {

void Usage(std::FILE* out) {
    std::fputs(
        "usage: ostrel-server [options]\n"
        "  --port N              listen on 127.0.0.1:N (default: a free port)\n"
        "  --tls                 serve HTTPS (self-signed certificate unless --cert/--key)\n"
        "  --cert FILE --key FILE  PEM certificate and key for HTTPS\n"
        "  --write-cert FILE     write the certificate in use (PEM) to FILE\n"
        "  --basic-auth U:P      answer 401 without these Basic credentials\n"
        "  --proxy-auth U:P      answer 407 to proxy requests without these credentials\n"
        "fault injection (combined into one fault; all requests unless --times/--match):\n"
        "  --status N            answer with HTTP status N\n"
        "  --soap-fault CODE     answer with a SOAP fault carrying the error code CODE\n"
        "  --header NAME=VALUE   add a response header (e.g. X-Ostrel-Fault-Code=...)\n"
        "  --dos-filter          add the header DoSFilter=unavailable\n"
        "  --delay MS            wait MS milliseconds before answering\n"
        "  --chunked             leave out the content length\n"
        "  --drop-mid-body       close the connection in the middle of the body\n"
        "  --pad BYTES           grow SOAP answers by BYTES bytes\n"
        "  --match NAME|/PATH    only for this SOAP call or path prefix\n"
        "  --times N             only for the next N matching requests\n",
        out);
}

bool SplitPair(const std::string& text, char sep, std::string& a, std::string& b) {
    size_t at = text.find(sep);
    if (at == std::string::npos)
        return false;
    a = text.substr(0, at);
    b = text.substr(at + 1);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    OstrelServer::ServerOptions options;
    OstrelServer::Fault fault;
    fault.times = -1;
    bool anyFault = false;
    std::string certFile, keyFile, writeCert, basicAuth, proxyAuth;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "ostrel-server: %s needs a value\n", arg.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else if (arg == "--port") {
            options.port = std::atoi(value().c_str());
        } else if (arg == "--tls") {
            options.tls = true;
        } else if (arg == "--cert") {
            certFile = value();
        } else if (arg == "--key") {
            keyFile = value();
        } else if (arg == "--write-cert") {
            writeCert = value();
        } else if (arg == "--basic-auth") {
            basicAuth = value();
        } else if (arg == "--proxy-auth") {
            proxyAuth = value();
        } else if (arg == "--status") {
            fault.httpStatus = std::atoi(value().c_str());
            anyFault = true;
        } else if (arg == "--soap-fault") {
            fault.soapFaultCode = value();
            anyFault = true;
        } else if (arg == "--header") {
            std::string name, v;
            if (!SplitPair(value(), '=', name, v)) {
                std::fprintf(stderr, "ostrel-server: --header needs NAME=VALUE\n");
                return 2;
            }
            fault.headers.emplace_back(name, v);
            anyFault = true;
        } else if (arg == "--dos-filter") {
            fault.headers.emplace_back("DoSFilter", "unavailable");
            anyFault = true;
        } else if (arg == "--delay") {
            fault.delayMs = std::atoi(value().c_str());
            anyFault = true;
        } else if (arg == "--chunked") {
            fault.chunked = true;
            anyFault = true;
        } else if (arg == "--drop-mid-body") {
            fault.dropMidBody = true;
            anyFault = true;
        } else if (arg == "--pad") {
            fault.padBytes = std::strtoull(value().c_str(), nullptr, 10);
            anyFault = true;
        } else if (arg == "--match") {
            fault.match = value();
        } else if (arg == "--times") {
            fault.times = std::atoi(value().c_str());
        } else {
            std::fprintf(stderr, "ostrel-server: unknown option %s\n", arg.c_str());
            Usage(stderr);
            return 2;
        }
    }

    // Block the stop signals before any thread starts, so that only sigwait sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        if (!certFile.empty() || !keyFile.empty()) {
            if (certFile.empty() || keyFile.empty()) {
                std::fprintf(stderr, "ostrel-server: --cert and --key go together\n");
                return 2;
            }
            options.tls = true;
            options.certificate = OstrelServer::Certificate::Load(certFile, keyFile);
        }
        OstrelServer::Server server(options);
        std::string user, password;
        if (!basicAuth.empty() && SplitPair(basicAuth, ':', user, password))
            server.RequireBasicAuth(user, password);
        if (!proxyAuth.empty() && SplitPair(proxyAuth, ':', user, password))
            server.RequireProxyAuth(user, password);
        if (anyFault)
            server.Faults().Add(fault);
        server.Start();
        if (server.IsTls() && !writeCert.empty()) {
            try {
                OstrelServer::WritePemFile(writeCert, server.GetCertificate().CertPem(), 0644);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "ostrel-server: %s\n", e.what());
                return 1;
            }
        }
        std::printf("ostrel-server listening on %s\n", server.BaseUrl().c_str());
        if (server.IsTls()) {
            std::printf("certificate SHA-1:");
            for (unsigned char b : server.GetCertificate().Sha1())
                std::printf(" %02X", b);
            std::printf("\n");
        }
        std::fflush(stdout);
        int sig = 0;
        sigwait(&stopSignals, &sig);
        server.Stop();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ostrel-server: %s\n", e.what());
        return 1;
    }
    return 0;
}
