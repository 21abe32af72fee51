# Tolvin's self-update, run by Windows PowerShell 5.1.
#   native-update.ps1 check <current> <app-folder> <stage>
#     looks for a newer release, downloads and verifies it, unpacks it into
#     <stage>\new and prints "ready <version>", "manual <version>" or "none".
#   native-update.ps1 install <app-folder> <pid> <stage>
#     waits for the shell to end, copies <stage>\new over the app folder and
#     starts the new Tolvin.exe.
# Errors end the script with exit code 1 and their message on standard error.
# The text stays printable ASCII: 5.1 reads a file without a byte-order mark
# in the ANSI code page. Only what 5.1 has is used.
param([string]$Mode, [string]$A, [string]$B, [string]$C)

$ErrorActionPreference = 'Stop'
# The progress display slows web downloads down many times.
$ProgressPreference = 'SilentlyContinue'
# Where the machine enforces application control, this unsigned script runs in
# constrained language, which forbids the .NET calls below: a check then only
# reads the manifest and leaves the update to the user.
$FullLanguage = $ExecutionContext.SessionState.LanguageMode -eq 'FullLanguage'
if ($FullLanguage) {
    [Net.ServicePointManager]::SecurityProtocol = [Net.ServicePointManager]::SecurityProtocol -bor [Net.SecurityProtocolType]::Tls12
}

$RepositoryBase = '@RELEASE_REPOSITORY@'
$ManifestUrl = $RepositoryBase + '/releases/latest/download/native-latest.txt'
$DownloadPrefix = $RepositoryBase + '/releases/download/'
$Usage = 'usage: check <current> <app-folder> <stage> | install <app-folder> <pid> <stage>'

function Remove-Quietly([string]$Path) {
    try { Remove-Item -LiteralPath $Path -Recurse -Force -ErrorAction SilentlyContinue } catch { }
}

# The manifest, as text. Invoke-WebRequest -OutFile would read the path as a
# wildcard pattern in 5.1, so that a user folder named with [ or ] failed every
# check; the content is written by literal path instead. A generic download
# content type gives bytes, which stand for ASCII characters here.
function Save-Manifest([string]$Url, [string]$Path) {
    $content = (Invoke-WebRequest -UseBasicParsing -Uri $Url).Content
    if ($content -isnot [string]) { $content = -join [char[]]$content }
    Set-Content -LiteralPath $Path -Value $content -NoNewline -Encoding ASCII
}

# Two to four dot-separated non-negative integers; anything else is an error.
function ConvertTo-Version([string]$Text) {
    if ($Text -notmatch '^[0-9]+(\.[0-9]+){1,3}$') { throw ('invalid version ' + $Text) }
    return [version]$Text
}

# The name of the first entry that would land outside the folder it is
# unpacked into (a rooted or drive path, a stream name, a ".." step), or ''.
function Find-UnsafeEntry([string]$Zip) {
    Add-Type -AssemblyName System.IO.Compression.FileSystem
    $archive = [IO.Compression.ZipFile]::OpenRead($Zip)
    try {
        foreach ($entry in $archive.Entries) {
            $name = $entry.FullName
            if ($name -match '^[\\/]' -or $name -match ':' -or @($name -split '[\\/]') -contains '..') {
                return $name
            }
        }
    } finally {
        $archive.Dispose()
    }
    return ''
}

function Invoke-Check([string]$Current, [string]$AppFolder, [string]$Stage) {
    New-Item -ItemType Directory -Force -Path $Stage | Out-Null
    $manifest = Join-Path $Stage 'manifest.txt'
    Save-Manifest $ManifestUrl $manifest

    $version = ''
    $url = ''
    $digest = ''
    foreach ($line in @(Get-Content -LiteralPath $manifest)) {
        $fields = @($line.Trim() -split '\s+')
        if ($fields[0] -eq 'version') {
            $version = [string]$fields[1]
        } elseif ($fields[0] -eq 'windows-x64') {
            $url = [string]$fields[1]
            $digest = [string]$fields[2]
        }
    }
    if (-not $version -or -not $url -or -not $digest) { return 'none' }
    if ((ConvertTo-Version $version) -le (ConvertTo-Version $Current)) { return 'none' }
    if (-not $FullLanguage) { return 'manual ' + $version }
    if (-not $url.StartsWith($DownloadPrefix, [StringComparison]::Ordinal)) {
        throw ('unexpected address ' + $url)
    }

    $probe = Join-Path $AppFolder 'tolvin-write-test.tmp'
    try {
        [IO.File]::Create($probe).Close()
        [IO.File]::Delete($probe)
    } catch {
        return 'manual ' + $version
    }

    $new = Join-Path $Stage 'new'
    $marker = Join-Path $Stage 'version'
    if ((Test-Path -LiteralPath $new -PathType Container) -and
        (Test-Path -LiteralPath $marker -PathType Leaf) -and
        ([string](Get-Content -LiteralPath $marker -TotalCount 1) -eq $version)) {
        return 'ready ' + $version
    }
    Remove-Quietly $new
    Remove-Quietly $marker
    # A file a scanner held kept an earlier unpack from being removed: unpacking
    # over it would fail at every check, so this check ends and the next tries.
    if (Test-Path -LiteralPath $new) { throw 'an earlier update could not be removed' }
    foreach ($leftover in @(Get-ChildItem -LiteralPath $Stage -Directory -Force -Filter 'new-*')) {
        Remove-Quietly $leftover.FullName
    }

    $zip = Join-Path $Stage 'update.zip'
    [IO.File]::WriteAllBytes($zip, (Invoke-WebRequest -UseBasicParsing -Uri $url).RawContentStream.ToArray())
    if ((Get-FileHash -LiteralPath $zip -Algorithm SHA256).Hash -ne $digest) {
        Remove-Quietly $zip
        throw 'checksum mismatch'
    }
    $unsafe = Find-UnsafeEntry $zip
    if ($unsafe) {
        Remove-Quietly $zip
        throw ('unsafe archive entry ' + $unsafe)
    }
    # Unpacked into a fresh folder that becomes "new" only when complete. A
    # scanner that holds a fresh file blocks the rename for a moment: 21
    # attempts, 500 ms apart, as the install's copy. Expand-Archive in 5.1
    # resolves its destination as a wildcard pattern too.
    $fresh = Join-Path $Stage ('new-' + [Guid]::NewGuid().ToString('N'))
    try {
        [IO.Compression.ZipFile]::ExtractToDirectory($zip, $fresh)
        for ($attempt = 1; ; $attempt++) {
            try {
                [IO.Directory]::Move($fresh, $new)
                break
            } catch {
                if ($attempt -ge 21) { throw }
                Start-Sleep -Milliseconds 500
            }
        }
    } catch {
        Remove-Quietly $fresh
        throw
    } finally {
        Remove-Quietly $zip
    }
    Set-Content -LiteralPath $marker -Value $version -Encoding ASCII
    return 'ready ' + $version
}

# A virus scanner may hold a freshly copied program for a moment: 5 attempts,
# 500 ms apart.
function Start-App([string]$AppFolder) {
    $exe = Join-Path $AppFolder 'Tolvin.exe'
    if (-not (Test-Path -LiteralPath $exe -PathType Leaf)) { return }
    $info = New-Object Diagnostics.ProcessStartInfo
    $info.FileName = $exe
    $info.WorkingDirectory = $AppFolder
    $info.UseShellExecute = $false
    for ($attempt = 1; ; $attempt++) {
        try {
            [Diagnostics.Process]::Start($info).Dispose()
            return
        } catch {
            if ($attempt -ge 5) { throw }
            Start-Sleep -Milliseconds 500
        }
    }
}

# Every file below $From, as its path relative to $From.
function Get-RelativeFiles([string]$From) {
    $root = (Get-Item -LiteralPath $From -Force).FullName.TrimEnd('\', '/')
    foreach ($file in @(Get-ChildItem -LiteralPath $root -Recurse -File -Force)) {
        $file.FullName.Substring($root.Length + 1)
    }
}

function Copy-Files([string]$From, [string]$To, [string[]]$Files) {
    foreach ($relative in $Files) {
        $target = Join-Path $To $relative
        [IO.Directory]::CreateDirectory([IO.Path]::GetDirectoryName($target)) | Out-Null
        [IO.File]::Copy((Join-Path $From $relative), $target, $true)
    }
}

function Invoke-Install([string]$AppFolder, [int]$ShellProcess, [string]$Stage) {
    try { Wait-Process -Id $ShellProcess -Timeout 30 } catch { }

    # The shell has gone: from here on every failure starts a program again.
    $new = Join-Path $Stage 'new'
    if (-not (Test-Path -LiteralPath (Join-Path $new 'Tolvin.exe') -PathType Leaf)) {
        Start-App $AppFolder
        throw 'nothing to install'
    }

    # Keep each file the copy will overwrite, and note the ones it adds, so
    # that a copy that fails for good can leave the old program as it was.
    $old = Join-Path $Stage 'old'
    $files = @(Get-RelativeFiles $new)
    $kept = @()
    $added = @()
    try {
        Remove-Quietly $old
        foreach ($relative in $files) {
            if (Test-Path -LiteralPath (Join-Path $AppFolder $relative) -PathType Leaf) {
                $kept += $relative
            } else {
                $added += $relative
            }
        }
        Copy-Files $AppFolder $old $kept
    } catch {
        Start-App $AppFolder
        throw
    }

    # The capture helper can hold its file open for a moment after the shell
    # has gone: 21 attempts, 500 ms apart.
    for ($attempt = 1; ; $attempt++) {
        try {
            Copy-Files $new $AppFolder $files
            break
        } catch {
            if ($attempt -lt 21) {
                Start-Sleep -Milliseconds 500
                continue
            }
            $failure = $_
            foreach ($relative in $added) {
                try { [IO.File]::Delete((Join-Path $AppFolder $relative)) } catch { }
            }
            foreach ($relative in $kept) {
                try { Copy-Files $old $AppFolder @($relative) } catch { }
            }
            Start-App $AppFolder
            throw $failure
        }
    }

    Remove-Quietly $new
    Remove-Quietly (Join-Path $Stage 'version')
    Remove-Quietly $old
    Start-App $AppFolder
}

try {
    if ($Mode -ceq 'check') {
        Write-Output (Invoke-Check $A $B $C)
    } elseif ($Mode -ceq 'install') {
        Invoke-Install $A ([int]$B) $C
    } else {
        throw $Usage
    }
} catch {
    if ($FullLanguage) {
        [Console]::Error.WriteLine($_.Exception.Message)
    } else {
        Write-Error -Message $_.Exception.Message -ErrorAction Continue
    }
    exit 1
}
