// Scaffolding shared by the file-based fuzz targets: a private scratch directory that is
// removed at exit, whole-file writes, and a quiet standard output.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

inline std::string& ScratchDir()
{
    static std::string dir;
    return dir;
}

inline void RemoveScratchDir()
{
    if (!ScratchDir().empty() && system(("rm -rf '" + ScratchDir() + "'").c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", ScratchDir().c_str());
}

// Makes the scratch directory under TMPDIR (a memory file system such as /dev/shm makes
// the targets faster) or /tmp, removed when the fuzzer exits. Returns its path.
inline const std::string& MakeScratchDir(const char* name)
{
    const char* tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" + name +
                       "-XXXXXX";
    if (mkdtemp(&tmpl[0]) == nullptr)
        abort();
    ScratchDir() = tmpl;
    atexit(RemoveScratchDir);
    return ScratchDir();
}

inline void WriteWholeFile(const std::string& path, const void* data, size_t size)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        abort();
    if (size > 0 && fwrite(data, 1, size, f) != size)
        abort();
    fclose(f);
}

// The operations print their reports and messages; keep the fuzzer's console readable.
inline void QuietStdout()
{
    if (freopen("/dev/null", "w", stdout) == nullptr)
        abort();
}

}  // namespace fuzz
