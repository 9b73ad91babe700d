#include "packaging/install_actions.h"

#include <strsafe.h>

namespace install_actions {

namespace {

// A GUID "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" as the installer's registry
// keys write it: the first three groups reversed, then each byte's two digits
// swapped. False for anything else.
bool PackGuid(const wchar_t* guid, wchar_t* packed) {
    // Where each of the 32 digits of the packed form comes from in the GUID.
    constexpr int kFrom[32] = {8,  7,  6,  5,  4,  3,  2,  1,  13, 12, 11, 10, 18, 17, 16, 15,
                               21, 20, 23, 22, 26, 25, 28, 27, 30, 29, 32, 31, 34, 33, 36, 35};
    if (wcslen(guid) != 38 || guid[0] != L'{' || guid[37] != L'}') {
        return false;
    }
    for (int i = 0; i < 32; ++i) {
        const wchar_t c = guid[kFrom[i]];
        if (!((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F'))) {
            return false;
        }
        packed[i] = c;
    }
    packed[32] = L'\0';
    return true;
}

// Writes "<root>\UpgradeCodes\<upgrade code>" "<product code>" in the
// 64-bit view of HKLM when it is missing.
void RegisterUpgradeCode(MSIHANDLE install, const wchar_t* root, const wchar_t* packedUpgrade,
                         const wchar_t* packedProduct) {
    wchar_t key[160];
    HKEY handle = nullptr;
    if (FAILED(StringCchPrintfW(key, ARRAYSIZE(key), L"%ls\\UpgradeCodes\\%ls", root,
                                packedUpgrade)) ||
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &handle,
                        nullptr) != ERROR_SUCCESS) {
        return;
    }
    if (RegQueryValueExW(handle, packedProduct, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
        RegSetValueExW(handle, packedProduct, 0, REG_SZ, reinterpret_cast<const BYTE*>(L""),
                       sizeof(wchar_t));
        wchar_t message[kMessageUnits];
        StringCchPrintfW(message, kMessageUnits,
                         L"KeepUpgradeCode: this product is registered under its upgrade code "
                         L"again (HKLM\\%ls).",
                         key);
        Log(install, message);
    }
    RegCloseKey(handle);
}

}  // namespace

// Immediate, after RemoveExistingProducts, at an upgrade: this product stays
// registered under its upgrade code. The new version is installed before the
// old one is removed; Wine's msi removes the whole upgrade-code key with the
// old product, so that no later version would find this one (to upgrade it,
// or to refuse a downgrade). Windows Installer removes only the old product's
// entry; there the entry is found and nothing is written.
extern "C" __declspec(dllexport) UINT __stdcall KeepUpgradeCode(MSIHANDLE install) {
    wchar_t upgradeCode[40];
    wchar_t productCode[40];
    DWORD units = ARRAYSIZE(upgradeCode);
    wchar_t packedUpgrade[33];
    wchar_t packedProduct[33];
    if (MsiGetPropertyW(install, L"UpgradeCode", upgradeCode, &units) != ERROR_SUCCESS ||
        !PackGuid(upgradeCode, packedUpgrade)) {
        return ERROR_SUCCESS;
    }
    units = ARRAYSIZE(productCode);
    if (MsiGetPropertyW(install, L"ProductCode", productCode, &units) != ERROR_SUCCESS ||
        !PackGuid(productCode, packedProduct)) {
        return ERROR_SUCCESS;
    }
    // Both places the installer keeps it: its own and the one of Classes.
    RegisterUpgradeCode(install, L"Software\\Microsoft\\Windows\\CurrentVersion\\Installer",
                        packedUpgrade, packedProduct);
    RegisterUpgradeCode(install, L"Software\\Classes\\Installer", packedUpgrade, packedProduct);
    return ERROR_SUCCESS;
}

}  // namespace install_actions
