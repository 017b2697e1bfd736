#include "platform/File.h"

#include "platform/windows/FileNameRules.h"
#include "platform/windows/Win32.h"

#include <atomic>
#include <cstring>
#include <vector>

namespace tarvos::platform {

namespace {

using windows::WideFromUtf8;

// Tries of a temporary name before the folder counts as unwritable.
constexpr int kNameTries = 100;
// How much of the target's name a temporary name carries, to tell what it was for.
constexpr size_t kLeafShown = 100;
// The largest piece one read or write call moves.
constexpr DWORD kMaxTransfer = 1u << 30;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// How often, and after what pause, a replacement that finds the target open
// is tried again before the upload fails.
constexpr int kReplaceTries = 100;
constexpr DWORD kReplacePauseMs = 20;
// The error that stands for a name leading out of the working directory.
constexpr int kLeadsOutside = ERROR_NOT_SAME_DEVICE;

// Numbers the temporary files of this process.
std::atomic<unsigned> temporarySequence {0};

FileStatus StatusOf(DWORD error)
{
    switch (error) {
    case ERROR_SUCCESS:
        return FileStatus::Ok;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DIRECTORY:
        return FileStatus::Missing;
    case kLeadsOutside:
        return FileStatus::Outside;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return FileStatus::NoSpace;
    default:
        return FileStatus::Failed;
    }
}

HANDLE Native(std::intptr_t handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

std::intptr_t Stored(HANDLE handle)
{
    return reinterpret_cast<std::intptr_t>(handle);
}

// The path the system resolved an open file or folder to, links and
// junctions followed, in the form "\\?\C:\..." (or "\\?\UNC\...").
bool FinalPath(HANDLE handle, std::wstring& path)
{
    std::vector<wchar_t> buffer(MAX_PATH);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const DWORD length = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) {
            return false;
        }
        if (length < buffer.size()) {
            path.assign(buffer.data(), length);
            return true;
        }
        buffer.resize(length + 1);
    }
    return false;
}

// The working directory as FinalPath gives it.
bool WorkingDirectory(std::wstring& path)
{
    const HANDLE folder =
        CreateFileW(L".", 0, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool found = FinalPath(folder, path);
    CloseHandle(folder);
    return found;
}

// True when path is the folder base itself or lies beneath it (names compare
// without regard to case, as the file system does).
bool WithinFolder(const std::wstring& path, const std::wstring& base)
{
    if (path.size() < base.size() ||
        CompareStringOrdinal(path.data(), static_cast<int>(base.size()), base.data(), static_cast<int>(base.size()),
                             TRUE) != CSTR_EQUAL) {
        return false;
    }
    return path.size() == base.size() || base.back() == L'\\' || path[base.size()] == L'\\';
}

// True when the open file or folder lies within base.
bool OpenedWithin(HANDLE handle, const std::wstring& base, std::wstring* finalPath = nullptr)
{
    std::wstring path;
    if (!FinalPath(handle, path) || !WithinFolder(path, base)) {
        return false;
    }
    if (finalPath != nullptr) {
        *finalPath = path;
    }
    return true;
}

// The full path of the components beneath base: the separators the system
// wants, no "." left (the "\\?\" form takes every component literally).
bool JoinBeneath(const std::wstring& base, const std::vector<std::string>& components, std::wstring& path)
{
    path = base;
    for (const std::string& component : components) {
        std::wstring wide;
        if (!WideFromUtf8(component, wide)) {
            return false;
        }
        if (path.back() != L'\\') {
            path += L'\\';
        }
        path += wide;
    }
    return true;
}

// Renames the open file to name in its own folder, replacing a file of that
// name also while others have it open (a rename with POSIX semantics, which
// Windows 10 and later know); false where the system can't.
bool RenameOverOpenFile(HANDLE file, const std::wstring& name)
{
    constexpr auto kRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
    constexpr DWORD kReplaceIfExists = 0x1;
    constexpr DWORD kPosixSemantics = 0x2;
    const size_t nameBytes = name.size() * sizeof(wchar_t);
    std::vector<unsigned char> request(sizeof(FILE_RENAME_INFO) + nameBytes);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(request.data());
    // The flags share their place with the older request's replace switch.
    const DWORD flags = kReplaceIfExists | kPosixSemantics;
    std::memcpy(info, &flags, sizeof(flags));
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(info->FileName, name.data(), nameBytes);
    return SetFileInformationByHandle(file, kRenameInfoEx, info, static_cast<DWORD>(request.size())) != 0;
}

bool IsRegularFile(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info {};
    return GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::wstring FolderOf(const std::wstring& path)
{
    return path.substr(0, path.rfind(L'\\'));
}

std::wstring LeafOf(const std::wstring& path)
{
    return path.substr(path.rfind(L'\\') + 1);
}

// The path of name in folder (a drive's root already ends in a separator).
std::wstring Child(const std::wstring& folder, const std::wstring& name)
{
    return folder.back() == L'\\' ? folder + name : folder + L"\\" + name;
}

}  // namespace

InputFile::~InputFile()
{
    Close();
}

FileStatus InputFile::Open(const std::string& name)
{
    Close();
    if (!windows::IsPlainRelativeName(name)) {
        return FileStatus::Outside;
    }
    std::wstring base;
    std::wstring path;
    if (!WorkingDirectory(base) || !JoinBeneath(base, windows::NameComponents(name), path)) {
        return FileStatus::Failed;
    }
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return StatusOf(GetLastError());
    }
    // A link or junction on the way may have led anywhere: what counts is
    // where the file opened lies.
    if (!OpenedWithin(file, base)) {
        CloseHandle(file);
        return FileStatus::Outside;
    }
    if (!IsRegularFile(file)) {
        CloseHandle(file);
        return FileStatus::Failed;
    }
    fd_ = Stored(file);
    return FileStatus::Ok;
}

bool InputFile::Length(uint64_t& length)
{
    LARGE_INTEGER size {};
    if (fd_ == -1 || !GetFileSizeEx(Native(fd_), &size)) {
        return false;
    }
    length = static_cast<uint64_t>(size.QuadPart);
    return true;
}

long InputFile::Read(void* buffer, size_t length)
{
    DWORD n = 0;
    const DWORD want = length > kMaxTransfer ? kMaxTransfer : static_cast<DWORD>(length);
    if (!ReadFile(Native(fd_), buffer, want, &n, nullptr)) {
        return -1;
    }
    return static_cast<long>(n);
}

void InputFile::Close()
{
    if (fd_ != -1) {
        CloseHandle(Native(fd_));
        fd_ = -1;
    }
}

ReplacementFile::~ReplacementFile()
{
    Abandon();
}

FileStatus ReplacementFile::Create(const std::string& name)
{
    Abandon();
    if (!windows::IsPlainRelativeName(name)) {
        return FileStatus::Outside;
    }
    std::vector<std::string> components = windows::NameComponents(name);
    if (components.empty()) {
        // The working directory itself: a folder, never a file.
        return FileStatus::Failed;
    }
    const std::string leafName = components.back();
    components.pop_back();
    std::wstring base;
    std::wstring folderPath;
    std::wstring leaf;
    if (!WorkingDirectory(base) || !JoinBeneath(base, components, folderPath) || !WideFromUtf8(leafName, leaf)) {
        return FileStatus::Failed;
    }

    // The folder stays open, and can't be renamed or removed, until the new
    // file has taken the target's place.
    const HANDLE folder = CreateFileW(folderPath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        return StatusOf(GetLastError());
    }
    folder_ = Stored(folder);
    std::wstring folderFinal;
    if (!OpenedWithin(folder, base, &folderFinal)) {
        return Fail(kLeadsOutside);
    }
    BY_HANDLE_FILE_INFORMATION info {};
    if (!GetFileInformationByHandle(folder, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return Fail(ERROR_PATH_NOT_FOUND);
    }

    // An existing target must be a regular file that this process may
    // write; a link to one is followed while it stays beneath.
    std::wstring target = Child(folderFinal, leaf);
    const HANDLE existing = CreateFileW(target.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (existing != INVALID_HANDLE_VALUE) {
        std::wstring resolved;
        const bool within = OpenedWithin(existing, base, &resolved);
        const bool regular = IsRegularFile(existing);
        CloseHandle(existing);
        if (!within) {
            return Fail(kLeadsOutside);
        }
        if (!regular) {
            return Fail(ERROR_ACCESS_DENIED);
        }
        const HANDLE writable =
            CreateFileW(resolved.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (writable == INVALID_HANDLE_VALUE) {
            return Fail(GetLastError());
        }
        CloseHandle(writable);
        target = resolved;
    } else {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) {
            return Fail(error);
        }
        // A link that leads nowhere is not followed: where it would lead
        // can't be told here.
        const DWORD attributes = GetFileAttributesW(target.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            return Fail(kLeadsOutside);
        }
    }

    const std::wstring shownLeaf = LeafOf(target).substr(0, kLeafShown);
    std::wstring prefix;
    WideFromUtf8(kTemporaryPrefix, prefix);
    HANDLE file = INVALID_HANDLE_VALUE;
    std::wstring temporary;
    for (int attempt = 0; attempt < kNameTries && file == INVALID_HANDLE_VALUE; ++attempt) {
        temporary = Child(FolderOf(target), prefix + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                                std::to_wstring(++temporarySequence) + L"-" + shownLeaf);
        file = CreateFileW(temporary.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) {
            return Fail(GetLastError());
        }
    }
    if (file == INVALID_HANDLE_VALUE) {
        return Fail(ERROR_FILE_EXISTS);
    }
    fd_ = Stored(file);
    temporary_ = windows::Utf8FromWide(temporary);
    leaf_ = windows::Utf8FromWide(target);
    // Whatever changed on the way since the folder was looked at, the new
    // file must have come to lie beneath.
    if (!OpenedWithin(file, base)) {
        return Fail(kLeadsOutside);
    }
    return FileStatus::Ok;
}

FileStatus ReplacementFile::Write(const void* data, size_t length)
{
    if (fd_ == -1) {
        return FileStatus::Failed;
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t written = 0;
    while (written < length) {
        const size_t left = length - written;
        DWORD n = 0;
        if (!WriteFile(Native(fd_), bytes + written, left > kMaxTransfer ? kMaxTransfer : static_cast<DWORD>(left), &n,
                       nullptr)) {
            return Fail(GetLastError());
        }
        if (n == 0) {
            return Fail(ERROR_WRITE_FAULT);
        }
        written += n;
    }
    return FileStatus::Ok;
}

FileStatus ReplacementFile::Commit()
{
    if (fd_ == -1) {
        return FileStatus::Failed;
    }
    std::wstring temporary;
    std::wstring target;
    WideFromUtf8(temporary_, temporary);
    WideFromUtf8(leaf_, target);
    // The target is only ever the old file or the whole new one.
    if (RenameOverOpenFile(Native(fd_), LeafOf(target))) {
        temporary_.clear();
        Abandon();
        return FileStatus::Ok;
    }
    CloseHandle(Native(fd_));
    fd_ = -1;
    // Here a file can only be replaced while nobody has it open: another
    // session checking or reading it holds the name for a moment.
    for (int attempt = 0;; ++attempt) {
        if (MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            break;
        }
        const DWORD error = GetLastError();
        if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) || attempt >= kReplaceTries) {
            return Fail(error);
        }
        Sleep(kReplacePauseMs);
    }
    temporary_.clear();
    Abandon();
    return FileStatus::Ok;
}

void ReplacementFile::Abandon()
{
    if (fd_ != -1) {
        CloseHandle(Native(fd_));
        fd_ = -1;
    }
    if (!temporary_.empty()) {
        std::wstring temporary;
        if (WideFromUtf8(temporary_, temporary)) {
            DeleteFileW(temporary.c_str());
        }
        temporary_.clear();
    }
    if (folder_ != -1) {
        CloseHandle(Native(folder_));
        folder_ = -1;
    }
    leaf_.clear();
}

FileStatus ReplacementFile::Fail(int error)
{
    Abandon();
    const FileStatus status = StatusOf(static_cast<DWORD>(error));
    // Whatever went wrong, the file was not written.
    return status == FileStatus::Ok ? FileStatus::Failed : status;
}

}  // namespace tarvos::platform
