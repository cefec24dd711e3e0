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

unsigned long GeneratedNumber(const std::wstring& name)
{
    REQUIRE(name.size() > 8);
    std::wstring digits = name.substr(7, name.size() - 8);
    std::reverse(digits.begin(), digits.end());
    return std::stoul(digits);
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

TEST_CASE("AddGroup: generated names, duplicate names and the shared number space")
{
    auto server = NewServer<IOPCServer>();
    Ref<IOPCGroupStateMgt> first, second;
    AddedGroup a = AddGroup(server.Get(), L"", first);
    AddedGroup b = AddGroup(server.Get(), nullptr, second);
    REQUIRE(a.result == S_OK);
    REQUIRE(b.result == S_OK);
    std::wstring nameA = GroupName(first.Get());
    CHECK(nameA.rfind(L"$Group_", 0) == 0);
    CHECK(nameA.back() == L'$');
    CHECK(nameA != GroupName(second.Get()));
    // The name's number is drawn just before the group's handle, from the same allocator.
    CHECK(GeneratedNumber(nameA) + 1 == a.handle);
    CHECK(GeneratedNumber(GroupName(second.Get())) + 1 == b.handle);
    CHECK(b.handle == a.handle + 2);

    Ref<IOPCGroupStateMgt> named, duplicate;
    REQUIRE(AddGroup(server.Get(), L"Boilers", named).result == S_OK);
    AddedGroup dup = AddGroup(server.Get(), L"Boilers", duplicate);
    CHECK(dup.result == OPC_E_DUPLICATENAME);
    CHECK(dup.handle == 0);
    CHECK(!duplicate);
    CHECK(GroupCount(server.Get()) == 3);
    CHECK(AddGroup(server.Get(), L"boilers", duplicate).result == S_OK);  // names are case-sensitive
}

TEST_CASE("GetGroupByName finds exact names only")
{
    auto server = NewServer<IOPCServer>();
    Ref<IOPCGroupStateMgt> group;
    REQUIRE(AddGroup(server.Get(), L"Tanks", group).result == S_OK);

    Ref<IOPCItemMgt> found;
    REQUIRE(server->GetGroupByName(L"Tanks", IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(found.Put())) == S_OK);
    CHECK(As<IUnknown>(found.Get()).Get() == As<IUnknown>(group.Get()).Get());

    IUnknown* none = reinterpret_cast<IUnknown*>(1);
    CHECK(server->GetGroupByName(L"tanks", IID_IUnknown, &none) == E_INVALIDARG);
    CHECK(none == nullptr);
    CHECK(server->GetGroupByName(L"", IID_IUnknown, &none) == E_INVALIDARG);
    CHECK(server->GetGroupByName(nullptr, IID_IUnknown, &none) == E_INVALIDARG);
    CHECK(server->GetGroupByName(L"Tanks", IID_IOPCPublicGroupStateMgt, &none) == E_NOINTERFACE);
}

TEST_CASE("RemoveGroup without force while the client holds the group")
{
    auto server = NewServer<IOPCServer>();
    Ref<IOPCGroupStateMgt> group;
    AddedGroup added = AddGroup(server.Get(), L"Held", group, 1000, TRUE);
    REQUIRE(added.result == S_OK);
    REQUIRE(GroupCount(server.Get()) == 1);

    CHECK(server->RemoveGroup(added.handle, FALSE) == OPC_S_INUSE);
    CHECK(GroupCount(server.Get()) == 0);
    CHECK(server->RemoveGroup(added.handle, FALSE) == E_INVALIDARG);
    CHECK(StateOf(group.Get()).result == E_FAIL);  // every method: see badinput_test
    Ref<IOPCGroupStateMgt> successor;
    CHECK(AddGroup(server.Get(), L"Held", successor).result == S_OK);  // the name is free again

    Ref<IOPCGroupStateMgt> released;
    AddedGroup other = AddGroup(server.Get(), L"Released", released);
    released.Reset();
    CHECK(server->RemoveGroup(other.handle, FALSE) == S_OK);
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

TEST_CASE("many threads adding and removing groups leave a consistent count and nothing behind")
{
    {
        auto server = NewServer<IOPCServer>();
        constexpr int kThreads = 4;
        constexpr int kRounds = 50;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&server, t] {
                CoInitializeEx(nullptr, COINIT_MULTITHREADED);
                for (int i = 0; i < kRounds; ++i) {
                    Ref<IOPCGroupStateMgt> group;
                    AddedGroup added = AddGroup(server.Get(), nullptr, group, 10 + i, i % 2);
                    if (FAILED(added.result)) continue;
                    // Every other group is left in place for the final release to remove.
                    if (i % 2 == 0) server->RemoveGroup(added.handle, (i + t) % 4 == 0);
                }
                CoUninitialize();
            });
        }
        for (auto& thread : threads) thread.join();
        CHECK(GroupCount(server.Get()) == kThreads * kRounds / 2);

        Ref<IEnumString> names;
        REQUIRE(server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString,
                                              reinterpret_cast<LPUNKNOWN*>(names.Put())) == S_OK);
        CHECK(AllNames(names.Get()).size() == kThreads * kRounds / 2);
    }
    CHECK(ModuleCanUnloadNow() == S_OK);
}
