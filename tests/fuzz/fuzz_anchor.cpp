// The anchor parser must read what sscanf reads, wherever sscanf is defined.
#include "database/annotationimport.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// Every decimal field of the text fits in an int: beyond that sscanf's result is undefined.
bool numbersFitInt(const QByteArray &bytes)
{
    for (int i = 0; i < bytes.size(); ++i) {
        if (bytes[i] < '0' || bytes[i] > '9' || (i > 0 && bytes[i - 1] >= '0' && bytes[i - 1] <= '9'))
            continue;
        int end = i;
        while (end < bytes.size() && bytes[end] >= '0' && bytes[end] <= '9')
            ++end;
        errno = 0;
        const long long value = std::strtoll(bytes.mid(i, end - i).constData(), nullptr, 10);
        if (errno != 0 || value > 2147483647LL)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString anchor = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    const QByteArray bytes = anchor.toUtf8();
    const std::pair<int, int> parsed = parsePbrAnchor(anchor);
    AnnotationRecord record;
    setAnchorPosition(record, anchor); // must not overflow
    if (!numbersFitInt(bytes))
        return 0;
    std::vector<char> word(size_t(bytes.size()) + 8), rest(size_t(bytes.size()) + 8);
    int page = 0, offset = 0;
    std::pair<int, int> expected{0, 0};
    if (std::sscanf(bytes.constData(), "pbr:/%4s?page=%d&offs=%d#%s", word.data(), &page, &offset,
                    rest.data()) == 4)
        expected = {page, offset};
    if (parsed != expected)
        std::abort();
    return 0;
}
