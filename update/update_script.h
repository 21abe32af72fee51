#pragma once

#include <string>
#include <string_view>

// The update script as the shell carries it, where it goes, and the Windows
// PowerShell command lines that run it. Paths are UTF-16 and never end in a
// backslash, so a closing quote after one is never read as escaped.

// The script text, byte for byte as it is written to disk: printable ASCII and
// single line feeds (the build refuses anything else).
std::string updateScriptBytes();

// The stage folder below the local application-data folder; empty when that
// folder is unknown (empty).
std::wstring stageFolderIn(std::wstring_view localAppData);

// The script file in the stage folder.
std::wstring scriptFileIn(std::wstring_view stageFolder);

// Windows PowerShell 5.1 in the given system folder.
std::wstring powerShellIn(std::wstring_view systemFolder);

// "<powershell>" -NoProfile -NonInteractive -ExecutionPolicy Bypass -WindowStyle
// Hidden -File "<script>" <arguments>
std::wstring powerShellCommandLine(std::wstring_view powerShell, std::wstring_view scriptFile,
                                   std::wstring_view arguments);

// check <this program's version> "<app folder>" "<stage folder>"
std::wstring checkArguments(std::wstring_view appFolder, std::wstring_view stageFolder);

// install "<app folder>" <shell's process id> "<stage folder>"
std::wstring installArguments(std::wstring_view appFolder, unsigned long processId,
                              std::wstring_view stageFolder);
