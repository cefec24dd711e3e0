// Bad input, interface by interface: unwritable out-pointers and counts larger than their
// arrays. Each gets its documented code and changes nothing.

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
    ItemResults added;
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
        AdviseDataCallback(s.group.Get(), &sink);
    }
    ~Setup() { s.server.Reset(); }
    OPCHANDLE Mine() const { return added.records[0].hServer; }
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
    CHECK(GroupCount(t.s.server.Get()) == 1);

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
