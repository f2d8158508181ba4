// The engine's own work per row, on a scripted table that does not change between passes:
// what one pass costs beside the platform's read. Also the list searches the engine makes for
// every new connection.
#include "container/List.h"
#include "engine/basMain.h"
#include "engine/basProcessing.h"
#include "fakes/ScriptedPlatform.h"
#include "manager/Manager.h"

#include <benchmark/benchmark.h>

namespace {

void SetUpTable(int64_t rows) {
    fake::Reset();
    InitTcpStateNames();
    ClearConnectionCache();
    oManager = std::make_unique<Manager>();
    oManager->oBlockedRemotePorts->AddItem(Variant::Long(9));
    for (int64_t i = 0; i < rows; ++i)
        fake::P().table.push_back(fake::Row(api::MIB_TCP_STATE_ESTAB, "10.0.0.1",
                                            uint16_t(1024 + i % 60000), "10.0.0.7", 443));
    ScanTcpTable();
}

void BM_UnchangedPass(benchmark::State& state) {
    SetUpTable(state.range(0));
    for (auto _ : state)
        ScanTcpTable();
    state.SetItemsProcessed(state.iterations() * state.range(0));
    oManager.reset();
}
BENCHMARK(BM_UnchangedPass)->Arg(100)->Arg(1000)->Arg(10000);

// The scripted read alone (a copy of the rows), to subtract from the pass above.
void BM_ScriptedRead(benchmark::State& state) {
    SetUpTable(state.range(0));
    for (auto _ : state)
        TcpTableBuffer.Read();
    state.SetItemsProcessed(state.iterations() * state.range(0));
    oManager.reset();
}
BENCHMARK(BM_ScriptedRead)->Arg(100)->Arg(1000)->Arg(10000);

// The connections view after a pass in which one row of many changed.
void BM_ViewAfterOneChange(benchmark::State& state) {
    SetUpTable(state.range(0));
    uint16_t port = 1;
    for (auto _ : state) {
        fake::P().table[0].dwRemotePort =
            fake::Row(0, "0.0.0.0", 0, "0.0.0.0", port++).dwRemotePort;
        ScanTcpTable();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    oManager.reset();
}
BENCHMARK(BM_ViewAfterOneChange)->Arg(100)->Arg(1000)->Arg(20000);

void BM_PortSearch(benchmark::State& state) {
    List ports;
    ports.InitLongList();
    for (int32_t p = 1; p <= state.range(0); ++p)
        ports.AddItem(Variant::Long(p * 7));
    for (auto _ : state)
        benchmark::DoNotOptimize(IsPortInList(5, ports));
}
BENCHMARK(BM_PortSearch)->Arg(10)->Arg(1000);

void BM_AddressSearch(benchmark::State& state) {
    List addresses;
    addresses.InitStringList();
    for (int32_t i = 0; i < state.range(0); ++i)
        addresses.AddItem(
            Variant::Text("10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250)));
    const Variant wanted = Variant::Text("192.168.1.1");
    for (auto _ : state)
        benchmark::DoNotOptimize(addresses.FindItem(u"=", wanted, true, 0, false, 1));
}
BENCHMARK(BM_AddressSearch)->Arg(10)->Arg(1000);

} // namespace

BENCHMARK_MAIN();
