// The file name taken from a download address: a name that is accepted
// always names a file directly inside the download folder.
#include "filedownloader.h"
#include "fuzzinput.h"

#include <QDir>
#include <QFileInfo>
#include <QUrl>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    for (const QUrl &url :
         {QUrl(text, QUrl::TolerantMode), QUrl(QStringLiteral("http://127.0.0.1/") + text)}) {
        const QString name = fileNameFromUrl(url);
        FUZZ_ASSERT(!name.contains(QLatin1Char('/')));
        if (!isSafeFileName(name))
            continue;
        FUZZ_ASSERT(!name.isEmpty() && name != QStringLiteral(".") && name != QStringLiteral(".."));
        FUZZ_ASSERT(!name.contains(QLatin1Char('\\')));
        const QString target = QDir::cleanPath(QStringLiteral("/downloads/tmp/") + name);
        FUZZ_ASSERT(QFileInfo(target).path() == QStringLiteral("/downloads/tmp"));
    }
    return 0;
}
