// The group collection of IOPCServer: adding, finding, enumerating and removing groups.

#include "ComTest.h"

#include <algorithm>
#include <thread>
#include <vector>

using namespace twopc::test;

namespace {

std::vector<std::string> AllNames(IEnumString* names)
{
    std::vector<std::string> all;
    LPOLESTR name = nullptr;
    ULONG fetched = 0;
    while (names->Next(1, &name, &fetched) == S_OK && fetched == 1) {
        all.push_back(Narrow(name));
        CoTaskMemFree(name);
    }
    return all;
}

}  // namespace

TEST_CASE("AddGroup: the rate floor of 10 ms, the dead band limits and the required out-pointers")
{
    auto server = NewServer<IOPCServer>();
    Ref<IOPCGroupStateMgt> group;
    for (DWORD rate : {0, 9}) {
        AddedGroup added = AddGroup(server.Get(), nullptr, group, rate);
        CHECK(added.result == OPC_S_UNSUPPORTEDRATE);
        CHECK(added.revisedRate == 10);
        CHECK(group);
    }
    for (DWORD rate : {10, 86400000}) {
        AddedGroup added = AddGroup(server.Get(), nullptr, group, rate);
        CHECK(added.result == S_OK);
        CHECK(added.revisedRate == rate);
    }

    FLOAT full = 100.0f;
    CHECK(AddGroup(server.Get(), L"full", group, 1000, FALSE, &full).result == S_OK);
    for (FLOAT bad : {100.5f, -0.1f}) {
        CAPTURE(bad);
        AddedGroup added = AddGroup(server.Get(), L"bad", group, 1000, FALSE, &bad);
        CHECK(added.result == E_INVALIDARG);
        CHECK(added.handle == 0);
        CHECK(!group);
    }
    CHECK(GroupCount(server.Get()) == 5);

    OPCHANDLE handle;
    DWORD revised;
    IUnknown* unknown;
    CHECK(server->AddGroup(L"x", FALSE, 1000, 0, nullptr, nullptr, 0, nullptr, &revised, IID_IUnknown, &unknown) ==
          E_INVALIDARG);
    CHECK(server->AddGroup(L"x", FALSE, 1000, 0, nullptr, nullptr, 0, &handle, nullptr, IID_IUnknown, &unknown) ==
          E_INVALIDARG);
    CHECK(server->AddGroup(L"x", FALSE, 1000, 0, nullptr, nullptr, 0, &handle, &revised, IID_IUnknown, nullptr) ==
          E_INVALIDARG);
}

TEST_CASE("RemoveGroup with force, or releasing the server, takes apart the groups that clients still hold")
{
    {
        auto server = NewServer<IOPCServer>();
        Ref<IOPCGroupStateMgt> group, active, inactive;
        AddedGroup added = AddGroup(server.Get(), L"Forced", group, 100, TRUE);
        REQUIRE(added.result == S_OK);
        auto container = As<IConnectionPointContainer>(group.Get());

        CHECK(server->RemoveGroup(added.handle, TRUE) == S_OK);
        CHECK(GroupCount(server.Get()) == 0);
        CHECK(server->RemoveGroup(added.handle, TRUE) == E_INVALIDARG);
        // The late calls reach a living object that refuses everything.
        CHECK(GroupName(group.Get()) == L"<failed>");
        CHECK(group->SetName(L"Late") == E_FAIL);
        IUnknown* clone = nullptr;
        CHECK(group->CloneGroup(L"Clone", IID_IUnknown, &clone) == E_FAIL);

        REQUIRE(AddGroup(server.Get(), L"A", active, 50, TRUE).result == S_OK);
        REQUIRE(AddGroup(server.Get(), L"B", inactive).result == S_OK);
        server.Reset();
        CHECK(group->SetName(L"Later") == E_FAIL);
        CHECK(GroupName(active.Get()) == L"<failed>");
        CHECK(inactive->SetName(L"C") == E_FAIL);
    }
    CHECK(ModuleCanUnloadNow() == S_OK);
}

TEST_CASE("group enumerators: names in code-unit order, groups by identity, public scopes empty")
{
    auto server = NewServer<IOPCServer>();
    Ref<IEnumString> names;
    CHECK(server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString, reinterpret_cast<LPUNKNOWN*>(names.Put())) ==
          S_FALSE);
    REQUIRE(names);
    LPOLESTR one = nullptr;
    ULONG fetched = 7;
    CHECK(names->Next(1, &one, &fetched) == E_FAIL);
    CHECK(fetched == 0);
    Ref<IUnknown> other;
    CHECK(server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumVARIANT, other.Put()) == E_NOINTERFACE);
    CHECK(!other);

    Ref<IOPCGroupStateMgt> b, a, upper;
    REQUIRE(AddGroup(server.Get(), L"b", b).result == S_OK);
    REQUIRE(AddGroup(server.Get(), L"a", a).result == S_OK);
    REQUIRE(AddGroup(server.Get(), L"C", upper).result == S_OK);

    for (OPCENUMSCOPE scope : {OPC_ENUM_PUBLIC_CONNECTIONS, OPC_ENUM_PUBLIC}) {
        Ref<IEnumUnknown> none;
        CHECK(server->CreateGroupEnumerator(scope, IID_IEnumUnknown, reinterpret_cast<LPUNKNOWN*>(none.Put())) ==
              S_FALSE);
        IUnknown* nothing = nullptr;
        CHECK(none->Next(1, &nothing, &fetched) != S_OK);
        CHECK(nothing == nullptr);
    }
    REQUIRE(server->CreateGroupEnumerator(static_cast<OPCENUMSCOPE>(99), IID_IEnumString,
                                          reinterpret_cast<LPUNKNOWN*>(names.Put())) == S_OK);
    CHECK(AllNames(names.Get()) == std::vector<std::string>{"C", "a", "b"});

    // Next, Skip, Reset and Clone on the group enumerator.
    Ref<IEnumUnknown> groups;
    REQUIRE(server->CreateGroupEnumerator(OPC_ENUM_PRIVATE, IID_IEnumUnknown,
                                          reinterpret_cast<LPUNKNOWN*>(groups.Put())) == S_OK);
    auto identityA = As<IUnknown>(a.Get());
    auto identityB = As<IUnknown>(b.Get());
    IUnknown* batch[3] = {};
    CHECK(groups->Skip(1) == S_OK);
    CHECK(groups->Next(3, batch, &fetched) == S_FALSE);
    REQUIRE(fetched == 2);
    CHECK(batch[0] == identityA.Get());
    CHECK(batch[1] == identityB.Get());
    batch[0]->Release();
    batch[1]->Release();
    CHECK(groups->Skip(1) == S_FALSE);
    CHECK(groups->Reset() == S_OK);
    CHECK(groups->Skip(2) == S_OK);

    Ref<IEnumUnknown> clone;
    REQUIRE(groups->Clone(clone.Put()) == S_OK);
    groups.Reset();  // the clone keeps the shared data alive
    CHECK(clone->Next(1, batch, &fetched) == S_OK);
    CHECK(batch[0] == identityB.Get());
    batch[0]->Release();
    CHECK(clone->Next(1, batch, nullptr) == S_FALSE);
    CHECK(clone->Next(1, nullptr, nullptr) == E_POINTER);
    CHECK(clone->Clone(nullptr) == E_POINTER);
}
