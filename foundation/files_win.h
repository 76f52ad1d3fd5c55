// The one way the program writes, deletes and trusts files in the data folder, which every program of
// the user can change. Nothing is opened through a link: each file is opened with
// FILE_FLAG_OPEN_REPARSE_POINT, and the opened object is kept only when it is no reparse point, has one
// name and its final path is the path asked for (a link anywhere above it shows there). Writes go to a
// new file under a random name that is renamed onto the target through its handle; deletes go through
// a handle. Failures are texts for the log, empty on success.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "foundation/handles_win.h"

struct CheckedFile {
    UniqueHandle handle;  // empty on failure
    std::string failure;  // why, with the path; empty on success
    bool refused = false;  // opened, but not what was asked for: a link, or reached through one
};

// disposition: OPEN_EXISTING, OPEN_ALWAYS or CREATE_NEW (CREATE_ALWAYS cannot be combined with the
// flag that keeps links from being followed). A folder needs FILE_FLAG_BACKUP_SEMANTICS in flags.
CheckedFile openChecked(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags = 0,
                        SECURITY_ATTRIBUTES* security = nullptr);
// The checks of openChecked on a handle already open: "" when it is path itself.
std::string checkOpened(HANDLE handle, const std::wstring& path);

// Opened for reading while others may only read: until it is closed nobody writes, renames or
// deletes the file.
CheckedFile pinFile(const std::wstring& path);
// Every byte from the handle's start, at most limit; false on a read failure or a longer file.
bool readThroughHandle(HANDLE handle, std::string& out, size_t limit);

// Replaces (or creates) path with bytes, flushed; what was there stays when this fails.
std::string replaceFile(const std::wstring& path, std::string_view bytes);
// Renames the opened file (opened with DELETE access) to target, a full path, through its handle.
bool renameThroughHandle(HANDLE handle, const std::wstring& target, bool replace);
// Marks the opened file (opened with DELETE access) for deletion: it goes when its last handle closes.
bool deleteThroughHandle(HANDLE handle);
// A missing file is no failure; a link is removed itself, never what it points at.
std::string deleteFile(const std::wstring& path);

// The access list of a folder only administrators and the system may change; users read and run.
inline constexpr const wchar_t* kAdminOnlyFolderSddl =
    L"O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
// Whether a folder found in place was made by the administrators or the system and no one else may
// write in it: owned by the administrators, the system or ourOwner (the SID that files this process
// makes get as owner: the administrators when it is elevated; null when unknown), and no allowing
// entry of its access list lets anyone else write.
bool madeByAdministrators(void* folder, void* ourOwner);
// Creates the folder with kAdminOnlyFolderSddl or checks the one there: a link is refused, and so is
// a parent reached through one (nothing is created there); a folder not madeByAdministrators was made
// by someone else and is moved aside and made afresh, never reused. The access list is set again
// through the checked handle, which keeps the folder from being renamed or deleted until closed.
CheckedFile adminOnlyFolder(const std::wstring& path);

// Junctions and links made by users are not followed by this process, where the system offers that
// (Windows 10 22H2, 11); a no-op elsewhere. Called first thing by the program.
void refuseUserRedirections();
