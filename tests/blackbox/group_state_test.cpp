// IOPCGroupStateMgt and the group's interface list, through COM.

#include "ComTest.h"

#include <olectl.h>

using namespace twopc::test;

TEST_CASE("GetState reports what AddGroup was given and needs every out-pointer")
{
    auto server = NewServer<IOPCServer>();
    Ref<IOPCGroupStateMgt> group;
    LONG bias = -60;
    FLOAT deadband = 12.5f;
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    REQUIRE(server->AddGroup(L"Line 1", TRUE, 250, 4711, &bias, &deadband, 2048, &handle, &revised,
                             IID_IOPCGroupStateMgt, reinterpret_cast<LPUNKNOWN*>(group.Put())) == S_OK);
    GroupState state = StateOf(group.Get());
    CHECK(state.rate == 250);
    CHECK(state.active == TRUE);
    CHECK(Narrow(state.name) == "Line 1");
    CHECK(state.bias == -60);
    CHECK(state.deadband == 12.5f);
    CHECK(state.locale == 2048);
    CHECK(state.client == 4711);
    CHECK(state.server == handle);

    DWORD rate;
    BOOL active;
    LPWSTR name;
    LCID locale;
    OPCHANDLE client, serverHandle;
    CHECK(group->GetState(&rate, &active, &name, &bias, &deadband, &locale, &client, nullptr) == E_INVALIDARG);
    CHECK(group->GetState(nullptr, &active, &name, &bias, &deadband, &locale, &client, &serverHandle) ==
          E_INVALIDARG);

    // Without a time bias the group takes the time zone's, and without a dead band 0.
    Ref<IOPCGroupStateMgt> zone;
    REQUIRE(server->AddGroup(L"Zone", FALSE, 1000, 1, nullptr, nullptr, 1033, &handle, &revised,
                             IID_IOPCGroupStateMgt, reinterpret_cast<LPUNKNOWN*>(zone.Put())) == S_OK);
    TIME_ZONE_INFORMATION timeZone{};
    GetTimeZoneInformation(&timeZone);
    CHECK(StateOf(zone.Get()).bias == timeZone.Bias);
    CHECK(StateOf(zone.Get()).deadband == 0.0f);
}

TEST_CASE("SetState: rate floor, dead band, and what a null pointer leaves alone")
{
    auto server = NewServer<IOPCServer>();
    Ref<IOPCGroupStateMgt> group;
    FLOAT deadband = 5.0f;
    REQUIRE(AddGroup(server.Get(), L"G", group, 1000, FALSE, &deadband).result == S_OK);
    auto setRate = [&](DWORD requested, DWORD* revised) {
        return group->SetState(&requested, revised, nullptr, nullptr, &deadband, nullptr, nullptr);
    };

    DWORD revised = 0;
    CHECK(setRate(0, &revised) == OPC_S_UNSUPPORTEDRATE);
    CHECK(revised == 10);
    CHECK(setRate(9, &revised) == OPC_S_UNSUPPORTEDRATE);
    revised = 0;
    CHECK(setRate(10, &revised) == S_OK);
    CHECK(revised == 10);
    CHECK(setRate(10, nullptr) == E_INVALIDARG);
    revised = 12345;
    CHECK(group->SetState(nullptr, &revised, nullptr, nullptr, &deadband, nullptr, nullptr) == S_OK);
    CHECK(revised == 12345);

    FLOAT full = 100.0f;
    CHECK(group->SetState(nullptr, &revised, nullptr, nullptr, &full, nullptr, nullptr) == S_OK);
    CHECK(StateOf(group.Get()).deadband == 100.0f);
    for (FLOAT bad : {100.5f, -0.1f}) {
        DWORD requested = 500;
        LONG bias = 99;
        CHECK(group->SetState(&requested, &revised, nullptr, &bias, &bad, nullptr, nullptr) == E_INVALIDARG);
    }
    GroupState unchanged = StateOf(group.Get());
    CHECK(unchanged.rate == 10);
    CHECK(unchanged.deadband == 100.0f);
    CHECK(unchanged.bias == 0);

    // A null dead band resets it; bias, locale (never checked) and client handle are stored.
    LONG bias = 120;
    LCID locale = 12345;
    OPCHANDLE client = 99;
    BOOL active = TRUE;
    CHECK(group->SetState(nullptr, &revised, &active, &bias, nullptr, &locale, &client) == S_OK);
    GroupState state = StateOf(group.Get());
    CHECK(state.deadband == 0.0f);
    CHECK(state.bias == 120);
    CHECK(state.locale == 12345);
    CHECK(state.client == 99);
    CHECK(state.active == TRUE);
    SetActive(group.Get(), FALSE);
    CHECK(StateOf(group.Get()).active == FALSE);
}
