// A Windows executable read as data, the way a loader would read it first:
// its headers and the names of the DLLs it imports. None of its code runs.
#pragma once

#include <stddef.h>
#include <string.h>

#include "base/scoped.h"
#include "base/win32.h"

constexpr size_t kDllNameUnits = MAX_PATH;

// The processor this executable runs on, as an image's header names it.
#ifdef _WIN64
constexpr WORD kOwnMachine = IMAGE_FILE_MACHINE_AMD64;
#else
constexpr WORD kOwnMachine = IMAGE_FILE_MACHINE_I386;
#endif

// The whole file mapped read-only as data.
struct FileView {
    explicit FileView(const wchar_t* path);

    // Copies sizeof(T) bytes at `offset`; false when the file ends first.
    template <typename T>
    bool Read(ULONGLONG offset, T* out) const {
        if (bytes == nullptr || offset > size || size - offset < sizeof(T)) {
            return false;
        }
        memcpy(out, bytes + offset, sizeof(T));
        return true;
    }

    ScopedFile file;
    ScopedHandle mapping;
    ScopedView view;
    const unsigned char* bytes = nullptr;  // weak: the view's
    ULONGLONG size = 0;
    bool opened = false;
};

enum class PeCheck { kFine, kNotExecutable, kCutShort };

struct PeImage {
    WORD machine;
    WORD characteristics;
    DWORD importRva;
    ULONGLONG sectionsOffset;
    WORD sectionCount;
};

// The headers a loader reads first, taken from the file as it is.
PeCheck ReadPeImage(const FileView& view, PeImage* image);

// Calls `visit` with the name of each DLL the image imports, in the table's
// order; false when the table is cut short.
using ImportVisitor = void (*)(const wchar_t* name, void* context);
bool VisitImports(const FileView& view, const PeImage& image, ImportVisitor visit, void* context);
