// IOPCCommon and the server-status / error-text half of IOPCServer, through COM.

#include "ComTest.h"

#include <array>
#include <string>

using namespace twopc::test;

namespace {

std::wstring ErrorText(IOPCCommon* common, HRESULT code, HRESULT* result)
{
    LPWSTR text = nullptr;
    *result = common->GetErrorString(code, &text);
    std::wstring copy = text ? text : L"<null>";
    CoTaskMemFree(text);
    return copy;
}

struct MessageRow {
    HRESULT code;
    const wchar_t* text;
};

const std::array<MessageRow, 16> kMessageTable = {{
    {OPC_S_UNSUPPORTEDRATE,
     L"The server does not support the requested data rate \r\nbut will use the closest available rate.\r\n"},
    {OPC_S_CLAMP, L"A value passed to WRITE was accepted but the output was clamped.\r\n"},
    {OPC_S_INUSE, L"The operation cannot be completed because the \r\nobject still has references that exist.\r\n"},
    {OPC_E_INVALIDHANDLE, L"The value of the handle is invalid.\r\n"},
    {OPC_E_BADTYPE,
     L"The server cannot convert the data between the \r\nrequested data type and the canonical data type.\r\n"},
    {OPC_E_PUBLIC, L"The requested operation cannot be done on a public group.\r\n"},
    {OPC_E_BADRIGHTS, L"The Items AccessRights do not allow the operation.\r\n"},
    {OPC_E_UNKNOWNITEMID, L"The item is no longer available in the server address space.\r\n"},
    {OPC_E_INVALIDITEMID, L"The item definition doesn't conform to the server's syntax.\r\n"},
    {OPC_E_INVALIDFILTER, L"The filter string was not valid.\r\n"},
    {OPC_E_UNKNOWNPATH, L"The item's access path is not known to the server.\r\n"},
    {OPC_E_RANGE, L"The value was out of range.\r\n"},
    {OPC_E_DUPLICATENAME, L"Duplicate name not allowed.\r\n"},
    {OPC_E_INVALIDCONFIGFILE, L"The server's configuration file is an invalid format.\r\n"},
    {OPC_E_NOTFOUND, L"The server could not locate the requested object.\r\n"},
    {OPC_E_INVALID_PID, L"The server does not recognise the passed property ID.\r\n"},
}};

std::uint64_t Ticks(const FILETIME& time)
{
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

TEST_CASE("locales: a fresh server reports 2048 and accepts only the three it offers")
{
    Ref<IOPCCommon> common;
    CreateServerAs(common);

    LCID locale = 12345;
    REQUIRE(common->GetLocaleID(&locale) == S_OK);
    CHECK(locale == 2048);

    CHECK(common->SetLocaleID(0) == S_OK);
    CHECK(common->SetLocaleID(1031) == E_INVALIDARG);
    REQUIRE(common->GetLocaleID(&locale) == S_OK);
    CHECK(locale == 0);
    CHECK(common->SetLocaleID(1033) == S_OK);
    REQUIRE(common->GetLocaleID(&locale) == S_OK);
    CHECK(locale == 1033);
    CHECK(common->GetLocaleID(nullptr) == E_INVALIDARG);

    DWORD count = 0;
    LCID* locales = nullptr;
    REQUIRE(common->QueryAvailableLocaleIDs(&count, &locales) == S_OK);
    REQUIRE(count == 3);
    CHECK(locales[0] == 1033);
    CHECK(locales[1] == 2048);
    CHECK(locales[2] == 0);
    CoTaskMemFree(locales);
    CHECK(common->QueryAvailableLocaleIDs(nullptr, &locales) == E_INVALIDARG);
    CHECK(common->QueryAvailableLocaleIDs(&count, nullptr) == E_INVALIDARG);
}

TEST_CASE("error strings: every OPC code has its exact text in every supported locale")
{
    Ref<IOPCCommon> common;
    CreateServerAs(common);
    Ref<IOPCServer> server;
    REQUIRE(common->QueryInterface(IID_IOPCServer, server.PutVoid()) == S_OK);

    for (LCID locale : {1033u, 2048u, 0u}) {
        CAPTURE(locale);
        REQUIRE(common->SetLocaleID(locale) == S_OK);
        for (const auto& row : kMessageTable) {
            CAPTURE(row.code);
            HRESULT hr = E_UNEXPECTED;
            CHECK(Narrow(ErrorText(common.Get(), row.code, &hr)) == Narrow(row.text));
            CHECK(hr == S_OK);

            LPWSTR text = nullptr;
            CHECK(server->GetErrorString(row.code, locale, &text) == S_OK);
            CHECK(Narrow(text ? text : L"<null>") == Narrow(row.text));
            CoTaskMemFree(text);
        }
    }
}

TEST_CASE("error strings: an unknown code has no text and a null out-pointer is refused")
{
    Ref<IOPCServer> server;
    CreateServerAs(server);
    LPWSTR text = reinterpret_cast<LPWSTR>(1);
    CHECK(server->GetErrorString(static_cast<HRESULT>(0xC004ABCD), 1033, &text) == E_FAIL);
    CHECK(text == nullptr);
    CHECK(server->GetErrorString(OPC_E_INVALIDHANDLE, 1033, nullptr) == E_INVALIDARG);

    Ref<IOPCCommon> common;
    REQUIRE(server->QueryInterface(IID_IOPCCommon, common.PutVoid()) == S_OK);
    CHECK(common->GetErrorString(OPC_E_INVALIDHANDLE, nullptr) == E_INVALIDARG);
}

TEST_CASE("client name: any string is accepted, null is refused")
{
    Ref<IOPCCommon> common;
    CreateServerAs(common);
    CHECK(common->SetClientName(L"") == S_OK);
    CHECK(common->SetClientName(L"Plant HMI") == S_OK);
    CHECK(common->SetClientName(nullptr) == E_INVALIDARG);
}

TEST_CASE("status: a fresh server is running, has no groups and has never updated")
{
    FILETIME before;
    GetSystemTimeAsFileTime(&before);
    Ref<IOPCServer> server;
    CreateServerAs(server);
    FILETIME after;
    GetSystemTimeAsFileTime(&after);

    OPCSERVERSTATUS* status = nullptr;
    REQUIRE(server->GetStatus(&status) == S_OK);
    REQUIRE(status != nullptr);
    CHECK(status->dwServerState == OPC_STATUS_RUNNING);
    CHECK(status->dwGroupCount == 0);
    CHECK(status->dwBandWidth == 0xFFFFFFFF);
    CHECK(status->wMajorVersion == 1);
    CHECK(status->wMinorVersion == 1);
    CHECK(status->wBuildNumber == 21);
    CHECK(status->wReserved == 0);
    CHECK(Ticks(status->ftLastUpdateTime) == 0);
    CHECK(Ticks(status->ftStartTime) >= Ticks(before));
    CHECK(Ticks(status->ftStartTime) <= Ticks(after));
    CHECK(Ticks(status->ftCurrentTime) >= Ticks(status->ftStartTime));
    REQUIRE(status->szVendorInfo != nullptr);
    CHECK(Narrow(status->szVendorInfo) == "Orvane");
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);

    CHECK(server->GetStatus(nullptr) == E_INVALIDARG);
}
