#include "common/ReplaceFile.h"

#include "platform/Platform.h"

#include <fstream>
#include <system_error>

namespace {

bool WriteWhole(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream file(path, std::ios::binary | std::ios::out | std::ios::trunc);
    if (!file.is_open()) return false;
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
    file.close();
    return !file.fail();
}

}  // namespace

bool ReplaceFileWith(const std::filesystem::path& path, const std::string& text, bool toStorage)
{
    std::filesystem::path temporary = path;
    temporary += ".tmp";
    std::error_code error;
    if (WriteWhole(temporary, text) && (!toStorage || FlushFileToStorage(temporary))) {
        // A reader that holds the old file open without delete sharing (a
        // collector, a virus scanner on Windows) blocks the rename for a moment.
        for (int attempt = 0; attempt < 5; ++attempt) {
            std::filesystem::rename(temporary, path, error);
            if (!error) return true;
            Sleep(20);
        }
    }
    std::filesystem::remove(temporary, error);
    return false;
}
