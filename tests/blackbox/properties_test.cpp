// IOPCItemProperties through COM, against the simulated network.

#include "ComTest.h"

#include "sim/simctl.h"

#include <chrono>
#include <cmath>
#include <type_traits>
#include <vector>

using namespace twopc::test;

namespace {

constexpr wchar_t kConstant[] = L"\\\\.\\proc1\\Constant";
constexpr wchar_t kBranch[] = L"\\\\.\\proc1";

struct Available {
    HRESULT result = E_UNEXPECTED;
    DWORD count = 0;
    DWORD* ids = nullptr;
    LPWSTR* descriptions = nullptr;
    VARTYPE* types = nullptr;
    Available(IOPCItemProperties* properties, const wchar_t* itemId)
    {
        result = properties->QueryAvailableProperties(const_cast<LPWSTR>(itemId), &count, &ids, &descriptions,
                                                      &types);
    }
    ~Available()
    {
        for (DWORD i = 0; descriptions && i < count; ++i) CoTaskMemFree(descriptions[i]);
        CoTaskMemFree(ids);
        CoTaskMemFree(descriptions);
        CoTaskMemFree(types);
    }
};

void Free(VARIANT& value) { VariantClear(&value); }
void Free(LPWSTR& text) { CoTaskMemFree(text); }

// What GetItemProperties (T = VARIANT) or LookupItemIDs (T = LPWSTR) hands out for `ids`,
// freed with the object.
template <class T>
struct PerProperty {
    HRESULT result = E_UNEXPECTED;
    std::vector<DWORD> ids;
    T* data = nullptr;
    HRESULT* errors = nullptr;
    PerProperty(IOPCItemProperties* properties, const wchar_t* itemId, std::vector<DWORD> wanted)
        : ids(std::move(wanted))
    {
        const auto id = const_cast<LPWSTR>(itemId);
        const auto count = static_cast<DWORD>(ids.size());
        if constexpr (std::is_same_v<T, VARIANT>)
            result = properties->GetItemProperties(id, count, ids.data(), &data, &errors);
        else
            result = properties->LookupItemIDs(id, count, ids.data(), &data, &errors);
    }
    PerProperty(const PerProperty&) = delete;
    PerProperty& operator=(const PerProperty&) = delete;
    ~PerProperty()
    {
        for (std::size_t i = 0; data && i < ids.size(); ++i) Free(data[i]);
        CoTaskMemFree(data);
        CoTaskMemFree(errors);
    }
};
using Values = PerProperty<VARIANT>;
using NewIds = PerProperty<LPWSTR>;

double NowAsVariantTime()
{
    SYSTEMTIME now;
    GetSystemTime(&now);
    DATE date = 0;
    SystemTimeToVariantTime(&now, &date);
    return date;
}

}  // namespace

TEST_CASE("bad arguments and unknown IDs leave every output null")
{
    auto server = NewServer<IOPCItemProperties>();
    DWORD count = 9;
    DWORD* ids = reinterpret_cast<DWORD*>(1);
    LPWSTR* descriptions = reinterpret_cast<LPWSTR*>(1);
    VARTYPE* types = reinterpret_cast<VARTYPE*>(1);
    LPWSTR id = const_cast<LPWSTR>(kConstant);
    LPWSTR invalidId = const_cast<LPWSTR>(L"proc1");
    CHECK(server->QueryAvailableProperties(nullptr, &count, &ids, &descriptions, &types) == E_INVALIDARG);
    CHECK((count == 0 && ids == nullptr && descriptions == nullptr && types == nullptr));
    CHECK(server->QueryAvailableProperties(id, nullptr, &ids, &descriptions, &types) == E_INVALIDARG);
    CHECK(server->QueryAvailableProperties(id, &count, &ids, &descriptions, nullptr) == E_INVALIDARG);

    DWORD wanted = 2;
    VARIANT* data = reinterpret_cast<VARIANT*>(1);
    HRESULT* errors = reinterpret_cast<HRESULT*>(1);
    CHECK(server->GetItemProperties(id, 0, &wanted, &data, &errors) == E_INVALIDARG);
    CHECK((data == nullptr && errors == nullptr));
    CHECK(server->GetItemProperties(id, 1, nullptr, &data, &errors) == E_INVALIDARG);
    CHECK(server->GetItemProperties(nullptr, 1, &wanted, &data, &errors) == E_INVALIDARG);
    CHECK(server->GetItemProperties(id, 1, &wanted, nullptr, &errors) == E_INVALIDARG);
    CHECK(server->GetItemProperties(invalidId, 1, &wanted, &data, &errors) == OPC_E_UNKNOWNITEMID);
    CHECK((data == nullptr && errors == nullptr));

    LPWSTR* newIds = reinterpret_cast<LPWSTR*>(1);
    errors = reinterpret_cast<HRESULT*>(1);
    CHECK(server->LookupItemIDs(id, 0, &wanted, &newIds, &errors) == E_INVALIDARG);
    CHECK((newIds == nullptr && errors == nullptr));
    CHECK(server->LookupItemIDs(id, 1, &wanted, &newIds, nullptr) == E_INVALIDARG);
    CHECK(server->LookupItemIDs(invalidId, 1, &wanted, &newIds, &errors) == OPC_E_INVALIDITEMID);
    CHECK((newIds == nullptr && errors == nullptr));
}

TEST_CASE("GetItemProperties: a leaf's properties, read through an item that does not outlive the call")
{
    {
        auto server = NewServer<IOPCItemProperties>();
        Values v(server.Get(), kConstant, {1, 2, 3, 4, 5, 6, 100, 101});
        REQUIRE(v.result == S_OK);
        const HRESULT expected[] = {S_OK, S_OK, S_OK, S_OK, S_OK, S_OK, OPC_E_INVALID_PID, S_OK};
        for (std::size_t i = 0; i < v.ids.size(); ++i) CHECK(v.errors[i] == expected[i]);
        CHECK(v.data[0].vt == VT_I2);
        CHECK(v.data[0].iVal == VT_R8);
        CHECK(v.data[1].vt == VT_R8);
        CHECK(v.data[1].dblVal == 42.0);
        CHECK(v.data[2].vt == VT_I2);
        CHECK(v.data[2].iVal == OPC_QUALITY_GOOD);
        REQUIRE(v.data[3].vt == VT_DATE);
        CHECK(std::fabs(NowAsVariantTime() - v.data[3].date) < 1.0 / 24);  // UTC, from this run
        CHECK(v.data[4].vt == VT_I4);
        CHECK(v.data[4].lVal == OPC_READABLE);
        CHECK(v.data[5].vt == VT_R4);
        CHECK(v.data[5].fltVal == 1.0f);
        CHECK(v.data[6].vt == VT_EMPTY);
        REQUIRE(v.data[7].vt == VT_BSTR);
        CHECK(Narrow(v.data[7].bstrVal) == "Constant");
        // The temporary group and its item went with the call, not with the server.
        CHECK(SimLiveSubscriptions(nullptr) == 0);
    }
    CHECK(ModuleCanUnloadNow() == S_OK);
}

TEST_CASE("LookupItemIDs: only the value has an item ID, and only on a leaf")
{
    auto server = NewServer<IOPCItemProperties>();
    NewIds leaf(server.Get(), kConstant, {2, 7, 1});
    CHECK(leaf.result == S_FALSE);
    REQUIRE(leaf.data[0] != nullptr);
    CHECK(std::wstring(leaf.data[0]) == kConstant);
    CHECK(leaf.errors[0] == S_OK);
    CHECK((leaf.data[1] == nullptr && leaf.errors[1] == OPC_E_INVALID_PID));
    CHECK((leaf.data[2] == nullptr && leaf.errors[2] == E_FAIL));

    NewIds outside(server.Get(), L"\\\\.\\mem\\props3", {2});
    CHECK(outside.result == S_OK);
    CHECK(std::wstring(outside.data[0]) == L"\\\\.\\mem\\props3");

    NewIds branch(server.Get(), kBranch, {2, 101});
    CHECK(branch.result == S_FALSE);
    CHECK((branch.data[0] == nullptr && branch.errors[0] == E_FAIL));
    CHECK((branch.data[1] == nullptr && branch.errors[1] == E_FAIL));
}
