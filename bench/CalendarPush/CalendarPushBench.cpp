// 1,000 changed appointments of the store (a third of them recurring with two modified instances)
// pushed to the simulator, against the bare SOAP round trips of the same requests in the same run:
// the baseline builds each SetAppointmentRequest from an item converted beforehand and sends it
// through the same connection; the push reads the item from the store, converts it, sends it and
// records the answer on the item. Reports items per second of both and the ratio push / baseline.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Ostrel/Convert/Calendar/OLToOstrel.h"
#include "Ostrel/Convert/Calendar/OLToOstrelPush.h"
#include "Ostrel/Convert/Calendar/OstrelToOL.h"
#include "Ostrel/Rpc/Requests/CalendarReader.h"
#include "Ostrel/Rpc/Requests/CalendarRequests.h"
#include "Ostrel/Rpc/Transport/Connection.h"
#include "Ostrel/Rpc/Transport/OstrelConnection.h"
#include "Ostrel/Store/Calendar/Appt.h"
#include "Ostrel/Store/NamedProps.h"
#include "Platform/Mapi/Session/AddrBook.h"
#include "Platform/Mapi/Store/OsdStore.h"
#include "Support/RatioReporter.h"
#include "Support/SessionDouble.h"
#include "Util/Text/Strings.h"
#include "Util/Time/TimeUtil.h"
#include "ostrel-server/Calendar.h"
#include "ostrel-server/Server.h"

namespace {

constexpr size_t kItems = 1000;
constexpr const wchar_t* kUser = L"user@ostrel.test";

struct World {
    OstrelServer::Server server;
    std::shared_ptr<TestSupport::SessionDouble> pSession = std::make_shared<TestSupport::SessionDouble>();
    std::unique_ptr<Ostrel::Rpc::OstrelConnection> pConnection;
    std::filesystem::path dir;
    Platform::ComPtr<IMsgStore> pStore;
    Platform::ComPtr<IMAPIFolder> pRoot;
    Platform::ComPtr<IAddrBook> pAddrBook;
    std::vector<Platform::ComPtr<IMessage>> items;
    std::vector<Ostrel::Mail::AppointmentPtr> converted;
};

World& TheWorld() {
    static World* s_pWorld = [] {
        auto* w = new World;
        w->server.Start();
        auto& book = w->server.State<OstrelServer::CalendarBook>();
        book.Clear();
        Ostrel::Rpc::SetSessionFinder([s = w->pSession](const std::wstring&) { return s.get(); });
        w->pSession->port = static_cast<DWORD>(w->server.Port());
        Ostrel::Rpc::ConnectionMgr::Get().NotifyOnlineOfflineTransition(1);
        w->pConnection = std::make_unique<Ostrel::Rpc::OstrelConnection>(
            L"bench", L"127.0.0.1", w->pSession->port, 0, Ostrel::Rpc::kProxyModeNone, nullptr, 0, L"bench");
        char pattern[] = "/tmp/calendar-push-bench-XXXXXX";
        const char* pszDir = mkdtemp(pattern);
        ULONG ulType = 0;
        if (!pszDir ||
            FAILED(Platform::OpenOsdStore(std::filesystem::path(pszDir) / "bench.osd", true, L"Bench", true,
                                          w->pStore.AddressOf())) ||
            FAILED(w->pStore->OpenEntry(0, nullptr, nullptr, MAPI_MODIFY, &ulType,
                                        reinterpret_cast<IUnknown**>(w->pRoot.AddressOf()))) ||
            FAILED(Platform::Mapi::CreateAddrBook(w->pAddrBook.AddressOf())))
            std::abort();
        w->dir = pszDir;
        // The store items: the simulator's bulk items written into the store, then changed.
        for (const OstrelServer::CalendarItem& item : OstrelServer::CalendarBook::BulkItems(kItems)) {
            const std::string reply =
                "<GetAppointmentResponse xmlns=\"urn:ostrelMail\">" + item.Xml() + "</GetAppointmentResponse>";
            std::wstring wsError;
            Ostrel::Mail::AppointmentPtr p = Ostrel::Mail::ReadCalendarReplyXml(
                "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Body>" + reply +
                    "</soap:Body></soap:Envelope>",
                wsError);
            Platform::ComPtr<IMessage> pMessage;
            if (!p || FAILED(w->pRoot->CreateMessage(nullptr, 0, pMessage.AddressOf())))
                std::abort();
            Ostrel::Mail::OstrelToOLAppt toStore;
            if (!toStore.ConvertAppt(w->pStore.Get(), *p, pMessage.Get(), w->pAddrBook.Get(), kUser, {}, 1, nullptr,
                                     nullptr))
                std::abort();
            Ostrel::Mapi::Appt appt(pMessage.Get(), w->pStore.Get());
            appt.SetLocation(L"Changed room");
            appt.Save();
            Ostrel::Mail::AppointmentPtr pOut(Ostrel::Mail::Appointment::createAppointment());
            if (FAILED(Ostrel::Mail::OLToOstrelAppt().ConvertAppt(w->pAddrBook.Get(), w->pStore.Get(), appt, *pOut,
                                                                  L"Mailbox User", kUser)))
                std::abort();
            w->converted.push_back(std::move(pOut));
            w->items.push_back(std::move(pMessage));
        }
        return w;
    }();
    return *s_pWorld;
}

// The same requests, built from the converted items and sent: network, server and reply only.
void BareSoapRoundTrips(benchmark::State& state) {
    World& w = TheWorld();
    for (auto _ : state) {
        for (auto& pAppointment : w.converted) {
            Ostrel::Rpc::SetAppointmentRequest request(*pAppointment, Ostrel::Mail::MIT_APPOINTMENT, nullptr,
                                                       pAppointment->TagIds(), pAppointment->TagNames(),
                                                       pAppointment->GetParentFolder());
            Ostrel::Rpc::Response* pResponse = nullptr;
            w.pConnection->SendRequestSynchronousOC(&request, pResponse, __func__, __LINE__);
            std::unique_ptr<Ostrel::Rpc::Response> pOwned(pResponse);
            benchmark::DoNotOptimize(pResponse);
        }
    }
    state.counters["items/s"] =
        benchmark::Counter(static_cast<double>(w.converted.size() * state.iterations()), benchmark::Counter::kIsRate);
}

void PushChangedAppointments(benchmark::State& state) {
    World& w = TheWorld();
    Ostrel::Mail::CalendarPusher pusher(*w.pConnection, w.pStore.Get(), w.pAddrBook.Get(), L"Mailbox User", kUser);
    for (auto _ : state) {
        for (auto& pItem : w.items) {
            LONG lId = 0;
            if (FAILED(pusher.Push(pItem.Get(), &lId)))
                std::abort();
        }
    }
    state.counters["items/s"] =
        benchmark::Counter(static_cast<double>(w.items.size() * state.iterations()), benchmark::Counter::kIsRate);
}

BENCHMARK(BareSoapRoundTrips)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(PushChangedAppointments)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    Ostrel::Util::SetLocalTimeZone("UTC");
    benchmark::Initialize(&argc, argv);
    TheWorld();
    BenchSupport::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double dBare = reporter.Real("BareSoapRoundTrips"), dPush = reporter.Real("PushChangedAppointments");
    if (dBare > 0 && dPush > 0)
        std::printf("push / bare round trips: %.2f\n", dPush / dBare);
    World& w = TheWorld();
    w.items.clear();
    w.pRoot.Reset();
    w.pStore.Reset();
    Ostrel::Mapi::NamedPropsManager::Cleanup();
    std::error_code ec;
    std::filesystem::remove_all(w.dir, ec);
    w.server.Stop();
    benchmark::Shutdown();
    return 0;
}
