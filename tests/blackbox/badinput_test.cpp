// Bad input, interface by interface: unwritable out-pointers, zero counts, handles that
// were never issued or belong to another group, and removed groups. Each gets its
// documented code and changes nothing.

#include "FakeDataCallback.h"

#include <olectl.h>

using namespace twopc::test;

namespace {

// A page the server may read but not write: out-pointers into it must be refused.
class ReadOnlyPage {
public:
    ReadOnlyPage() : m_page(VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READONLY)) {}
    ~ReadOnlyPage() { VirtualFree(m_page, 0, MEM_RELEASE); }
    ReadOnlyPage(const ReadOnlyPage&) = delete;
    ReadOnlyPage& operator=(const ReadOnlyPage&) = delete;
    template <class T>
    T* As() const
    {
        return static_cast<T*>(m_page);
    }

private:
    void* m_page;
};

struct Setup {
    ServerWithGroup s;
    Ref<IOPCGroupStateMgt> other;
    Ref<IOPCItemMgt> otherItems;
    ItemResults added;
    ItemResults otherAdded;
    Ref<IOPCSyncIO> sync;
    Ref<IOPCAsyncIO2> async2;
    Ref<IOPCAsyncIO> async1;
    Ref<IOPCCommon> common;
    FakeDataCallback sink;

    Setup()
        : sync(As<IOPCSyncIO>(s.group.Get())), async2(As<IOPCAsyncIO2>(s.group.Get())),
          async1(As<IOPCAsyncIO>(s.group.Get())), common(As<IOPCCommon>(s.server.Get()))
    {
        AddItems(s.items.Get(), {ItemDef(L"\\\\.\\proc1\\Setpoint", 1)}, added);
        REQUIRE(added.result == S_OK);
        REQUIRE(AddGroup(s.server.Get(), L"Other", other).result == S_OK);
        otherItems = As<IOPCItemMgt>(other.Get());
        AddItems(otherItems.Get(), {ItemDef(L"\\\\.\\proc1\\Constant", 2)}, otherAdded);
        REQUIRE(otherAdded.result == S_OK);
        AdviseDataCallback(s.group.Get(), &sink);
    }
    ~Setup() { s.server.Reset(); }
    OPCHANDLE Mine() const { return added.records[0].hServer; }
    OPCHANDLE Theirs() const { return otherAdded.records[0].hServer; }
};

}  // namespace

TEST_CASE("unwritable out-pointers are refused before anything changes")
{
    Setup t;
    ReadOnlyPage page;
    OPCHANDLE handle = t.Mine();
    HRESULT* errors;
    OPCITEMDEF definition = ItemDef(L"\\\\.\\proc1\\Running");
    IUnknown* unknown;
    DWORD revised;

    CHECK(t.s.server->GetStatus(page.As<OPCSERVERSTATUS*>()) == E_INVALIDARG);
    CHECK(t.s.server->GetErrorString(E_FAIL, 1033, page.As<LPWSTR>()) == E_INVALIDARG);
    CHECK(t.s.server->GetGroupByName(L"Other", IID_IUnknown, page.As<LPUNKNOWN>()) == E_INVALIDARG);
    CHECK(t.s.server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString, page.As<LPUNKNOWN>()) == E_INVALIDARG);
    CHECK(t.s.server->AddGroup(L"x", FALSE, 100, 0, nullptr, nullptr, 0, page.As<OPCHANDLE>(), &revised,
                               IID_IUnknown, &unknown) == E_INVALIDARG);
    CHECK(t.common->GetLocaleID(page.As<LCID>()) == E_INVALIDARG);
    CHECK(t.common->QueryAvailableLocaleIDs(page.As<DWORD>(), page.As<LCID*>()) == E_INVALIDARG);
    CHECK(GroupCount(t.s.server.Get()) == 2);

    LPWSTR name;
    LONG bias;
    FLOAT deadband;
    LCID locale;
    OPCHANDLE client;
    BOOL active;
    CHECK(t.s.group->GetState(&revised, &active, &name, &bias, &deadband, &locale, &client, page.As<OPCHANDLE>()) ==
          E_INVALIDARG);
    CHECK(t.s.group->SetState(nullptr, page.As<DWORD>(), nullptr, nullptr, nullptr, nullptr, nullptr) == E_INVALIDARG);
    CHECK(t.s.group->CloneGroup(L"c", IID_IUnknown, page.As<LPUNKNOWN>()) == E_INVALIDARG);

    OPCITEMRESULT* results;
    CHECK(t.s.items->AddItems(1, &definition, page.As<OPCITEMRESULT*>(), &errors) == E_INVALIDARG);
    CHECK(t.s.items->AddItems(1, &definition, &results, page.As<HRESULT*>()) == E_INVALIDARG);
    CHECK(t.s.items->ValidateItems(1, &definition, FALSE, &results, page.As<HRESULT*>()) == E_INVALIDARG);
    CHECK(t.s.items->RemoveItems(1, &handle, page.As<HRESULT*>()) == E_INVALIDARG);
    CHECK(t.s.items->SetActiveState(1, &handle, TRUE, page.As<HRESULT*>()) == E_INVALIDARG);
    CHECK(t.s.items->CreateEnumerator(IID_IEnumOPCItemAttributes, page.As<LPUNKNOWN>()) == E_INVALIDARG);

    VARIANT value = VariantOf(VT_EMPTY);
    CHECK(t.sync->Read(OPC_DS_CACHE, 1, &handle, page.As<OPCITEMSTATE*>(), &errors) == E_INVALIDARG);
    CHECK(t.sync->Write(1, &handle, &value, page.As<HRESULT*>()) == E_INVALIDARG);
    CHECK(t.async2->Read(1, &handle, 1, page.As<DWORD>(), &errors) == E_INVALIDARG);
    CHECK(t.async2->Refresh2(OPC_DS_CACHE, 1, page.As<DWORD>()) == E_INVALIDARG);
    CHECK(t.async2->GetEnable(page.As<BOOL>()) == E_FAIL);
    CHECK(t.async1->Read(1, OPC_DS_CACHE, 1, &handle, page.As<DWORD>(), &errors) == E_INVALIDARG);
    CHECK(t.async1->Refresh(1, OPC_DS_CACHE, page.As<DWORD>()) == E_INVALIDARG);

    // Nothing of the above reached the items: the one item is still there and alone.
    CHECK(ReadResults(t.sync.Get(), OPC_DS_DEVICE, {handle}).result == S_OK);
}

TEST_CASE("a count larger than its arrays is refused at once, before anything is allocated for it")
{
    Setup t;
    constexpr DWORD kHuge = 0xFFFFFFFF;
    OPCHANDLE handle = t.Mine();
    OPCITEMDEF definition = ItemDef(L"\\\\.\\mem\\huge");
    VARIANT value = DoubleVariant(1.0);
    VARTYPE type = VT_R8;
    DWORD property = 2;
    DWORD id = 0;
    Errors errors;
    OPCITEMRESULT* results = nullptr;
    OPCITEMSTATE* states = nullptr;
    VARIANT* data = nullptr;
    LPWSTR* ids = nullptr;
    Ref<IOPCItemProperties> properties = As<IOPCItemProperties>(t.s.server.Get());

    CHECK(t.s.items->AddItems(kHuge, &definition, &results, errors.Put()) == E_INVALIDARG);
    CHECK(t.s.items->ValidateItems(kHuge, &definition, FALSE, &results, errors.Put()) == E_INVALIDARG);
    CHECK(t.s.items->RemoveItems(kHuge, &handle, errors.Put()) == E_INVALIDARG);
    CHECK(t.s.items->SetActiveState(kHuge, &handle, TRUE, errors.Put()) == E_INVALIDARG);
    CHECK(t.s.items->SetClientHandles(kHuge, &handle, &handle, errors.Put()) == E_INVALIDARG);
    CHECK(t.s.items->SetDatatypes(kHuge, &handle, &type, errors.Put()) == E_INVALIDARG);
    CHECK(t.sync->Read(OPC_DS_CACHE, kHuge, &handle, &states, errors.Put()) == E_INVALIDARG);
    CHECK(t.sync->Write(kHuge, &handle, &value, errors.Put()) == E_INVALIDARG);
    CHECK(t.async2->Read(kHuge, &handle, 1, &id, errors.Put()) == E_INVALIDARG);
    CHECK(t.async2->Write(kHuge, &handle, &value, 1, &id, errors.Put()) == E_INVALIDARG);
    CHECK(t.async1->Read(1, OPC_DS_CACHE, kHuge, &handle, &id, errors.Put()) == E_INVALIDARG);
    CHECK(t.async1->Write(1, kHuge, &handle, &value, &id, errors.Put()) == E_INVALIDARG);
    CHECK(properties->GetItemProperties(definition.szItemID, kHuge, &property, &data, errors.Put()) == E_INVALIDARG);
    CHECK(properties->LookupItemIDs(definition.szItemID, kHuge, &property, &ids, errors.Put()) == E_INVALIDARG);
    CHECK(errors.Get() == nullptr);
    CHECK(ReadResults(t.sync.Get(), OPC_DS_DEVICE, {handle}).result == S_OK);
}

TEST_CASE("a handle of another group is as unknown as one that was never issued")
{
    Setup t;
    OPCHANDLE handles[] = {t.Theirs(), 0, 0xFFFFFFFF};
    ReadResults read(t.sync.Get(), OPC_DS_CACHE, {handles[0], handles[1], handles[2]});
    REQUIRE(read.result == S_FALSE);
    Errors removed, typed, errors;
    REQUIRE(t.s.items->RemoveItems(3, handles, removed.Put()) == S_FALSE);
    VARTYPE types[] = {VT_BSTR, VT_BSTR, VT_BSTR};
    REQUIRE(t.s.items->SetDatatypes(3, handles, types, typed.Put()) == S_FALSE);
    for (int i = 0; i < 3; ++i) {
        CHECK(read.errors[i] == OPC_E_INVALIDHANDLE);
        CHECK(removed[i] == OPC_E_INVALIDHANDLE);
        CHECK(typed[i] == OPC_E_INVALIDHANDLE);
    }
    DWORD cancelId = 9;
    REQUIRE(t.async2->Read(3, handles, 1, &cancelId, errors.Put()) == S_FALSE);
    CHECK(cancelId == 0);

    // The other group's item is untouched.
    REQUIRE(t.otherItems->RemoveItems(1, handles, errors.Put()) == S_OK);
}

TEST_CASE("every method of a removed group answers E_FAIL")
{
    Setup t;
    REQUIRE(t.s.server->RemoveGroup(t.s.groupHandle, FALSE) == OPC_S_INUSE);
    OPCHANDLE handle = t.Mine();
    HRESULT* errors = nullptr;
    DWORD id = 0, revised = 0;
    VARIANT value = VariantOf(VT_EMPTY);
    OPCITEMDEF definition = ItemDef(L"\\\\.\\proc1\\Running");
    OPCITEMRESULT* results = nullptr;
    OPCITEMSTATE* states = nullptr;
    IUnknown* unknown = nullptr;
    BOOL enabled;

    CHECK(t.s.group->SetState(nullptr, &revised, nullptr, nullptr, nullptr, nullptr, nullptr) == E_FAIL);
    CHECK(t.s.group->SetName(L"n") == E_FAIL);
    CHECK(t.s.group->CloneGroup(L"c", IID_IUnknown, &unknown) == E_FAIL);
    CHECK(t.s.items->AddItems(1, &definition, &results, &errors) == E_FAIL);
    CHECK(t.s.items->ValidateItems(1, &definition, FALSE, &results, &errors) == E_FAIL);
    CHECK(t.s.items->SetActiveState(1, &handle, TRUE, &errors) == E_FAIL);
    CHECK(t.s.items->SetClientHandles(1, &handle, &handle, &errors) == E_FAIL);
    CHECK(t.s.items->CreateEnumerator(IID_IEnumOPCItemAttributes, &unknown) == E_FAIL);
    CHECK(t.sync->Read(OPC_DS_CACHE, 1, &handle, &states, &errors) == E_FAIL);
    CHECK(t.sync->Write(1, &handle, &value, &errors) == E_FAIL);
    CHECK(t.async2->Read(1, &handle, 1, &id, &errors) == E_FAIL);
    CHECK(t.async2->Write(1, &handle, &value, 1, &id, &errors) == E_FAIL);
    CHECK(t.async2->Refresh2(OPC_DS_CACHE, 1, &id) == E_FAIL);
    CHECK(t.async2->Cancel2(1) == E_FAIL);
    CHECK(t.async2->SetEnable(TRUE) == E_FAIL);
    CHECK(t.async2->GetEnable(&enabled) == E_FAIL);
    CHECK(t.async1->Read(1, OPC_DS_CACHE, 1, &handle, &id, &errors) == E_FAIL);
    CHECK(t.async1->Write(1, 1, &handle, &value, &id, &errors) == E_FAIL);
    CHECK(t.async1->Refresh(1, OPC_DS_CACHE, &id) == E_FAIL);
    CHECK(t.async1->Cancel(1) == E_FAIL);
    CHECK(errors == nullptr);
    CHECK(results == nullptr);
    CHECK(states == nullptr);
    CHECK(GroupCount(t.s.server.Get()) == 1);
}

TEST_CASE("ill-formed item IDs are refused by ValidateItems as unknown, whatever their fault")
{
    Setup t;
    // The last is a branch of the browse tree: the syntax is checked before the tree.
    for (const wchar_t* id :
         {L"\\proc\\obj", L"\\\\host\\proc'x'\\obj", L"\\\\host\\proc\\\r", L"\\\\.\\proc1"}) {
        CAPTURE(Narrow(id));
        ItemResults checked;
        ValidateItems(t.s.items.Get(), {ItemDef(id)}, checked);
        CHECK(checked.result == S_FALSE);
        CHECK(checked.errors[0] == OPC_E_UNKNOWNITEMID);
    }
}
