#include "jvmhost/pe_file.h"

namespace {

// A real import table lists a few dozen DLLs; a damaged one ends here.
constexpr DWORD kMaxImports = 1024;

// Where the optional header's import directory entry and its count of
// directories lie, which differs between the 32- and 64-bit layouts.
struct DirectoryPlaces {
    ULONGLONG importEntry;
    ULONGLONG countEntry;
};

DirectoryPlaces DirectoryPlacesOf(WORD optionalMagic) {
    constexpr ULONGLONG kImport = IMAGE_DIRECTORY_ENTRY_IMPORT * sizeof(IMAGE_DATA_DIRECTORY);
    if (optionalMagic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        return {offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory) + kImport,
                offsetof(IMAGE_OPTIONAL_HEADER64, NumberOfRvaAndSizes)};
    }
    return {offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory) + kImport,
            offsetof(IMAGE_OPTIONAL_HEADER32, NumberOfRvaAndSizes)};
}

// The import directory's address, when the optional header has one.
bool ReadImportRva(const FileView& view, ULONGLONG optionalOffset, WORD optionalMagic,
                   WORD optionalSize, DWORD* importRva) {
    const DirectoryPlaces places = DirectoryPlacesOf(optionalMagic);
    *importRva = 0;
    IMAGE_DATA_DIRECTORY imports = {};
    DWORD directoryCount = 0;
    if (places.importEntry + sizeof(imports) > optionalSize) {
        return true;
    }
    if (!view.Read(optionalOffset + places.countEntry, &directoryCount) ||
        !view.Read(optionalOffset + places.importEntry, &imports)) {
        return false;
    }
    if (directoryCount > IMAGE_DIRECTORY_ENTRY_IMPORT) {
        *importRva = imports.VirtualAddress;
    }
    return true;
}

// Where in the file the loader would find the byte at `rva`; false when no
// section holds it.
bool FileOffsetOf(const FileView& view, const PeImage& image, DWORD rva, ULONGLONG* offset) {
    for (WORD i = 0; i < image.sectionCount; ++i) {
        IMAGE_SECTION_HEADER section;
        if (!view.Read(image.sectionsOffset + ULONGLONG{i} * sizeof(IMAGE_SECTION_HEADER),
                       &section)) {
            return false;
        }
        const DWORD extent = section.Misc.VirtualSize > section.SizeOfRawData
                                 ? section.Misc.VirtualSize
                                 : section.SizeOfRawData;
        if (rva >= section.VirtualAddress && rva - section.VirtualAddress < extent) {
            *offset =
                static_cast<ULONGLONG>(section.PointerToRawData) + rva - section.VirtualAddress;
            return true;
        }
    }
    return false;
}

// The NUL-terminated ASCII name at `rva`, widened; false when it is not all there.
bool ReadDllName(const FileView& view, const PeImage& image, DWORD rva,
                 wchar_t (&name)[kDllNameUnits]) {
    ULONGLONG offset = 0;
    if (!FileOffsetOf(view, image, rva, &offset)) {
        return false;
    }
    for (size_t i = 0; i < kDllNameUnits; ++i) {
        char c = 0;
        if (!view.Read(offset + i, &c)) {
            return false;
        }
        name[i] = static_cast<wchar_t>(static_cast<unsigned char>(c));
        if (c == '\0') {
            return i > 0;
        }
    }
    return false;
}

}  // namespace

FileView::FileView(const wchar_t* path)
    : file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {
    LARGE_INTEGER fileSize = {};
    if (!file.IsValid() || !GetFileSizeEx(file.Get(), &fileSize)) {
        return;
    }
    opened = true;
    size = static_cast<ULONGLONG>(fileSize.QuadPart);
    // An empty file cannot be mapped; it has nothing to read anyway.
    if (size == 0) {
        return;
    }
    mapping.Reset(CreateFileMappingW(file.Get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (mapping.IsValid()) {
        view.Reset(MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, 0));
        bytes = static_cast<const unsigned char*>(view.Get());
    }
}

PeCheck ReadPeImage(const FileView& view, PeImage* image) {
    WORD magic = 0;
    if (!view.Read(0, &magic) || magic != IMAGE_DOS_SIGNATURE) {
        return PeCheck::kNotExecutable;
    }
    IMAGE_DOS_HEADER dos;
    DWORD signature = 0;
    if (!view.Read(0, &dos) || dos.e_lfanew < 0 ||
        !view.Read(static_cast<ULONGLONG>(dos.e_lfanew), &signature)) {
        return PeCheck::kCutShort;
    }
    if (signature != IMAGE_NT_SIGNATURE) {
        return PeCheck::kNotExecutable;  // an MS-DOS program, or no program at all
    }
    const ULONGLONG headerOffset = static_cast<ULONGLONG>(dos.e_lfanew) + sizeof(signature);
    const ULONGLONG optionalOffset = headerOffset + sizeof(IMAGE_FILE_HEADER);
    IMAGE_FILE_HEADER header;
    WORD optionalMagic = 0;
    if (!view.Read(headerOffset, &header) || !view.Read(optionalOffset, &optionalMagic) ||
        !ReadImportRva(view, optionalOffset, optionalMagic, header.SizeOfOptionalHeader,
                       &image->importRva)) {
        return PeCheck::kCutShort;
    }
    image->machine = header.Machine;
    image->characteristics = header.Characteristics;
    image->sectionsOffset = optionalOffset + header.SizeOfOptionalHeader;
    image->sectionCount = header.NumberOfSections;
    IMAGE_SECTION_HEADER last;
    const ULONGLONG lastOffset =
        image->sectionsOffset + (image->sectionCount - 1ULL) * sizeof(IMAGE_SECTION_HEADER);
    if (image->sectionCount > 0 && !view.Read(lastOffset, &last)) {
        return PeCheck::kCutShort;
    }
    return PeCheck::kFine;
}

bool VisitImports(const FileView& view, const PeImage& image, ImportVisitor visit, void* context) {
    ULONGLONG tableOffset = 0;
    if (image.importRva == 0) {
        return true;
    }
    if (!FileOffsetOf(view, image, image.importRva, &tableOffset)) {
        return false;
    }
    for (DWORD i = 0; i < kMaxImports; ++i) {
        IMAGE_IMPORT_DESCRIPTOR entry;
        if (!view.Read(tableOffset + ULONGLONG{i} * sizeof(entry), &entry)) {
            return false;
        }
        if (entry.Name == 0 && entry.FirstThunk == 0) {
            break;
        }
        wchar_t name[kDllNameUnits];
        if (!ReadDllName(view, image, entry.Name, name)) {
            return false;
        }
        visit(name, context);
    }
    return true;
}
