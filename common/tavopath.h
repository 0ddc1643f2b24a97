#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace tavo {

// The data directory named by HKLM "SOFTWARE\Ostrel\Vantor\Quillmark\TAVO" "DataDir" (64-bit view), in
// UTF-8, with its trailing backslash. 0, or -1 with dataDir unchanged.
int GetTAVODirectoryPath(std::string& dataDir);

// The process-wide configuration directory ("--config-path").
int SetTAVOConfigDirectory(const std::wstring& dir);
std::wstring GetTAVOConfigDirectory();

// Reads one value into the caller's buffer; *size is the buffer's size on entry and the data's size
// on return. 0, -1 (key or value not readable), -8 (no buffer), -17 (the data fills the buffer).
int ReadRegistryValue(HKEY root, const std::wstring& subKey, const std::wstring& valueName, BYTE* buffer,
                      DWORD* size, DWORD* type, bool view64);

// A REG_BINARY value of a key under HKEY_LOCAL_MACHINE.
int GetBinaryRegistryKey(const wchar_t* subKey, const wchar_t* valueName, REGSAM access, std::vector<BYTE>& out);

// The fully qualified DNS name of the computer, else its NetBIOS name, in UTF-8.
int GetHostname(std::string& out);

std::wstring StringToWString(const std::string& utf8);
std::string WStringToString(const std::wstring& wide);
// Narrowed with the calling thread's ANSI code page; characters it lacks become its default character.
std::string WStringToAnsiString(const std::wstring& wide);

}  // namespace tavo

