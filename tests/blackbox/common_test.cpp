// IOPCCommon and the server-status / error-text half of IOPCServer, through COM.

#include "ComTest.h"

#include <string>

using namespace twopc::test;

TEST_CASE("locales: a fresh server reports 2048 and accepts only the three it offers")
{
    auto common = NewServer<IOPCCommon>();
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
    TaskArray<LCID> locales;
    REQUIRE(common->QueryAvailableLocaleIDs(&count, locales.Put()) == S_OK);
    REQUIRE(count == 3);
    CHECK(locales[0] == 1033);
    CHECK(locales[1] == 2048);
    CHECK(locales[2] == 0);
    CHECK(common->QueryAvailableLocaleIDs(nullptr, locales.Put()) == E_INVALIDARG);
    CHECK(common->QueryAvailableLocaleIDs(&count, nullptr) == E_INVALIDARG);

    // The client name: any string is accepted, null is refused.
    CHECK(common->SetClientName(L"") == S_OK);
    CHECK(common->SetClientName(L"Plant HMI") == S_OK);
    CHECK(common->SetClientName(nullptr) == E_INVALIDARG);
}

TEST_CASE("error strings: OPC codes have their texts in every supported locale, other codes none")
{
    const struct {
        HRESULT code;
        const char* text;
    } messages[] = {
        {OPC_S_UNSUPPORTEDRATE,
         "The server does not support the requested data rate \r\nbut will use the closest available rate.\r\n"},
        {OPC_E_INVALIDHANDLE, "The value of the handle is invalid.\r\n"},
        {OPC_E_INVALID_PID, "The server does not recognise the passed property ID.\r\n"},
    };
    auto common = NewServer<IOPCCommon>();
    auto server = As<IOPCServer>(common.Get());
    // The text that one GetErrorString call hands out, or "<none>" unless it returns S_OK.
    auto text = [](auto call) {
        LPWSTR string = nullptr;
        const HRESULT result = call(&string);
        std::string copy = result == S_OK && string ? Narrow(string) : "<none>";
        CoTaskMemFree(string);
        return copy;
    };
    for (LCID locale : {1033u, 2048u, 0u}) {
        CAPTURE(locale);
        REQUIRE(common->SetLocaleID(locale) == S_OK);
        for (const auto& row : messages) {
            CAPTURE(row.code);
            CHECK(text([&](LPWSTR* out) { return common->GetErrorString(row.code, out); }) == row.text);
            CHECK(text([&](LPWSTR* out) { return server->GetErrorString(row.code, locale, out); }) == row.text);
        }
    }

    LPWSTR none = reinterpret_cast<LPWSTR>(1);
    CHECK(server->GetErrorString(static_cast<HRESULT>(0xC004ABCD), 1033, &none) == E_FAIL);
    CHECK(none == nullptr);
    CHECK(server->GetErrorString(OPC_E_INVALIDHANDLE, 1033, nullptr) == E_INVALIDARG);
    CHECK(common->GetErrorString(OPC_E_INVALIDHANDLE, nullptr) == E_INVALIDARG);
}

TEST_CASE("status: a fresh server is running, has no groups and has never updated")
{
    FILETIME before, after;
    GetSystemTimeAsFileTime(&before);
    auto server = NewServer<IOPCServer>();
    GetSystemTimeAsFileTime(&after);

    ServerStatus status(server.Get());
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
    CHECK(server->GetStatus(nullptr) == E_INVALIDARG);
}
