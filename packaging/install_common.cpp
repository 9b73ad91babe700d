#include "packaging/install_actions.h"

#include <strsafe.h>

namespace install_actions {

void Log(MSIHANDLE install, const wchar_t* text) {
    const MSIHANDLE record = install != 0 ? MsiCreateRecord(0) : 0;
    if (record == 0) {
        return;
    }
    MsiRecordSetStringW(record, 0, text);
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
}

bool TakePart(const wchar_t* text, wchar_t separator, wchar_t* out, size_t outUnits,
              const wchar_t** rest) {
    size_t length = 0;
    while (text[length] != L'\0' && text[length] != separator) {
        if (length + 1 >= outUnits) {
            return false;
        }
        out[length] = text[length];
        ++length;
    }
    out[length] = L'\0';
    *rest = text[length] == separator ? text + length + 1 : text + length;
    return length > 0;
}

void LogError(MSIHANDLE install, const wchar_t* name, const wchar_t* what, DWORD error) {
    wchar_t message[kMessageUnits];
    StringCchPrintfW(message, kMessageUnits, L"%ls: %ls (error %lu).", name, what,
                     static_cast<unsigned long>(error));
    Log(install, message);
}

bool ReadActionData(MSIHANDLE install, HeapArray<wchar_t>* data) {
    DWORD units = 0;
    wchar_t none[1] = {L'\0'};
    if (MsiGetPropertyW(install, L"CustomActionData", none, &units) != ERROR_MORE_DATA) {
        return false;
    }
    ++units;  // the terminator
    data->Reset(units);
    if (data->Get() != nullptr &&
        MsiGetPropertyW(install, L"CustomActionData", data->Get(), &units) == ERROR_SUCCESS) {
        return true;
    }
    data->Clear();
    return false;
}

LSTATUS StoreServiceValue(const wchar_t* service, const wchar_t* subkey, const wchar_t* value,
                          DWORD type, const void* data, DWORD bytes) {
    wchar_t key[kNameUnits + 64];
    if (FAILED(StringCchPrintfW(key, ARRAYSIZE(key),
                                L"SYSTEM\\CurrentControlSet\\Services\\%ls%ls%ls", service,
                                subkey[0] != L'\0' ? L"\\" : L"", subkey))) {
        return ERROR_BUFFER_OVERFLOW;
    }
    HKEY handle = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                     &handle, nullptr);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(handle, value, 0, type, static_cast<const BYTE*>(data), bytes);
        RegCloseKey(handle);
    }
    return status;
}

}  // namespace install_actions
