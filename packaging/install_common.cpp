#include "packaging/install_actions.h"

#include <strsafe.h>

namespace install_actions {

void Log(MSIHANDLE install, const wchar_t* text) {
    const MSIHANDLE record = MsiCreateRecord(0);
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

}  // namespace install_actions
