// Any bytes as a ZIP archive: extracting every entry writes nothing outside the output
// folder, and an entry either arrives whole or leaves no file (not even a ".tmp") behind.
#include "backup/fileutils.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <zip.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>

namespace fs = std::filesystem;

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &)
{}

std::string fileContent(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The entry's bytes read straight through libzip; false when they cannot be read whole.
bool entryContent(zip_t *archive, zip_uint64_t index, std::string &content)
{
    std::unique_ptr<zip_file_t, int (*)(zip_file_t *)> entry(
        zip_fopen_index(archive, index, ZIP_FL_UNCHANGED), zip_fclose);
    if (!entry)
        return false;
    char buffer[4096];
    zip_int64_t read = 0;
    while ((read = zip_fread(entry.get(), buffer, sizeof buffer)) > 0)
        content.append(buffer, size_t(read));
    return read == 0;
}

std::set<fs::path> filesBelow(const fs::path &folder)
{
    std::set<fs::path> files;
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error))
        files.insert(it->path());
    return files;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    qInstallMessageHandler(quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QTemporaryDir folder;
    const fs::path root(folder.path().toStdString());
    const fs::path output = root / "out";
    std::error_code error;
    fs::remove_all(output, error);
    fs::create_directory(output, error);

    zip_error_t zipError;
    zip_error_init(&zipError);
    zip_source_t *source = zip_source_buffer_create(data, size, 0, &zipError);
    zip_t *archive = source ? zip_open_from_source(source, ZIP_RDONLY, &zipError) : nullptr;
    zip_error_fini(&zipError);
    if (archive == nullptr) {
        zip_source_free(source);
        return 0;
    }

    // What every entry extracted so far must have left, by path.
    std::map<fs::path, std::string> extracted;
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count && i < 64; ++i) {
        const auto index = zip_uint64_t(i);
        const char *name = zip_get_name(archive, index, ZIP_FL_ENC_GUESS);
        const std::set<fs::path> before = filesBelow(output);
        const int result = zipExtractIndex(archive, index, output, true);

        std::set<fs::path> inside = filesBelow(output);
        inside.insert(output);
        if (filesBelow(root) != inside)
            std::abort(); // written beside the output folder
        std::string expected;
        const bool readable = entryContent(archive, index, expected);
        if (result == 1 && std::string(name).back() == '/') {
            // A folder entry makes the folder; what it holds does not matter.
            if (!fs::is_directory(output / name))
                std::abort(); // a folder entry without its folder
        } else if (result == 1) {
            if (!readable)
                std::abort(); // a damaged entry passed off as extracted
            extracted[output / name] = expected;
        } else {
            for (const fs::path &path : inside)
                if (before.count(path) == 0 && !fs::is_directory(path))
                    std::abort(); // a failed entry left a file
        }
        for (const auto &[path, content] : extracted)
            if (fileContent(path) != content)
                std::abort(); // an extracted file was truncated or lost
    }
    zip_discard(archive);
    return 0;
}
